#include "exchange/directory.h"

#include <vector>

#include "exchange/import.h"
#include "exchange/parsers.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/ascii.h"

namespace orv::exchange {

namespace {

struct Field {
    std::string name;  // lower case
    std::string value;
};

std::string lower(std::string_view s) {
    std::string out;
    for (char c : s) out += ascii::lower(c);
    return out;
}

Address& addressFor(Card& k, std::string_view label) {
    for (Address& a : k.addresses)
        if (a.label == label) return a;
    k.addresses.push_back({});
    k.addresses.back().label = std::string(label);
    return k.addresses.back();
}

void addEmails(Card& k, const std::string& list, bool firstPreferred) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        std::string_view e = trimmed(std::string_view(list).substr(start, comma - start));
        if (!e.empty())
            k.emails.push_back({std::string(e), "", firstPreferred && k.emails.empty()});
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

// The fields both formats share (abook writes its own names into LDIF too).
// Returns false for a field it does not know.
bool takeCommon(Card& k, const std::string& n, const std::string& v, std::string& year,
                std::string& month, std::string& day) {
    if (n == "nick" || n == "mozillanickname" || n == "xmozillanickname")
        k.nickname = v;
    else if (n == "phone" || n == "homephone")
        k.phones.push_back({v, "casa", false});
    else if (n == "workphone" || n == "telephonenumber")
        k.phones.push_back({v, "trabajo", false});
    else if (n == "mobile" || n == "cellphone")
        k.phones.push_back({v, "móvil", false});
    else if (n == "fax" || n == "facsimiletelephonenumber")
        k.phones.push_back({v, "fax", false});
    else if (n == "pager")
        k.phones.push_back({v, "buscapersonas", false});
    else if (n == "url" || n == "homeurl" || n == "mozillahomeurl")
        k.webs.push_back({v, "", false});
    else if (n == "workurl" || n == "mozillaworkurl")
        k.webs.push_back({v, "trabajo", false});
    else if (n == "anniversary")
        k.dates.push_back({v, "Aniversario", false});
    else if (n == "birthyear")
        year = v;
    else if (n == "birthmonth")
        month = v;
    else if (n == "birthday")
        day = v;
    else if (n == "title")
        k.title = v;
    else if (n == "o" || n == "company")
        k.company = v;
    else if (n == "department")
        k.department = v;
    else if (n == "notes" || n == "description")
        k.notes.push_back(v);
    else
        return false;
    return true;
}

void takeBirth(Card& k, const std::string& year, const std::string& month, const std::string& day) {
    if (month.empty() || day.empty()) return;
    auto two = [](const std::string& s) { return s.size() == 1 ? "0" + s : s; };
    k.birthdays.push_back((year.empty() ? "--" : year + "-") + two(month) + "-" + two(day));
}

void finish(Card& k, long line, Reading& out) {
    Contact c = toContact(k);
    cleanContact(c);
    out.add({std::move(c), line});
}

// The address fields: abook's file's and LDIF's (Thunderbird's home ones,
// abook's for its one address, and Thunderbird's work ones, which abook also
// writes for its own).
struct AddressAttribute {
    std::string_view name;
    bool work;
    std::string Address::*part;
};
constexpr AddressAttribute kAddressFields[] = {
    {"homestreet", false, &Address::street},
    {"mozillahomestreet", false, &Address::street},
    {"streetaddress", false, &Address::street},
    {"mozillahomestreet2", false, &Address::extended},
    {"streetaddress2", false, &Address::extended},
    {"mozillahomelocalityname", false, &Address::town},
    {"locality", false, &Address::town},
    {"mozillahomestate", false, &Address::region},
    {"mozillahomepostalcode", false, &Address::postcode},
    {"mozillahomecountryname", false, &Address::country},
    {"countryname", false, &Address::country},
    {"street", true, &Address::street},
    {"postaladdress", true, &Address::street},
    {"mozillaworkstreet2", true, &Address::extended},
    {"l", true, &Address::town},
    {"st", true, &Address::region},
    {"postalcode", true, &Address::postcode},
    {"c", true, &Address::country},
    {"address", false, &Address::street},
    {"address2", false, &Address::extended},
    {"city", false, &Address::town},
    {"state", false, &Address::region},
    {"zip", false, &Address::postcode},
    {"country", false, &Address::country},
};

std::string Address::*addressPart(const std::string& name) {
    for (const AddressAttribute& a : kAddressFields)
        if (a.name == name) return a.part;
    return nullptr;
}

Address* addressField(Card& k, const std::string& name, bool abookAddress) {
    for (const AddressAttribute& a : kAddressFields)
        if (a.name == name) return &addressFor(k, a.work && !abookAddress ? "trabajo" : "casa");
    return nullptr;
}

// One LDIF record's fields to a card.
void ldifRecord(const std::vector<Field>& fields, long line, Reading& out) {
    Card k;
    bool group = false, abookAddress = false;
    for (const Field& f : fields)
        abookAddress = abookAddress || f.name == "streetaddress" || f.name == "locality";
    std::string year, month, day;
    for (const Field& f : fields) {
        const std::string& n = f.name;
        const std::string v(trimmed(f.value));
        if (n == "objectclass") {
            const std::string c = lower(v);
            group = group || c == "groupofnames" || c == "groupofuniquenames" ||
                    c == "mozillaabpersonalist";
            continue;
        }
        if (v.empty() || n == "dn" || n == "version" || n == "changetype" ||
            n == "modifytimestamp" || n == "member" || n == "uniquemember" || n == "-")
            continue;
        if (takeCommon(k, n, v, year, month, day)) continue;
        if (n == "givenname")
            k.given = v;
        else if (n == "sn" || n == "surname")
            k.family = v;
        else if (n == "cn" || n == "commonname") {
            if (k.fullName.empty()) k.fullName = v;
        } else if (n == "displayname") {
            if (k.fullName.empty()) k.fullName = v;
        } else if (n == "mail")
            addEmails(k, v, false);
        else if (n == "mozillasecondemail" || n == "xmozillasecondemail")
            addEmails(k, v, false);
        else if (n == "nsaimid")
            k.ims.push_back({v, "aim", false});
        else if (Address* a = addressField(k, n, abookAddress))
            a->*addressPart(n) = v;
        else if (n == "ou")
            k.department = v;
        else
            k.others.emplace_back(f.name, v);
    }
    if (group) {
        ++out.groups;
        return;
    }
    takeBirth(k, year, month, day);
    finish(k, line, out);
}

// LDIF records as their lines come: a line that starts with one blank
// continues the last; a blank line ends a record.
class LdifParser : public LineParser {
  public:
    explicit LdifParser(Reading& out) : out_(out) {}

