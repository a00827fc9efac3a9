#include "exchange/csv.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "exchange/import.h"
#include "exchange/parsers.h"
#include "exchange/text.h"
#include "store/ascii.h"
#include "store/dates.h"

namespace orv::exchange {

CsvReader::CsvReader(std::string_view text, char delimiter, long firstLine)
    : text_(text), delim_(delimiter), line_(firstLine) {}

bool CsvReader::next(CsvRecord& record, std::string& error) {
    const std::size_t n = text_.size();
    // Skip blank lines between records.
    while (pos_ < n && (text_[pos_] == '\n' || text_[pos_] == '\r')) {
        if (text_[pos_] == '\r' && pos_ + 1 < n && text_[pos_ + 1] == '\n') ++pos_;
        ++pos_;
        ++line_;
    }
    if (pos_ >= n) return false;

    record.fields.clear();
    record.line = line_;
    error.clear();
    auto endOfLine = [&]() {
        if (pos_ < n && text_[pos_] == '\r') ++pos_;
        if (pos_ < n && text_[pos_] == '\n') ++pos_;
        ++line_;
    };
    auto skipToNextLine = [&]() {
        while (pos_ < n && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
        if (pos_ < n) endOfLine();
    };

    for (;;) {
        if (pos_ < n && text_[pos_] == '"') {
            std::string value;
            ++pos_;
            for (;;) {
                std::size_t q = text_.find('"', pos_);
                if (q == std::string_view::npos) {
                    error = "comillas sin cerrar";
                    pos_ = n;
                    return true;
                }
                for (std::size_t i = pos_; i < q; ++i)
                    if (text_[i] == '\n' ||
                        (text_[i] == '\r' && (i + 1 >= n || text_[i + 1] != '\n')))
                        ++line_;
                value.append(text_.substr(pos_, q - pos_));
                pos_ = q + 1;
                if (pos_ < n && text_[pos_] == '"') {
                    value += '"';
                    ++pos_;
                    continue;
                }
                break;
            }
            record.fields.emplace_back(std::move(value));
            if (pos_ < n && text_[pos_] != delim_ && text_[pos_] != '\r' && text_[pos_] != '\n') {
                error = "texto tras unas comillas de cierre";
                skipToNextLine();
                return true;
            }
        } else {
            std::size_t start = pos_;
            while (pos_ < n && text_[pos_] != delim_ && text_[pos_] != '\r' && text_[pos_] != '\n')
                ++pos_;
            if (pos_ == start)
                record.fields.emplace_back(std::nullopt);
            else
                record.fields.emplace_back(std::string(text_.substr(start, pos_ - start)));
        }
        if (pos_ < n && text_[pos_] == delim_) {
            ++pos_;
            continue;
        }
        if (pos_ < n) endOfLine();
        return true;
    }
}

namespace {

// Where a column's values go.
enum class Slot {
    Ignore,
    Given,
    Middle,
    Family,
    Full,
    Prefix,
    Suffix,
    Nickname,
    Company,
    Department,
    Title,
    Birthday,
    BirthYear,
    BirthMonth,
    BirthDay,
    Anniversary,
    Notes,
    Categories,
    Phone,
    Email,
    Web,
    Im,
    Icq,
    Other,
    Street,
    Street2,
    Street3,
    PoBox,
    Extended,
    Town,
    Region,
    Postcode,
    Country,
    Label,
    Service,
    Value  // the parts of a numbered group: "Phone 1 - Label"
};
// What a numbered group ("Phone 1 - ...") or a fixed one holds.
enum class Kind { None, Phone, Email, Web, Im, Address, Event, Relation, Custom };

struct Entry {
    std::string name;  // folded; "#" stands for a number
    Slot slot = Slot::Ignore;
    Kind kind = Kind::None;
    std::string label;  // Spanish; for fixed groups ("Home Phone")
    bool preferred = false;
    bool monthFirst = false;  // only Outlook in English writes this header
};

using S = Slot;
using K = Kind;

// Every header name known, folded (lower case, no accents). A group's key is
// its name up to " - " ("phone #", "address #") or its label.
// Every header name known, folded (lower case, no accents; "#" for a number):
// where its values go, the Spanish label of a fixed group ("Home Phone") and
// flags: "*" the preferred one of its kind, "!" a name only Outlook in
// English writes (its dates are month first). "@ x" stands for Outlook's
// three addresses: "business x", "home x" and "other x".
constexpr std::string_view kDictionary = R"(
# Google Contacts, current and legacy, and names several programs share.
first name | given
given name | given
middle name | middle
additional name | middle
last name | family
family name | family
name | full
display name | full
name prefix | prefix
name suffix | suffix
nickname | nickname
nick | nickname
organization name | company
organization # - name | company
organization title | title
organization # - title | title
organization department | department
organization # - department | department
organization # - type | ignore
organization # - yomi name | ignore
birthday | birthday
notes | notes
labels | categories
group membership | categories
photo | other | Foto
file as | ignore
phonetic first name | ignore
phonetic middle name | ignore
phonetic last name | ignore
yomi name | ignore
given name yomi | ignore
additional name yomi | ignore
family name yomi | ignore
initials | ignore
e-mail # - label | label email
e-mail # - type | label email
e-mail # - value | value email
phone # - label | label phone
phone # - type | label phone
phone # - value | value phone
website # - label | label web
website # - type | label web
website # - value | value web
im # - label | label im
im # - type | label im
im # - service | service im
im # - value | value im
event # - label | label event
event # - type | label event
event # - value | value event
relation # - label | label relation
relation # - type | label relation
relation # - value | value relation
custom field # - label | label custom
custom field # - type | label custom
custom field # - value | value custom
address # - label | label address
address # - type | label address
address # - formatted | ignore
address # - street | street
address # - city | town
address # - po box | po box
address # - region | region
address # - postal code | postcode
address # - country | country
address # - extended address | extended
# Outlook in English.
title | prefix
suffix | suffix
company | company
department | department
job title | title
@ street | street | | !
@ street 2 | street2
@ street 3 | street3
@ city | town
@ state | region
@ postal code | postcode
@ country/region | country
@ address po box | po box
assistant's phone | phone | asistente
business fax | phone | fax del trabajo
business phone | phone | trabajo | !
business phone 2 | phone | trabajo
callback | phone | devolución de llamada
car phone | phone | coche
company main phone | phone | empresa
home fax | phone | fax de casa
home phone | phone | casa
home phone 2 | phone | casa
isdn | phone | RDSI
mobile phone | phone | móvil | !
other fax | phone | otro fax
other phone | phone | otro
pager | phone | buscapersonas
primary phone | phone | principal | *!
radio phone | phone | radio
tty/tdd phone | phone | TTY/TDD
telex | phone | télex
anniversary | anniversary
categories | categories
e-mail address | email | | !
e-mail # address | email
e-mail type | ignore
e-mail # type | ignore
e-mail display name | ignore
e-mail # display name | ignore
web page | web
# Outlook in Spanish.
tratamiento | prefix
nombre | given
segundo nombre | middle
apellidos | family
sufijo | suffix
organizacion | company
compania | company
departamento | department
puesto | title
calle del trabajo | street | trabajo
calle del domicilio | street | casa
otra calle | street | otra
calle del trabajo 2 | street2 | trabajo
calle del domicilio 2 | street2 | casa
otra calle 2 | street2 | otra
calle del trabajo 3 | street3 | trabajo
calle del domicilio 3 | street3 | casa
otra calle 3 | street3 | otra
ciudad de trabajo | town | trabajo
ciudad de residencia | town | casa
otra ciudad | town | otra
provincia o estado de trabajo | region | trabajo
provincia o estado de residencia | region | casa
otra provincia o estado | region | otra
codigo postal del trabajo | postcode | trabajo
codigo postal de residencia | postcode | casa
otro codigo postal | postcode | otra
pais o region del trabajo | country | trabajo
pais o region de residencia | country | casa
otro pais o region | country | otra
apartado postal del trabajo | po box | trabajo
apartado postal de residencia | po box | casa
otro apartado postal | po box | otra
telefono del ayudante | phone | asistente
telefono del asistente | phone | asistente
fax del trabajo | phone | fax del trabajo
telefono del trabajo | phone | trabajo
telefono del trabajo 2 | phone | trabajo
devolucion de llamada | phone | devolución de llamada
telefono del automovil | phone | coche
numero de centralita de la organizacion | phone | empresa
telefono de la organizacion | phone | empresa
fax particular | phone | fax de casa
particular | phone | casa
particular 2 | phone | casa
rdsi | phone | RDSI
telefono movil | phone | móvil
movil | phone | móvil
otro fax | phone | otro fax
otro telefono | phone | otro
localizador | phone | buscapersonas
telefono principal | phone | principal | *
radiotelefono | phone | radio
telefono tty/tdd | phone | TTY/TDD
telex | phone | télex
aniversario | anniversary
cumpleanos | birthday
categorias | categories
direccion de correo electronico | email
direccion de correo electronico # | email
tipo de correo electronico | ignore
tipo de correo electronico # | ignore
nombre para mostrar del correo electronico | ignore
nombre para mostrar del correo electronico # | ignore
notas | notes
pagina web | web
# Thunderbird.
primary email | email | | *
secondary email | email
screen name | im
work phone | phone | trabajo
fax number | phone | fax
pager number | phone | buscapersonas
mobile number | phone | móvil
home address | street | casa
home address 2 | street2 | casa
home zipcode | postcode | casa
home country | country | casa
work address | street | trabajo
work address 2 | street2 | trabajo
work city | town | trabajo
work state | region | trabajo
work zipcode | postcode | trabajo
work country | country | trabajo
organization | company
web page # | web
birth year | birth year
birth month | birth month
birth day | birth day
# abook ("allcsv").
email | email
address | street | casa
address2 | street2 | casa
city | town | casa
state | region | casa
zip | postcode | casa
country | country | casa
phone | phone | casa
workphone | phone | trabajo
fax | phone | fax
mobilephone | phone | móvil
mobile | phone | móvil
url | web
groups | categories
)";

// Where each slot's word in the dictionary sends a value.
constexpr std::pair<std::string_view, Slot> kSlots[] = {{"ignore", S::Ignore},
                                                        {"given", S::Given},
                                                        {"middle", S::Middle},
                                                        {"family", S::Family},
                                                        {"full", S::Full},
                                                        {"prefix", S::Prefix},
                                                        {"suffix", S::Suffix},
                                                        {"nickname", S::Nickname},
                                                        {"company", S::Company},
                                                        {"department", S::Department},
                                                        {"title", S::Title},
                                                        {"birthday", S::Birthday},
                                                        {"birth year", S::BirthYear},
                                                        {"birth month", S::BirthMonth},
                                                        {"birth day", S::BirthDay},
                                                        {"anniversary", S::Anniversary},
                                                        {"notes", S::Notes},
                                                        {"categories", S::Categories},
                                                        {"phone", S::Phone},
                                                        {"email", S::Email},
                                                        {"web", S::Web},
                                                        {"im", S::Im},
                                                        {"icq", S::Icq},
                                                        {"other", S::Other},
                                                        {"street", S::Street},
                                                        {"street2", S::Street2},
                                                        {"street3", S::Street3},
                                                        {"po box", S::PoBox},
                                                        {"extended", S::Extended},
                                                        {"town", S::Town},
                                                        {"region", S::Region},
                                                        {"postcode", S::Postcode},
                                                        {"country", S::Country},
                                                        {"label", S::Label},
                                                        {"service", S::Service},
                                                        {"value", S::Value}};
constexpr std::pair<std::string_view, Kind> kKinds[] = {
    {"phone", K::Phone},     {"email", K::Email}, {"web", K::Web},           {"im", K::Im},
    {"address", K::Address}, {"event", K::Event}, {"relation", K::Relation}, {"custom", K::Custom}};

std::string_view field(std::string_view& line) {
    const std::size_t bar = line.find('|');
    const std::string_view f = trimmed(line.substr(0, bar));
    line = bar == std::string_view::npos ? std::string_view() : line.substr(bar + 1);
    return f;
}

const std::vector<Entry>& entries() {
    static const std::vector<Entry> all = [] {
        std::vector<Entry> out;
        std::string_view text = kDictionary;
        while (!text.empty()) {
            const std::size_t eol = text.find('\n');
            std::string_view line = text.substr(0, eol);
            text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
            if (trimmed(line).empty() || trimmed(line).front() == '#') continue;
            Entry e;
            e.name = std::string(field(line));
            std::string_view where = field(line);
            for (const auto& [word, kind] : kKinds)
                if (where.size() > word.size() &&
                    where.substr(where.size() - word.size()) == word &&
                    where[where.size() - word.size() - 1] == ' ') {
                    e.kind = kind;
                    where = where.substr(0, where.size() - word.size() - 1);
                }
            for (const auto& [word, slot] : kSlots)
                if (where == word) e.slot = slot;
            if (e.slot >= S::Street && e.slot <= S::Country) e.kind = K::Address;
            if (e.slot == S::Phone) e.kind = K::Phone;
            if (e.slot == S::Email) e.kind = K::Email;
            e.label = std::string(field(line));
            const std::string_view flags = field(line);
            e.preferred = flags.find('*') != std::string_view::npos;
            e.monthFirst = flags.find('!') != std::string_view::npos;
            if (e.name.rfind("@ ", 0) != 0) {
                out.push_back(e);
                continue;
            }
            static constexpr std::pair<std::string_view, std::string_view> kPlaces[] = {
                {"business", "trabajo"}, {"home", "casa"}, {"other", "otra"}};
            for (const auto& [place, label] : kPlaces) {
                Entry each = e;
                each.name = std::string(place) + e.name.substr(1);
                each.label = label;
                out.push_back(std::move(each));
            }
        }
        return out;
    }();
    return all;
}

// Lower case, Spanish accents and "ñ" folded, surrounding blanks, quotes and
// abook's "#" dropped: "Teléfono" and "telefono", "#\"NAME\"" and "name" meet.
std::string folded(std::string_view s) {
    s = trimmed(s);
    while (!s.empty() && (s.front() == '#' || s.front() == '"')) s.remove_prefix(1);
    while (!s.empty() && s.back() == '"') s.remove_suffix(1);
    static constexpr std::string_view kFrom[] = {"á", "é", "í", "ó", "ú", "ü", "ñ", "Á", "É",
                                                 "Í", "Ó", "Ú", "Ü", "Ñ", "à", "è", "ò"};
    static constexpr char kTo[] = "aeiouunaeiouunaeo";
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        bool done = false;
        for (std::size_t k = 0; k < std::size(kFrom) && !done; ++k)
            if (s.substr(i, kFrom[k].size()) == kFrom[k]) {
                out += kTo[k];
                i += kFrom[k].size();
                done = true;
            }
        if (!done) out += ascii::lower(s[i++]);
    }
    return std::string(trimmed(out));
}

// Our own column for a folded header name, also as the card labels it.
std::optional<Col> ownColumn(std::string_view name) {
    for (std::size_t c = 0; c < kColumnCount; ++c)
        if (name == folded(schema::kColumns[c])) return static_cast<Col>(c);
    return std::nullopt;
}

// The header's columns: our own, a known entry with its group key, or another
// program's column we have no entry for (kept as a labelled line).
struct Column {
    std::optional<Col> own;
    const Entry* entry = nullptr;
    std::string group;  // "phone 1", "casa"...
    std::string header;
};

// The first entry of each name.
const Entry* entryNamed(const std::string& name) {
    static const std::unordered_map<std::string, const Entry*> byName = [] {
        std::unordered_map<std::string, const Entry*> m;
        for (const Entry& e : entries()) m.try_emplace(e.name, &e);
        return m;
    }();
    auto at = byName.find(name);
    return at == byName.end() ? nullptr : at->second;
}

const Entry* lookUp(const std::string& name, std::string& group) {
    if (const Entry* e = entryNamed(name)) {
        group = e->label.empty() ? e->name : e->label;
        return e;
    }
    // Numbered names: every run of digits stands for "#".
    std::string pattern;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] >= '0' && name[i] <= '9') {
            pattern += '#';
            while (i + 1 < name.size() && name[i + 1] >= '0' && name[i + 1] <= '9') ++i;
        } else {
            pattern += name[i];
        }
    }
    if (const Entry* e = entryNamed(pattern)) {
        // The group is the name up to " - ": "phone 1 - value" -> "phone 1".
        group = name.substr(0, name.find(" - "));
        if (!e->label.empty()) group = e->label;
        return e;
    }
    return nullptr;
}

