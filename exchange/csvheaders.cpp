// The header names other programs write, and where each sends its values.

#include "exchange/csvheaders.h"

#include <unordered_map>

#include "exchange/text.h"
#include "store/ascii.h"
#include "store/schema.h"

namespace orv::exchange::csvdict {

namespace {

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

// The entries, and the dictionary's lines whose slot word is unknown.
struct Dictionary {
    std::vector<Entry> entries;
    std::vector<std::string> problems;
};

const Dictionary& dictionary() {
    static const Dictionary all = [] {
        std::vector<std::string> problems;
        std::vector<Entry> out;
        std::string_view text = kDictionary;
        while (!text.empty()) {
            const std::size_t eol = text.find('\n');
            std::string_view line = text.substr(0, eol);
            const std::string_view whole = line;
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
            bool known = false;
            for (const auto& [word, slot] : kSlots)
                if (where == word) e.slot = slot, known = true;
            if (!known) problems.push_back(std::string(whole));
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
        return Dictionary{std::move(out), std::move(problems)};
    }();
    return all;
}

}  // namespace

const std::vector<Entry>& entries() {
    return dictionary().entries;
}

const std::vector<std::string>& dictionaryProblems() {
    return dictionary().problems;
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

}  // namespace orv::exchange::csvdict
