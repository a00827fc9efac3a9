#include "exchange/card.h"

#include <algorithm>
#include <unordered_set>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "exchange/address.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/dates.h"

namespace orv::exchange {

namespace {

void appendJoined(std::string& out, std::string_view part, std::string_view sep) {
    if (part.empty()) return;
    if (!out.empty()) out += sep;
    out += part;
}

std::string labelled(std::string_view what, std::string_view label) {
    return label.empty() ? std::string(what) : std::string(what) + " (" + std::string(label) + ")";
}

// The preferred entry that has a value, else the first that has one.
template <typename T, typename Empty>
const T* mainOf(const std::vector<T>& items, Empty empty) {
    const T* first = nullptr;
    for (const T& i : items) {
        if (empty(i)) continue;
        if (i.preferred) return &i;
        if (!first) first = &i;
    }
    return first;
}

bool noValue(const Labelled& l) {
    return l.value.empty();
}

// The card's values for a property of kCardFields that carries one column
// from a list (TEL, EMAIL, X-ICQ), and how "Mas info" names those that do
// not go to the column ("Teléfono (trabajo)"); null for the others, which
// toContact reads apart.
struct ListField {
    std::string_view property;
    std::vector<Labelled> Card::*values;
    const char* line;
};
constexpr ListField kListFields[] = {{"TEL", &Card::phones, "Teléfono"},
                                     {"EMAIL", &Card::emails, "e-mail"},
                                     {"X-ICQ", &Card::icqs, "ICQ"}};

constexpr const ListField* listField(std::string_view property) {
    for (const ListField& l : kListFields)
        if (l.property == property) return &l;
    return nullptr;
}
// A one-column property added to kCardFields without its list here fails to
// build instead of being left out of the import.
static_assert([] {
    for (const CardField& f : kCardFields)
        if (f.first == f.last && f.property != "BDAY" && f.property != "NOTE" &&
            !listField(f.property))
            return false;
    return true;
}());

// Shown dd/mm/yyyy when it is a date, dd/mm when year-less, else as written.
std::string shownDate(std::string_view text, bool monthFirst) {
    if (auto iso = birthIso(text, monthFirst)) return displayFromIso(*iso);
    if (auto day = yearlessBirthday(text)) return *day;
    return std::string(trimmed(text));
}

}  // namespace

bool Address::empty() const {
    return street.empty() && extended.empty() && poBox.empty() && town.empty() && region.empty() &&
           postcode.empty() && country.empty();
}

bool noDate(std::string_view text) {
    text = trimmed(text);
    return text == "0/0/00" || text == "00/00/0000" || text == "0000-00-00" || text == "0/0/0000";
}

std::optional<std::string> yearlessBirthday(std::string_view text) {
    std::string_view s = trimmed(text);
    std::string d;
    if (s.substr(0, 2) == "--")
        s.remove_prefix(2);
    else if (s.substr(0, 4) == "1604")  // the year clients write for "no year"
        s.remove_prefix(s.size() > 4 && s[4] == '-' ? 5 : 4);
    else
        return std::nullopt;
    for (char c : s) {
        if (c == '-') continue;
        if (c < '0' || c > '9') return std::nullopt;
        d += c;
    }
    if (d.size() != 4) return std::nullopt;
    // 2000 is a leap year, so 29/02 passes.
    if (!isoDate(2000, std::stoi(d.substr(0, 2)), std::stoi(d.substr(2, 2)))) return std::nullopt;
    return d.substr(2, 2) + "/" + d.substr(0, 2);
}

std::optional<std::string> birthIso(std::string_view text, bool monthFirst) {
    std::string_view s = trimmed(text);
    if (s.empty() || noDate(s) || yearlessBirthday(s)) return std::nullopt;
    if (monthFirst) {
        // m/d/yyyy: swap the first two numbers and read it as d/m/yyyy.
        std::size_t a = s.find('/'), b = a == std::string_view::npos ? a : s.find('/', a + 1);
        if (b != std::string_view::npos) {
            std::string swapped = std::string(s.substr(a + 1, b - a - 1)) + "/" +
                                  std::string(s.substr(0, a)) + std::string(s.substr(b));
            return isoFromImported(swapped);
        }
    }
    return isoFromImported(s);
}

Contact toContact(const Card& k, std::string* extraOut, Fates* fates) {
    Contact c;
    std::vector<std::string> lines;
    // Each line says where it came from, for the report.
    const auto count = [fates](std::string_view prop, bool field) {
        if (!fates || prop.empty()) return;
        Fate& f = (*fates)[std::string(prop)];
        ++(field ? f.field : f.info);
    };
    const auto line = [&lines, &count](std::string_view label, std::string_view value,
                                       std::string_view prop = {}) {
        if (trimmed(value).empty()) return;
        lines.push_back(std::string(label) + ": " + std::string(value));
        count(prop, false);
    };

    // The value each column takes, by the properties of kCardFields. On our
    // own cards the columns come exact (k.exact): what is left in the lists
    // is what another program added, and it all goes to "Mas info".
    std::array<const Labelled*, kColumnCount> chosen{};
    const Address* home = nullptr;
    for (const CardField& f : kCardFields) {
        if (k.own[f.first]) continue;
        if (const ListField* l = listField(f.property))
            chosen[f.first] = mainOf(k.*(l->values), noValue);
        else if (f.property == "ADR")
            home = mainOf(k.addresses, [](const Address& a) { return a.empty(); });
    }
    const Labelled* phone = chosen[kTelefono];
    const Labelled* email = chosen[kEmail];

    // Nombre: the given name, else the full name, else the company, the
    // e-mail or the phone; never null, so that "Todos" lists the contact.
    const std::string given = joined({trimmed(k.given), trimmed(k.middle)}, " ");
    const std::string full(trimmed(k.fullName)), family(trimmed(k.family)),
        company(trimmed(k.company));
    bool companyIsName = false;
    if (!given.empty())
        c[kNombre] = given;
    else if (!full.empty() && !family.empty() && full.size() > family.size() + 1 &&
             full.ends_with(" " + family))
        c[kNombre] = std::string(trimmed(full.substr(0, full.size() - family.size())));
    else if (!full.empty())
        c[kNombre] = full;
    else if (!family.empty())
        c[kNombre] = family;
    else if (!company.empty())
        c[kNombre] = company, companyIsName = !k.own[kNombre];
    else if (email)
        c[kNombre] = email->value;
    else if (phone)
        c[kNombre] = phone->value;
    else
        c[kNombre] = "";
    if (!family.empty() && family != *c[kNombre]) c[kApellido] = family;

    if (home) {
        c[kDomicilio] = domicilio(home->street, home->extended, home->poBox);
        c[kLocalidad] = localidad(townLine(home->postcode, home->town), home->region);
        if (c[kDomicilio]->empty()) c[kDomicilio].reset();
        if (c[kLocalidad]->empty()) c[kLocalidad].reset();
        count(home->prop, true);
    }
    for (std::size_t col = 0; col < kColumnCount; ++col)
        if (chosen[col]) c[col] = chosen[col]->value, count(chosen[col]->prop, true);
    const std::string* born = nullptr;
    for (const std::string& b : k.birthdays)
        if (auto iso = birthIso(b, k.monthFirst)) {
            c[kFecha] = *iso;
            born = &b;
            count("BDAY", true);
            break;
        }

    line("Tratamiento", k.prefix);
    line("Sufijo", k.suffix);
    line("Apodo", k.nickname, "NICKNAME");
    if (!companyIsName) line("Empresa", company, "ORG");
    line("Departamento", k.department);
    line("Cargo", k.title, "TITLE");
    line("Función", k.role, "ROLE");
    if (home) line("País", home->country);
    for (const Address& a : k.addresses) {
        if (&a == home || a.empty()) continue;
        line(labelled("Dirección", a.label),
             joined(
                 {a.street, a.extended, a.poBox, townLine(a.postcode, a.town), a.region, a.country},
                 ", "),
             a.prop);
    }
    for (const CardField& f : kCardFields)
        if (const ListField* l = listField(f.property))
            for (const Labelled& v : k.*(l->values))
                if (&v != chosen[f.first]) line(labelled(l->line, v.label), v.value, v.prop);
    for (const Labelled& i : k.ims) line(labelled("Mensajería", i.label), i.value, i.prop);
    for (const Labelled& w : k.webs) line(labelled("Web", w.label), w.value, w.prop);
    for (const std::string& b : k.birthdays)
        if (&b != born && !noDate(b))
            line("Fecha de nacimiento", shownDate(b, k.monthFirst), "BDAY");
    for (const Labelled& d : k.dates)
        if (!noDate(d.value))
            line(d.label.empty() ? "Fecha" : d.label, shownDate(d.value, k.monthFirst), d.prop);
    std::string cats;
    for (const std::string& cat : k.categories) appendJoined(cats, trimmed(cat), ", ");
    line("Categorías", cats, "CATEGORIES");
    for (std::size_t i = 0; i < k.others.size(); ++i)
        line(k.others[i].first, k.others[i].second,
             i < k.othersFrom.size() ? std::string_view(k.othersFrom[i]) : std::string_view());
    if (fates)
        for (const std::string& a : k.aside) ++(*fates)[a].aside;

    // A line our own note already holds is not added twice: a card of ours
    // that a phone sent back carries both the NOTE and what it came from.
    if (k.own[kMasInfo] && k.exact[kMasInfo] && !lines.empty()) {
        std::unordered_set<std::string_view> have;
        std::string_view note = *k.exact[kMasInfo];
        for (std::size_t pos = 0; pos <= note.size();) {
            std::size_t end = std::min(note.find('\n', pos), note.size());
            have.insert(note.substr(pos, end - pos));
            pos = end + 1;
        }
        std::erase_if(lines, [&](const std::string& l) { return have.count(l) > 0; });
    }

    // Each joined once, in place: joining anew for every line made a card of
    // many phones cost the square of its size.
    std::string notes, extra;
    for (const std::string& n : k.notes) appendJoined(notes, n, "\n");
    for (const std::string& l : lines) appendJoined(extra, l, "\n");
    if (!notes.empty() || !extra.empty()) c[kMasInfo] = joined({notes, extra}, "\n");

    if (extraOut) *extraOut = extra;
    // Orvane's own columns as written; what came beside them (a company a
    // phone added to one of our cards) still follows the note.
    for (std::size_t col = kNombre; col < kColumnCount; ++col) {
        if (!k.own[col]) continue;
        c[col] = k.exact[col];
        if (col == kMasInfo && !extra.empty())
            c[col] = c[col] && !c[col]->empty() ? *c[col] + "\n" + extra : extra;
    }
    return c;
}

std::string cleanText(std::string_view text, bool trim) {
    std::string out;
    out.reserve(text.size());
    bool plain = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\r') {
            out += '\n';  // CR LF and a lone CR are both one line break
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            continue;
        }
        if ((b < 0x20 && b != '\t' && b != '\n') || b == 0x7F) continue;
        if (b == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            ++i;  // a C1 control character
            continue;
        }
        if (b >= 0x80) plain = false;
        out += text[i];
    }
    if (!plain) {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
        icu::UnicodeString u = icu::UnicodeString::fromUTF8(out);
        if (U_SUCCESS(status) && !nfc->isNormalized(u, status)) {
            icu::UnicodeString n = nfc->normalize(u, status);
            if (U_SUCCESS(status)) {
                out.clear();
                n.toUTF8String(out);
            }
        }
    }
    if (trim) {
        std::string_view t = trimmed(out);
        if (t.size() != out.size()) out = std::string(t);
    }
    return out;
}

void cleanContact(Contact& c) {
    for (std::size_t col = kNombre; col < kColumnCount; ++col)
        if (c[col]) c[col] = cleanText(*c[col], col == kNombre || col == kApellido);
}

std::string printable(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        const auto b = static_cast<unsigned char>(ch);
        const bool c1 = b == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c1) {
            (out += "\\u00") +=
                {"0123456789abcdef"[(text[++i] >> 4) & 15], "0123456789abcdef"[text[i] & 15]};
            continue;
        }
        if (b >= 0x20 && b != 0x7F) {
            out += ch;
            continue;
        }
        static const char* const kHex = "0123456789abcdef";
        out += ch == '\t' ? "\\t" : ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : "";
        if (ch != '\t' && ch != '\n' && ch != '\r') (out += "\\x") += {kHex[b >> 4], kHex[b & 15]};
    }
    return out;
}

}  // namespace orv::exchange