// "* Mobile" (Google marks the preferred one) -> "móvil", preferred.
std::string spanishLabel(std::string_view label, bool& preferred) {
    label = trimmed(label);
    if (!label.empty() && label.front() == '*') {
        preferred = true;
        label = trimmed(label.substr(1));
    }
    static const std::pair<std::string_view, std::string_view> kLabels[] = {
        {"mobile", "móvil"},
        {"cell", "móvil"},
        {"home", "casa"},
        {"work", "trabajo"},
        {"main", "principal"},
        {"other", "otro"},
        {"home fax", "fax de casa"},
        {"work fax", "fax del trabajo"},
        {"pager", "buscapersonas"},
        {"anniversary", "Aniversario"},
        {"birthday", "Cumpleaños"},
        {"homepage", "página personal"},
        {"blog", "blog"},
        {"profile", "perfil"}};
    const std::string f = folded(label);
    for (const auto& [en, es] : kLabels)
        if (f == en) return std::string(es);
    return std::string(label);
}

// Values Outlook writes in every row when there is nothing to say.
bool outlookDefault(std::string_view v) {
    for (std::string_view d : {"Normal", "False", "Unspecified", "Falso", "Sin especificar"})
        if (v == d) return true;
    return false;
}

// Splits Google's " ::: " lists (and abook's comma lists of e-mails).
std::vector<std::string> items(const std::string& v, bool commas) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t sep = v.find(" ::: ", start);
        std::size_t comma = commas ? v.find(',', start) : std::string::npos;
        std::size_t cut = std::min(sep, comma);
        std::string_view part = trimmed(std::string_view(v).substr(start, cut - start));
        if (!part.empty()) out.emplace_back(part);
        if (cut == std::string::npos) return out;
        start = cut + (cut == sep ? 5 : 1);
    }
}

