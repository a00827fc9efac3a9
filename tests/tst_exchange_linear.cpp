// A card, a CSV record, an LDIF entry or an abook record costs in its size:
// four times the lines cost about four times the work, never sixteen. Work
// is counted as the bytes the reader allocates (this program counts every
// operator new), which a join made anew for each line makes grow with the
// square, and which, unlike time, says the same on any machine.

#include <QTest>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "exchange/import.h"

using namespace orv;
using namespace orv::exchange;

namespace {

std::atomic<std::uint64_t> gAllocated{0};

void* counted(std::size_t n) {
    gAllocated.fetch_add(n, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) {
    return counted(n);
}
void* operator new[](std::size_t n) {
    return counted(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

Q_DECLARE_METATYPE(orv::exchange::Format)

namespace {

using Maker = std::function<std::string(int)>;

std::string numbered(const char* pattern, int n) {
    std::string out;
    char line[160];
    for (int i = 0; i < n; ++i) {
        std::snprintf(line, sizeof line, pattern, i, i % 1000);
        out += line;
    }
    return out;
}

}  // namespace

Q_DECLARE_METATYPE(Maker)

class TestExchangeLinear : public QObject {
    Q_OBJECT

  private slots:
    void oneRecordCostsInItsSize_data() {
        QTest::addColumn<Format>("format");
        QTest::addColumn<int>("size");  // lines of the smaller record; the larger has four times
        QTest::addColumn<Maker>("make");
        QTest::newRow("vCard, 20,000 and 80,000 phones")
            << Format::VCard << 20000 << Maker([](int n) {
                   return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ana Ruiz\r\n" +
                          numbered("TEL;TYPE=CELL:600 %06d %03d\r\n", n) + "END:VCARD\r\n";
               });
        QTest::newRow("vCard, labelled groups") << Format::VCard << 10000 << Maker([](int n) {
            return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ana\r\n" +
                   numbered("item%d.EMAIL:a%d@example.org\r\n", n) +
                   numbered("item%d.X-ABLabel:casa %d\r\n", n) + "END:VCARD\r\n";
        });
        QTest::newRow("vCard of ours, many notes") << Format::VCard << 20000 << Maker([](int n) {
            return "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Orvane//orvane-db//ES\r\nN:;"
                   "Ana;;;\r\n" +
                   numbered("NOTE:nota %d %d\r\n", n) + "END:VCARD\r\n";
        });
        QTest::newRow("LDIF, 250,000 and 10^6 attributes")
            << Format::Ldif << 250000 << Maker([](int n) {
                   return "dn: cn=Ana Ruiz\ncn: Ana Ruiz\n" +
                          numbered("telephoneNumber: 600 %06d\ndescription: nota %d\n", n / 4) +
                          numbered("x-otro: valor %d\nmail: a%d@example.org\n", n / 4) + "\n";
               });
        QTest::newRow("CSV, a record of many columns") << Format::Csv << 5000 << Maker([](int n) {
            std::string head = "First Name", row = "Ana";
            char cell[64];
            for (int i = 1; i <= n; ++i) {
                std::snprintf(cell, sizeof cell, ",Phone %d - Value", i);
                head += cell;
                std::snprintf(cell, sizeof cell, ",600 %06d", i);
                row += cell;
            }
            return head + "\r\n" + row + "\r\n";
        });
        QTest::newRow("abook, a record of many fields")
            << Format::Abook << 20000 << Maker([](int n) {
                   return "[format]\nprogram=abook\n\n[0]\nname=Ana Ruiz\n" +
                          numbered("custom%d=valor %d\n", n / 2) +
                          numbered("mobile=600 %06d %d\n", n / 2);
               });
    }
    void oneRecordCostsInItsSize() {
        QFETCH(Format, format);
        QFETCH(int, size);
        QFETCH(Maker, make);
        std::uint64_t work[2] = {};
        for (int i = 0; i < 2; ++i) {
            const std::string text = make(size * (i ? 4 : 1));
            const std::uint64_t before = gAllocated.load();
            const Reading r = readContacts(text, format);
            work[i] = gAllocated.load() - before;
            QVERIFY2(r.problems.empty(), r.problems.empty() ? "" : r.problems[0].reason.c_str());
            QCOMPARE(r.contacts.size(), std::size_t(1));
            QVERIFY(r.contacts[0].contact[kMasInfo]);
            QVERIFY(r.contacts[0].contact[kMasInfo]->size() > text.size() / 8);
        }
        const double ratio = double(work[1]) / double(work[0]);
        qInfo("%llu then %llu bytes allocated: %.2f times for four times the lines",
              static_cast<unsigned long long>(work[0]), static_cast<unsigned long long>(work[1]),
              ratio);
        QVERIFY2(ratio < 5.5, qPrintable(QString::number(ratio)));
    }
};

QTEST_APPLESS_MAIN(TestExchangeLinear)
#include "tst_exchange_linear.moc"