    void line(const LineReader::Line& in) override {
        std::string_view l = in.text;
        while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (in.tooLong) {
            if (bad_.empty()) bad_ = lineTooLong(in.number);
            if (fields_.empty()) recordLine_ = in.number;
            logical_.clear();
            return;
        }
        if (!l.empty() && l[0] == ' ') {
            if (logical_.size() + l.size() > kMaxRecord) {
                if (bad_.empty()) bad_ = recordTooLarge("una entrada");
                logical_.clear();
                return;
            }
            logical_.append(l.substr(1));
            return;
        }
        take();
        logical_.assign(l);
        logicalLine_ = in.number;
        if (l.empty()) {
            flush();
            logical_.clear();
        }
    }

    void finish() override {
        take();
        flush();
    }

  private:
    void take() {
        if (logical_.empty() || logical_[0] == '#' || !bad_.empty()) return;
        std::size_t colon = logical_.find(':');
        if (colon == std::string::npos) {
            bad_ = "línea " + std::to_string(logicalLine_) + ": falta \":\"";
            return;
        }
        Field f{lower(trimmed(std::string_view(logical_).substr(0, colon))), {}};
        if (std::size_t semi = f.name.find(';'); semi != std::string::npos) f.name.erase(semi);
        std::string_view v = std::string_view(logical_).substr(colon + 1);
        if (!v.empty() && v[0] == ':') {
            auto decoded = decodeBase64(trimmed(v.substr(1)));
            if (!decoded || !validUtf8(*decoded)) {
                bad_ = "línea " + std::to_string(logicalLine_) + ": base64 mal formado o no UTF-8";
                return;
            }
            f.value = std::move(*decoded);
        } else {
            if (!v.empty() && v[0] == '<') v.remove_prefix(1);
            f.value = std::string(trimmed(v));
            if (!validUtf8(f.value)) {
                bad_ = "línea " + std::to_string(logicalLine_) + ": texto que no está en UTF-8";
                return;
            }
        }
        if (fields_.empty()) recordLine_ = logicalLine_;
        size_ += f.name.size() + f.value.size();
        if (size_ > kMaxRecord) {
            bad_ = recordTooLarge("una entrada");
            fields_.clear();
            return;
        }
        fields_.push_back(std::move(f));
    }