struct Group {
    std::vector<std::string> values;
    std::string label, service;
    bool preferred = false;
    Address address;
};

// The groups of one kind in the order their first column came, found by key
// through an index (a header of many numbered columns stays linear).
class Groups {
  public:
    Group& operator[](const std::string& key) {
        auto [at, added] = index_.try_emplace(key, list_.size());
        if (added) list_.emplace_back(key, Group{});
        return list_[at->second].second;
    }
    auto begin() { return list_.begin(); }
    auto end() { return list_.end(); }

  private:
    std::vector<std::pair<std::string, Group>> list_;
    std::unordered_map<std::string, std::size_t> index_;
};

std::string padded(std::string_view digits, std::size_t width) {
    std::string out(trimmed(digits));
    while (out.size() < width) out.insert(out.begin(), '0');
    return out;
}

// One record of a header that is not all ours.
Card cardFromRecord(const std::vector<Column>& columns, std::vector<Value>& fields) {
    Card k;
    Groups groups[9];  // by Kind
    std::string year, month, day;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& col = columns[i];
        if (!fields[i] || trimmed(*fields[i]).empty()) continue;
        std::string v(trimmed(*fields[i]));
        if (col.own) {
            switch (*col.own) {
                case kNombre:
                    k.given = v;
                    break;
                case kApellido:
                    k.family = v;
                    break;
                case kDomicilio:
                    groups[int(K::Address)][""].address.street = v;
                    break;
                case kLocalidad:
                    groups[int(K::Address)][""].address.town = v;
                    break;
                case kTelefono:
                    groups[int(K::Phone)][""].values.push_back(v);
                    break;
                case kEmail:
                    groups[int(K::Email)][""].values.push_back(v);
                    break;
                case kIcq:
                    k.icqs.push_back({v, "", false});
                    break;
                case kMasInfo:
                    k.notes.push_back(*fields[i]);
                    break;
                case kFecha:
                    k.birthdays.push_back(v);
                    break;
                default:
                    break;
            }
            continue;
        }
        if (!col.entry) {
            if (!outlookDefault(v)) k.others.emplace_back(col.header, v);
            continue;
        }
        const Entry& e = *col.entry;
        if (e.kind != K::None && e.slot != S::Ignore) {
            Group& g = groups[int(e.kind)][col.group];
            if (!e.label.empty()) g.label = e.label;
            g.preferred = g.preferred || e.preferred;
            Address& a = g.address;
            switch (e.slot) {
                case S::Label:
                    g.label = spanishLabel(v, g.preferred);
                    break;
                case S::Service:
                    g.service = v;
                    break;
                case S::Street:
                    a.street = v;
                    break;
                case S::Street2:
                case S::Street3:
                    a.extended += (a.extended.empty() ? "" : ", ") + v;
                    break;
                case S::PoBox:
                    a.poBox = v;
                    break;
                case S::Extended:
                    a.extended = v;
                    break;
                case S::Town:
                    a.town = v;
                    break;
                case S::Region:
                    a.region = v;
                    break;
                case S::Postcode:
                    a.postcode = v;
                    break;
                case S::Country:
                    a.country = v;
                    break;
                default:
                    for (std::string& item : items(v, e.kind == K::Email))
                        g.values.push_back(std::move(item));
            }
            continue;
        }
        switch (e.slot) {
            case S::Given:
                k.given = v;
                break;
            case S::Middle:
                k.middle = v;
                break;
            case S::Family:
                k.family = v;
                break;
            case S::Full:
                k.fullName = v;
                break;
            case S::Prefix:
                k.prefix = v;
                break;
            case S::Suffix:
                k.suffix = v;
                break;
            case S::Nickname:
                k.nickname = v;
                break;
            case S::Company:
                k.company = v;
                break;
            case S::Department:
                k.department = v;
                break;
            case S::Title:
                k.title = v;
                break;
            case S::Birthday:
                k.birthdays.push_back(v);
                break;
            case S::BirthYear:
                year = v;
                break;
            case S::BirthMonth:
                month = v;
                break;
            case S::BirthDay:
                day = v;
                break;
            case S::Anniversary:
                k.dates.push_back({v, "Aniversario", false});
                break;
            case S::Notes:
                k.notes.push_back(*fields[i]);
                break;
            case S::Categories:
                // Google's own groups ("* myContacts") are no one's category.
                // Outlook separates them with ";", Google with " ::: ".
                for (std::string& c : items(v, true)) {
                    if (c.front() == '*') continue;
                    for (std::size_t start = 0; start <= c.size();) {
                        const std::size_t semi = std::min(c.find(';', start), c.size());
                        const std::string_view part =
                            trimmed(std::string_view(c).substr(start, semi - start));
                        if (!part.empty()) k.categories.emplace_back(part);
                        start = semi + 1;
                    }
                }
                break;
            case S::Web:
                k.webs.push_back({v, "", false});
                break;
            case S::Im:
                k.ims.push_back({v, "", false});
                break;
            case S::Other:
                // Google's photo is the address of the picture: kept as a line.
                k.others.emplace_back(col.entry->label.empty() ? col.header : col.entry->label, v);
                break;
            default:
                break;
        }
    }
    if (!month.empty() && !day.empty())
        k.birthdays.push_back((year.empty() ? "--" : padded(year, 4) + "-") + padded(month, 2) +
                              "-" + padded(day, 2));
    for (auto& [key, g] : groups[int(K::Address)]) {
        g.address.label = g.label;
        g.address.preferred = g.preferred;
        k.addresses.push_back(g.address);
    }
    const auto take = [&](Kind kind, std::vector<Labelled>& into) {
        for (auto& [key, g] : groups[int(kind)])
            for (std::string& v : g.values) into.push_back({v, g.label, g.preferred});
    };
    take(K::Phone, k.phones);
    take(K::Email, k.emails);
    take(K::Web, k.webs);
    for (auto& [key, g] : groups[int(K::Im)])
        for (std::string& v : g.values) {
            if (folded(g.service) == "icq")
                k.icqs.push_back({v, "", g.preferred});
            else
                k.ims.push_back({v, g.service.empty() ? g.label : g.service, false});
        }
    for (auto& [key, g] : groups[int(K::Event)])
        for (std::string& v : g.values) {
            if (g.label == "Cumpleaños")
                k.birthdays.push_back(v);
            else
                k.dates.push_back({v, g.label.empty() ? "Fecha" : g.label, false});
        }
    for (Kind kind : {K::Relation, K::Custom})
        for (auto& [key, g] : groups[int(kind)])
            for (std::string& v : g.values)
                k.others.emplace_back(
                    g.label.empty() ? (kind == K::Relation ? "Relación" : "Dato") : g.label, v);
    return k;
}

