#include "exchange/directory.h"

#include <vector>

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
    out.contacts.push_back({std::move(c), line});
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

}  // namespace

void readLdif(std::string_view text, Reading& out, const ProgressFn& progress) {
    text = withoutBom(text);
    std::vector<Field> fields;
    long line = 0, recordLine = 0;
    std::size_t pos = 0;
    std::string bad;
    const auto flush = [&] {
        if (!bad.empty())
            out.problems.push_back({recordLine, bad});
        else if (!fields.empty())
            ldifRecord(fields, recordLine, out);
        fields.clear();
        bad.clear();
        if (progress) progress(pos);
    };
    // Logical lines: a line that starts with one blank continues the last.
    std::string logical;
    long logicalLine = 0;
    const auto take = [&] {
        if (logical.empty() || logical[0] == '#' || !bad.empty()) return;
        std::size_t colon = logical.find(':');
        if (colon == std::string::npos) {
            bad = "línea " + std::to_string(logicalLine) + ": falta \":\"";
            return;
        }
        Field f{lower(trimmed(std::string_view(logical).substr(0, colon))), {}};
        if (std::size_t semi = f.name.find(';'); semi != std::string::npos) f.name.erase(semi);
        std::string_view v = std::string_view(logical).substr(colon + 1);
        if (!v.empty() && v[0] == ':') {
            auto decoded = decodeBase64(trimmed(v.substr(1)));
            if (!decoded || !validUtf8(*decoded)) {
                bad = "línea " + std::to_string(logicalLine) + ": base64 mal formado o no UTF-8";
                return;
            }
            f.value = std::move(*decoded);
        } else {
            if (!v.empty() && v[0] == '<') v.remove_prefix(1);
            f.value = std::string(trimmed(v));
            if (!validUtf8(f.value)) {
                bad = "línea " + std::to_string(logicalLine) + ": texto que no está en UTF-8";
                return;
            }
        }
        if (fields.empty()) recordLine = logicalLine;
        fields.push_back(std::move(f));
    };
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string_view l = text.substr(pos, end == std::string_view::npos ? end : end - pos);
        while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        pos = end == std::string_view::npos ? text.size() + 1 : end + 1;
        ++line;
        if (!l.empty() && l[0] == ' ') {
            logical.append(l.substr(1));
            continue;
        }
        take();
        logical.assign(l);
        logicalLine = line;
        if (l.empty()) {
            flush();
            logical.clear();
        }
    }
    take();
    flush();
}

void readAbook(std::string_view text, Reading& out, const ProgressFn& progress) {
    Card k;
    bool inRecord = false;
    long line = 0, recordLine = 0;
    std::string year, month, day;
    const auto flush = [&] {
        if (inRecord) {
            takeBirth(k, year, month, day);
            finish(k, recordLine, out);
        }
        k = Card{};
        year.clear(), month.clear(), day.clear();
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string_view l =
            trimmed(text.substr(pos, end == std::string_view::npos ? end : end - pos));
        while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        pos = end == std::string_view::npos ? text.size() : end + 1;
        ++line;
        if (l.empty() || l[0] == '#') continue;
        if (l[0] == '[') {
            flush();
            // [format] describes the file; [0], [1]... are the contacts.
            inRecord = l.size() > 2 && l[1] >= '0' && l[1] <= '9';
            recordLine = line;
            if (progress) progress(pos);
            continue;
        }
        if (!inRecord) continue;
        std::size_t eq = l.find('=');
        if (eq == std::string_view::npos) {
            out.problems.push_back({line, "falta \"=\" en la línea"});
            continue;
        }
        const std::string n = lower(trimmed(l.substr(0, eq)));
        const std::string v(trimmed(l.substr(eq + 1)));
        if (v.empty() || takeCommon(k, n, v, year, month, day)) continue;
        if (n == "name")
            k.fullName = v;
        else if (n == "email")
            addEmails(k, v, false);
        else if (Address* a = addressField(k, n, true))
            a->*addressPart(n) = v;
        else if (n == "groups") {
            for (std::size_t s = 0; s <= v.size();) {
                std::size_t comma = v.find(',', s);
                k.categories.emplace_back(v.substr(s, comma - s));
                if (comma == std::string::npos) break;
                s = comma + 1;
            }
        } else
            k.others.emplace_back(n, v);
    }
    flush();
}

}  // namespace orv::exchange