    void flush() {
        if (!bad_.empty())
            out_.addProblem({recordLine_, bad_});
        else if (!fields_.empty())
            ldifRecord(fields_, recordLine_, out_);
        fields_.clear();
        bad_.clear();
        size_ = 0;
    }

    Reading& out_;
    std::vector<Field> fields_;
    std::size_t size_ = 0;
    long recordLine_ = 0, logicalLine_ = 0;
    std::string logical_, bad_;
};

// abook's "[n]" sections of "field=value" lines.
class AbookParser : public LineParser {
  public:
    explicit AbookParser(Reading& out) : out_(out) {}

    void line(const LineReader::Line& in) override {
        if (in.tooLong) {
            out_.addProblem({in.number, lineTooLong(in.number)});
            return;
        }
        std::string_view l = trimmed(in.text);
        while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (l.empty() || l[0] == '#') return;
        if (l[0] == '[') {
            flush();
            // [format] describes the file; [0], [1]... are the contacts.
            inRecord_ = l.size() > 2 && l[1] >= '0' && l[1] <= '9';
            recordLine_ = in.number;
            return;
        }
        if (!inRecord_) return;
        std::size_t eq = l.find('=');
        if (eq == std::string_view::npos) {
            out_.addProblem({in.number, "falta \"=\" en la línea"});
            return;
        }
        size_ += l.size();
        if (size_ > kMaxRecord) {
            if (!tooLarge_) out_.addProblem({recordLine_, recordTooLarge("un contacto")});
            tooLarge_ = true;
            k_ = Card{};
            return;
        }
        const std::string n = lower(trimmed(l.substr(0, eq)));
        const std::string v(trimmed(l.substr(eq + 1)));
        if (v.empty() || takeCommon(k_, n, v, year_, month_, day_)) return;
        if (n == "name")
            k_.fullName = v;
        else if (n == "email")
            addEmails(k_, v, false);
        else if (Address* a = addressField(k_, n, true))
            a->*addressPart(n) = v;
        else if (n == "groups") {
            for (std::size_t s = 0; s <= v.size();) {
                std::size_t comma = v.find(',', s);
                k_.categories.emplace_back(v.substr(s, comma - s));
                if (comma == std::string::npos) break;
                s = comma + 1;
            }
        } else
            k_.others.emplace_back(n, v);
    }

    void finish() override { flush(); }

  private:
    void flush() {
        if (inRecord_ && !tooLarge_) {
            takeBirth(k_, year_, month_, day_);
            exchange::finish(k_, recordLine_, out_);
        }
        k_ = Card{};
        year_.clear(), month_.clear(), day_.clear();
        size_ = 0;
        tooLarge_ = false;
    }

    Reading& out_;
    Card k_;
    bool inRecord_ = false, tooLarge_ = false;
    long recordLine_ = 0;
    std::size_t size_ = 0;
    std::string year_, month_, day_;
};

}  // namespace

std::unique_ptr<LineParser> ldifParser(Reading& out) {
    return std::make_unique<LdifParser>(out);
}

std::unique_ptr<LineParser> abookParser(Reading& out) {
    return std::make_unique<AbookParser>(out);
}

void readLdif(std::string_view text, Reading& out, const ProgressFn& progress) {
    readText(text, Format::Ldif, out, nullptr, progress);
}

void readAbook(std::string_view text, Reading& out, const ProgressFn& progress) {
    readText(text, Format::Abook, out, nullptr, progress);
}

}  // namespace orv::exchange