// Which separator the header uses: the most frequent of comma, semicolon and
// tab outside quotes (a comma when none).
char detectDelimiter(std::string_view text) {
    std::size_t counts[3] = {};
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\n' || c == '\r') break;
        counts[0] += c == ',';
        counts[1] += c == ';';
        counts[2] += c == '\t';
    }
    if (counts[1] > counts[0] && counts[1] >= counts[2]) return ';';
    if (counts[2] > counts[0] && counts[2] > counts[1]) return '\t';
    return ',';
}

std::string quotedName(std::string_view s) {
    return "\"" + printable(s) + "\"";
}

std::string knownColumns() {
    std::string s;
    for (std::size_t c = kNombre; c < kColumnCount; ++c)
        s += (c > kNombre ? ", " : "") + std::string(schema::kColumns[c]);
    return "se conocen las columnas de Orvane (" + s +
           "; Codigo se ignora) y las cabeceras de Google Contacts, Outlook (en inglés o en "
           "español), Thunderbird y abook";
}

}  // namespace

namespace {

struct DayMonth {
    int first = 0, second = 0;
    std::string rest;  // "/yyyy" and what follows
};
// The two numbers before a four-digit year of "a/b/yyyy".
std::optional<DayMonth> dayMonth(std::string_view text) {
    std::string_view t = trimmed(text);
    const std::size_t a = t.find('/'), b = a == std::string_view::npos ? a : t.find('/', a + 1);
    if (b == std::string_view::npos || a == 0 || a > 2 || b - a < 2 || b - a > 3)
        return std::nullopt;
    const auto num = [](std::string_view d) {
        int v = 0;
        for (char c : d) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    };
    const int x = num(t.substr(0, a)), y = num(t.substr(a + 1, b - a - 1));
    if (x < 1 || y < 1 || t.size() < b + 5) return std::nullopt;
    return DayMonth{x, y, std::string(t.substr(b))};
}

bool dateColumn(const Column& c) {
    const Entry* e = c.entry;
    return e &&
           (e->slot == Slot::Birthday || e->slot == Slot::Anniversary || e->kind == Kind::Event);
}

}  // namespace

