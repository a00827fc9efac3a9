#include "formattest.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "exchange/card.h"
#include "exchange/stream.h"
#include "exchange/vcardline.h"
#include "store/schema.h"
#include "support/storetest.h"

using namespace orv;
using namespace orv::exchange;

namespace formattest {

void addRows(const std::vector<Case>& cases) {
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < cases.size(); ++i)
        QTest::newRow(cases[i].name) << static_cast<int>(i);
}

namespace {

constexpr const char* kBroken = "texto UTF-16 cortado o mal formado";

class Trickle : public ByteSource {
  public:
    explicit Trickle(std::string text) : text_(std::move(text)) {}
    std::size_t read(char* into, std::size_t n) override {
        n = std::min({n, text_.size() - pos_, std::size_t(1 + rng_() % 7)});
        std::memcpy(into, text_.data() + pos_, n);
        took(into, n);
        pos_ += n;
        return n;
    }
    void rewind() override {
        pos_ = 0;
        restart();
    }
    std::string text_;

  private:
    std::size_t pos_ = 0;
    std::mt19937 rng_{7};
};

void checkInPieces(const std::string& text, Format format, const Reading& whole) {
    Trickle source(text);
    FileReading file(source, format);
    Reading checked, read;
    file.check(checked);
    QVERIFY(file.read(read));
    QCOMPARE(checked.contactCount, whole.contacts.size());
    QCOMPARE(checked.problems.size(), whole.problems.size());
    // A text that does not decode is told by the check alone.
    if (!checked.problems.empty() && checked.problems[0].reason == kBroken) return;
    QCOMPARE(read.contacts.size(), whole.contacts.size());
    QCOMPARE(read.problems.size(), whole.problems.size());
    for (std::size_t i = 0; i < whole.contacts.size(); ++i) {
        QCOMPARE(storetest::show(read.contacts[i].contact),
                 storetest::show(whole.contacts[i].contact));
        QCOMPARE(read.contacts[i].line, whole.contacts[i].line);
        QCOMPARE(read.contacts[i].kept, whole.contacts[i].kept);
    }
    QCOMPARE(read.groups, whole.groups);
    QCOMPARE(read.assumedOrder, whole.assumedOrder);
    if (text.empty()) return;
    source.text_[source.text_.size() / 2] ^= 1;
    Reading again;
    QVERIFY(!file.read(again));
}

}  // namespace

void checkReading(const Case& c) {
    const Reading r = readContacts(c.text, c.format);
    std::vector<long> problems;
    for (const Problem& p : r.problems) {
        problems.push_back(p.line);
        if (c.problems.empty()) qWarning("%ld: %s", p.line, p.reason.c_str());
    }
    QCOMPARE(problems, c.problems);
    for (const char* part : c.why)
        QVERIFY2(r.problems[0].reason.find(part) != std::string::npos,
                 r.problems[0].reason.c_str());
    QCOMPARE(r.groups, c.groups);
    QCOMPARE(r.contacts.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        const Contact& got = r.contacts[i].contact;
        QVERIFY2(got == c.expected[i], qPrintable("\n  expected " + storetest::show(c.expected[i]) +
                                                  "\n  got      " + storetest::show(got)));
        if (c.named) QVERIFY(got[kNombre]);
        if (i < c.lines.size()) QCOMPARE(r.contacts[i].line, c.lines[i]);
    }
    checkInPieces(c.text, c.format, r);
}

void checkRow(const std::vector<Case>& cases) {
    QFETCH(int, index);
    checkReading(cases.at(static_cast<std::size_t>(index)));
}

std::size_t column(const QString& name) {
    std::size_t i = 0;
    while (i < kColumnCount && schema::kColumns[i] != name.toStdString()) ++i;
    if (i == kColumnCount) qFatal("no column %s", qPrintable(name));
    return i;
}

std::vector<std::vector<std::string>> cardsOf(const std::string& text) {
    std::vector<std::vector<std::string>> cards;
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = std::min(text.find('\n', pos), text.size());
        std::string l = text.substr(pos, end - pos);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
        pos = end + 1;
    }
    std::vector<std::pair<std::string_view, long>> body;
    bool v21 = false;
    for (const std::string& l : lines) {
        if (l == "BEGIN:VCARD") {
            body.clear();
            v21 = false;
        } else if (l == "END:VCARD") {
            std::vector<std::string> card;
            for (auto& logical : unfold(body, v21)) {
                std::string t = logical.text;
                std::string head = t.substr(0, valueColon(t));
                std::transform(head.begin(), head.end(), head.begin(), ::toupper);
                if (head.find("BASE64") != std::string::npos ||
                    head.find("ENCODING=B") != std::string::npos ||
                    t.find("base64,") != std::string::npos)
                    std::erase_if(t, [](char ch) { return ch == ' ' || ch == '\t'; });
                card.push_back(t);
            }
            std::sort(card.begin(), card.end());
            cards.push_back(card);
        } else if (!l.empty()) {
            if (l == "VERSION:2.1") v21 = true;
            body.emplace_back(l, 0);
        }
    }
    return cards;
}

}  // namespace formattest