namespace {

// Records as their lines come: a record ends with a line that leaves no
// quote open. The header's columns decide how every record is read; a date
// column's day/month order is known only once all its dates have been seen,
// so a first reading gathers them (survey) and the second reads by them.
class CsvParser : public LineParser {
  public:
    CsvParser(Reading& out, CsvSurvey& survey) : out_(out), survey_(survey) {}

    void line(const LineReader::Line& l) override {
        if (dead_) return;
        if (l.tooLong) {
            out_.addProblem({pending_.empty() ? l.number : pendingLine_, lineTooLong(l.number)});
            dead_ = header_;  // without its header nothing can be read
            pending_.clear();
            state_ = Scan::FieldStart;
            return;
        }
        if (pending_.empty()) {
            if (l.text.empty()) return;  // blank lines between records
            pendingLine_ = l.number;
        }
        pending_.append(l.text);
        scan(l.text);
        if (state_ == Scan::Quoted) {
            // A quoted field goes on: its line end is part of the text.
            pending_.append(l.end);
            if (pending_.size() > kMaxRecord) {
                out_.addProblem({pendingLine_, recordTooLarge("un registro")});
                dead_ = true;  // an open quote: where the next record starts is unknown
                pending_.clear();
            }
            return;
        }
        record();
    }

    void finish() override {
        if (!pending_.empty() && !dead_) record();
        if (header_ && !dead_)
            out_.addProblem(
                {1, "el archivo está vacío: falta la cabecera con los nombres de las columnas"});
        if (!header_ && !survey_.done) survey_.done = true;
    }

  private:
    void record() {
        if (header_) delim_ = detectDelimiter(pending_);
        CsvReader reader(pending_, delim_, pendingLine_);
        CsvRecord rec;
        std::string error;
        while (!dead_ && reader.next(rec, error)) {
            if (header_)
                header(rec, error);
            else
                body(rec, error);
            rec = {};
        }
        pending_.clear();
        state_ = Scan::FieldStart;
    }

    // Follows the quotes as CsvReader reads them, to know where a record
    // ends: a quote opens a field only at its start, and "" inside is one.
    void scan(std::string_view text) {
        const auto separator = [this](char c) {
            return header_ ? c == ',' || c == ';' || c == '\t' : c == delim_;
        };
        for (char c : text) switch (state_) {
                case Scan::FieldStart:
                    state_ = c == '"'       ? Scan::Quoted
                             : separator(c) ? Scan::FieldStart
                                            : Scan::Plain;
                    break;
                case Scan::Plain:
                    if (separator(c)) state_ = Scan::FieldStart;
                    break;
                case Scan::Quoted:
                    if (c == '"') state_ = Scan::QuoteSeen;
                    break;
                case Scan::QuoteSeen:
                    state_ = c == '"'       ? Scan::Quoted
                             : separator(c) ? Scan::FieldStart
                                            : Scan::Plain;
                    break;
            }
    }

    void header(const CsvRecord& rec, const std::string& error) {
        header_ = false;
        if (!error.empty()) {
            out_.addProblem({rec.line, "cabecera: " + error});
            dead_ = true;
            return;
        }
        std::array<bool, kColumnCount> seen{};
        std::vector<std::string> unknown;
        const std::size_t before = out_.problemCount;
        for (const Value& f : rec.fields) {
            Column col;
            col.header = std::string(trimmed(f.value_or("")));
            const std::string name = folded(col.header);
            col.own = ownColumn(name);
            if (col.own) {
                if (seen[*col.own])
                    out_.addProblem({rec.line, "columna repetida: " + quotedName(col.header)});
                seen[*col.own] = true;
            } else {
                allOwn_ = false;
                col.entry = lookUp(name, col.group);
                if (!col.entry) unknown.push_back(col.header);
                monthFirst_ = monthFirst_ || (col.entry && col.entry->monthFirst);
            }
            columns_.push_back(std::move(col));
        }
        // A column nobody knows is kept as a line of "Mas info" when the
        // header is another program's; beside our own columns only, it is a
        // mistake.
        const bool foreign =
            unknown.size() < columns_.size() - std::count(seen.begin(), seen.end(), true);
        if (!foreign || allOwn_)
            for (const std::string& u : unknown)
                out_.addProblem(
                    {rec.line, "columna desconocida: " + quotedName(u) + "; " + knownColumns()});
        if (out_.problemCount != before) {
            dead_ = true;
            return;
        }
        if (!survey_.done) {
            survey_.columns.assign(columns_.size(), {});
            return;
        }
        // Each date column's order, from the first reading.
        swap_.assign(columns_.size(), false);
        for (std::size_t i = 0; i < columns_.size() && i < survey_.columns.size(); ++i) {
            if (!dateColumn(columns_[i])) continue;
            const CsvSurvey::Votes& v = survey_.columns[i];
            if (v.dayFirst != v.monthFirst) {
                swap_[i] = v.monthFirst;
                continue;
            }
            swap_[i] = monthFirst_;
            if (v.either) out_.assumedOrder = monthFirst_ ? "mes/día" : "día/mes";
        }
    }

    void body(CsvRecord& rec, const std::string& error) {
        if (!survey_.done)
            for (std::size_t i = 0; i < columns_.size() && i < rec.fields.size(); ++i) {
                if (!dateColumn(columns_[i]) || !rec.fields[i]) continue;
                auto d = dayMonth(*rec.fields[i]);
                if (!d) continue;
                CsvSurvey::Votes& v = survey_.columns[i];
                v.dayFirst = v.dayFirst || (d->first > 12 && d->second <= 12);
                v.monthFirst = v.monthFirst || (d->second > 12 && d->first <= 12);
                v.either = v.either || (d->first <= 12 && d->second <= 12 && d->first != d->second);
            }
        if (!error.empty()) {
            out_.addProblem({rec.line, error});
            return;
        }
        if (rec.fields.size() != columns_.size()) {
            // Trailing empty fields some programs leave off are no fault.
            bool extraEmpty = rec.fields.size() > columns_.size();
            for (std::size_t i = columns_.size(); i < rec.fields.size(); ++i)
                extraEmpty = extraEmpty && (!rec.fields[i] || rec.fields[i]->empty());
            if (!extraEmpty && (allOwn_ || rec.fields.size() > columns_.size())) {
                out_.addProblem({rec.line, std::to_string(rec.fields.size()) +
                                               " campos, y la cabecera tiene " +
                                               std::to_string(columns_.size())});
                return;
            }
            rec.fields.resize(columns_.size());
        }
        Card k;
        std::string bad;
        for (std::size_t i = 0; i < columns_.size() && bad.empty(); ++i)
            if (rec.fields[i] && !validUtf8(*rec.fields[i]))
                bad = "texto que no está en UTF-8 en la columna " + quotedName(columns_[i].header);
        if (allOwn_) {
            for (std::size_t i = 0; i < columns_.size() && bad.empty(); ++i) {
                const Col c = *columns_[i].own;
                if (c == kCodigo) continue;
                Value& v = rec.fields[i];
                if (v && !v->empty() && v->front() == kTextMark) v = std::string(unmarkedCell(*v));
                if (c == kFecha && v && !v->empty()) {
                    auto iso = isoFromImported(*v);
                    if (!iso) bad = "fecha de nacimiento no válida: " + quotedName(*v);
                    v = std::move(iso);
                }
                k.exact[c] = std::move(v);
            }
            k.own.fill(true);
        } else if (bad.empty()) {
            // Each date column in day-first order, as the book reads dates.
            for (std::size_t i = 0; i < columns_.size() && i < swap_.size(); ++i)
                if (swap_[i] && rec.fields[i])
                    if (auto parts = dayMonth(*rec.fields[i]))
                        rec.fields[i] = std::to_string(parts->second) + "/" +
                                        std::to_string(parts->first) + parts->rest;
            k = cardFromRecord(columns_, rec.fields);
        }
        if (!bad.empty()) {
            out_.addProblem({rec.line, bad});
            return;
        }
        Contact c = toContact(k);
        cleanContact(c);
        out_.add({std::move(c), rec.line});
    }

    Reading& out_;
    CsvSurvey& survey_;
    bool header_ = true, dead_ = false, allOwn_ = true, monthFirst_ = false;
    char delim_ = ',';
    std::vector<Column> columns_;
    std::vector<bool> swap_;
    std::string pending_;
    long pendingLine_ = 0;
    enum class Scan { FieldStart, Plain, Quoted, QuoteSeen } state_ = Scan::FieldStart;
};

}  // namespace

std::unique_ptr<LineParser> csvParser(Reading& out, CsvSurvey& survey) {
    return std::make_unique<CsvParser>(out, survey);
}

void readCsvContacts(std::string_view text, Reading& out, const ProgressFn& progress) {
    readText(text, Format::Csv, out, nullptr, progress);
}

namespace {

// "+34 600 111 222", "+1 (555) 010-0199", "+12.5": what follows a "+" in a
// phone number or a plain number. After a "-" only a plain number ("-12,5").
bool numberAfterSign(std::string_view rest, bool phone) {
    bool digit = false;
    for (char c : rest) {
        if (c >= '0' && c <= '9')
            digit = true;
        else if (!(c == '.' || c == ',' ||
                   (phone && (c == ' ' || c == '(' || c == ')' || c == '-' || c == '/'))))
            return false;
    }
    return digit;
}

}  // namespace

bool runsAsFormula(std::string_view s) {
    if (s.empty()) return false;
    switch (s.front()) {
        case '=':
        case '@':
        case '\t':
        case '\r':
            return true;
        case '+':
        case '-':
            return s.size() > 1 && !numberAfterSign(s.substr(1), s.front() == '+');
        default:
            return false;
    }
}

std::string markedCell(std::string_view s) {
    if (runsAsFormula(s) || (!s.empty() && s.front() == kTextMark))
        return kTextMark + std::string(s);
    return std::string(s);
}

std::string_view unmarkedCell(std::string_view s) {
    if (s.size() < 2 || s.front() != kTextMark) return s;
    const std::string_view rest = s.substr(1);
    return runsAsFormula(rest) || rest.front() == kTextMark ? rest : s;
}

void appendCsvField(std::string& out, const Value& v) {
    if (!v) return;
    const std::string& s = *v;
    const bool quote = s.empty() || s.find_first_of(",;\t\"\r\n") != std::string::npos ||
                       s.front() == ' ' || s.back() == ' ';
    if (!quote) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

std::string csvHeader() {
    std::string out;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        if (c) out += ',';
        appendCsvField(out, std::string(schema::kColumns[c]));
    }
    out += "\r\n";
    return out;
}

std::string csvRecord(const Contact& c, bool* movedDate) {
    Contact row = c;
    Value& date = row[kFecha];
    if (date && !date->empty()) {
        if (auto iso = isoFromImported(*date)) {
            date = displayFromIso(*iso);
        } else {
            // Import would refuse it as a date: keep it readable in the note.
            const std::string line = "Fecha de nacimiento: " + *date;
            row[kMasInfo] =
                row[kMasInfo] && !row[kMasInfo]->empty() ? *row[kMasInfo] + "\n" + line : line;
            date.reset();
            if (movedDate) *movedDate = true;
        }
    }
    std::string out;
    for (std::size_t i = 0; i < kColumnCount; ++i) {
        if (i) out += ',';
        appendCsvField(out, row[i] ? Value(markedCell(*row[i])) : row[i]);
    }
    out += "\r\n";
    return out;
}

}  // namespace orv::exchange
