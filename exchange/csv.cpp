#include "exchange/csv.h"

#include <algorithm>
#include <array>

#include "exchange/text.h"
#include "store/ascii.h"
#include "store/dates.h"

namespace orv::exchange {

CsvReader::CsvReader(std::string_view text, char delimiter) : text_(text), delim_(delimiter) {}

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
    std::string_view name;  // folded; "#" stands for a number
    Slot slot;
    Kind kind = Kind::None;
    std::string_view label = {};  // Spanish; for fixed groups ("Home Phone")
    bool preferred = false;
    bool monthFirst = false;  // only Outlook in English writes this header
};

using S = Slot;
using K = Kind;

// Every header name known, folded (lower case, no accents). A group's key is
// its name up to " - " ("phone #", "address #") or its label.
constexpr Entry kEntries[] = {
    // Google Contacts, current and legacy, and names several programs share.
    {"first name", S::Given},
    {"given name", S::Given},
    {"middle name", S::Middle},
    {"additional name", S::Middle},
    {"last name", S::Family},
    {"family name", S::Family},
    {"name", S::Full},
    {"display name", S::Full},
    {"name prefix", S::Prefix},
    {"name suffix", S::Suffix},
    {"nickname", S::Nickname},
    {"nick", S::Nickname},
    {"organization name", S::Company},
    {"organization # - name", S::Company},
    {"organization title", S::Title},
    {"organization # - title", S::Title},
    {"organization department", S::Department},
    {"organization # - department", S::Department},
    {"organization # - type", S::Ignore},
    {"organization # - yomi name", S::Ignore},
    {"birthday", S::Birthday},
    {"notes", S::Notes},
    {"labels", S::Categories},
    {"group membership", S::Categories},
    {"photo", S::Ignore},
    {"file as", S::Ignore},
    {"phonetic first name", S::Ignore},
    {"phonetic middle name", S::Ignore},
    {"phonetic last name", S::Ignore},
    {"yomi name", S::Ignore},
    {"given name yomi", S::Ignore},
    {"additional name yomi", S::Ignore},
    {"family name yomi", S::Ignore},
    {"initials", S::Ignore},
    {"e-mail # - label", S::Label, K::Email},
    {"e-mail # - type", S::Label, K::Email},
    {"e-mail # - value", S::Value, K::Email},
    {"phone # - label", S::Label, K::Phone},
    {"phone # - type", S::Label, K::Phone},
    {"phone # - value", S::Value, K::Phone},
    {"website # - label", S::Label, K::Web},
    {"website # - type", S::Label, K::Web},
    {"website # - value", S::Value, K::Web},
    {"im # - label", S::Label, K::Im},
    {"im # - type", S::Label, K::Im},
    {"im # - service", S::Service, K::Im},
    {"im # - value", S::Value, K::Im},
    {"event # - label", S::Label, K::Event},
    {"event # - type", S::Label, K::Event},
    {"event # - value", S::Value, K::Event},
    {"relation # - label", S::Label, K::Relation},
    {"relation # - type", S::Label, K::Relation},
    {"relation # - value", S::Value, K::Relation},
    {"custom field # - label", S::Label, K::Custom},
    {"custom field # - type", S::Label, K::Custom},
    {"custom field # - value", S::Value, K::Custom},
    {"address # - label", S::Label, K::Address},
    {"address # - type", S::Label, K::Address},
    {"address # - formatted", S::Ignore},
    {"address # - street", S::Street, K::Address},
    {"address # - city", S::Town, K::Address},
    {"address # - po box", S::PoBox, K::Address},
    {"address # - region", S::Region, K::Address},
    {"address # - postal code", S::Postcode, K::Address},
    {"address # - country", S::Country, K::Address},
    {"address # - extended address", S::Extended, K::Address},
    // Outlook in English.
    {"title", S::Prefix},
    {"suffix", S::Suffix},
    {"company", S::Company},
    {"department", S::Department},
    {"job title", S::Title},
    {"business street", S::Street, K::Address, "trabajo", false, true},
    {"business street 2", S::Street2, K::Address, "trabajo"},
    {"business street 3", S::Street3, K::Address, "trabajo"},
    {"business city", S::Town, K::Address, "trabajo"},
    {"business state", S::Region, K::Address, "trabajo"},
    {"business postal code", S::Postcode, K::Address, "trabajo"},
    {"business country/region", S::Country, K::Address, "trabajo"},
    {"business address po box", S::PoBox, K::Address, "trabajo"},
    {"home street", S::Street, K::Address, "casa", false, true},
    {"home street 2", S::Street2, K::Address, "casa"},
    {"home street 3", S::Street3, K::Address, "casa"},
    {"home city", S::Town, K::Address, "casa"},
    {"home state", S::Region, K::Address, "casa"},
    {"home postal code", S::Postcode, K::Address, "casa"},
    {"home country/region", S::Country, K::Address, "casa"},
    {"home address po box", S::PoBox, K::Address, "casa"},
    {"other street", S::Street, K::Address, "otra", false, true},
    {"other street 2", S::Street2, K::Address, "otra"},
    {"other street 3", S::Street3, K::Address, "otra"},
    {"other city", S::Town, K::Address, "otra"},
    {"other state", S::Region, K::Address, "otra"},
    {"other postal code", S::Postcode, K::Address, "otra"},
    {"other country/region", S::Country, K::Address, "otra"},
    {"other address po box", S::PoBox, K::Address, "otra"},
    {"assistant's phone", S::Phone, K::Phone, "asistente"},
    {"business fax", S::Phone, K::Phone, "fax del trabajo"},
    {"business phone", S::Phone, K::Phone, "trabajo", false, true},
    {"business phone 2", S::Phone, K::Phone, "trabajo"},
    {"callback", S::Phone, K::Phone, "devolución de llamada"},
    {"car phone", S::Phone, K::Phone, "coche"},
    {"company main phone", S::Phone, K::Phone, "empresa"},
    {"home fax", S::Phone, K::Phone, "fax de casa"},
    {"home phone", S::Phone, K::Phone, "casa"},
    {"home phone 2", S::Phone, K::Phone, "casa"},
    {"isdn", S::Phone, K::Phone, "RDSI"},
    {"mobile phone", S::Phone, K::Phone, "móvil", false, true},
    {"other fax", S::Phone, K::Phone, "otro fax"},
    {"other phone", S::Phone, K::Phone, "otro"},
    {"pager", S::Phone, K::Phone, "buscapersonas"},
    {"primary phone", S::Phone, K::Phone, "principal", true, true},
    {"radio phone", S::Phone, K::Phone, "radio"},
    {"tty/tdd phone", S::Phone, K::Phone, "TTY/TDD"},
    {"telex", S::Phone, K::Phone, "télex"},
    {"anniversary", S::Anniversary},
    {"categories", S::Categories},
    {"e-mail address", S::Email, K::Email, "", false, true},
    {"e-mail # address", S::Email, K::Email},
    {"e-mail type", S::Ignore},
    {"e-mail # type", S::Ignore},
    {"e-mail display name", S::Ignore},
    {"e-mail # display name", S::Ignore},
    {"web page", S::Web},
    // Outlook in Spanish.
    {"tratamiento", S::Prefix},
    {"nombre", S::Given},
    {"segundo nombre", S::Middle},
    {"apellidos", S::Family},
    {"sufijo", S::Suffix},
    {"organizacion", S::Company},
    {"compania", S::Company},
    {"departamento", S::Department},
    {"puesto", S::Title},
    {"calle del trabajo", S::Street, K::Address, "trabajo"},
    {"calle del trabajo 2", S::Street2, K::Address, "trabajo"},
    {"calle del trabajo 3", S::Street3, K::Address, "trabajo"},
    {"ciudad de trabajo", S::Town, K::Address, "trabajo"},
    {"provincia o estado de trabajo", S::Region, K::Address, "trabajo"},
    {"codigo postal del trabajo", S::Postcode, K::Address, "trabajo"},
    {"pais o region del trabajo", S::Country, K::Address, "trabajo"},
    {"apartado postal del trabajo", S::PoBox, K::Address, "trabajo"},
    {"calle del domicilio", S::Street, K::Address, "casa"},
    {"calle del domicilio 2", S::Street2, K::Address, "casa"},
    {"calle del domicilio 3", S::Street3, K::Address, "casa"},
    {"ciudad de residencia", S::Town, K::Address, "casa"},
    {"provincia o estado de residencia", S::Region, K::Address, "casa"},
    {"codigo postal de residencia", S::Postcode, K::Address, "casa"},
    {"pais o region de residencia", S::Country, K::Address, "casa"},
    {"apartado postal de residencia", S::PoBox, K::Address, "casa"},
    {"otra calle", S::Street, K::Address, "otra"},
    {"otra calle 2", S::Street2, K::Address, "otra"},
    {"otra calle 3", S::Street3, K::Address, "otra"},
    {"otra ciudad", S::Town, K::Address, "otra"},
    {"otra provincia o estado", S::Region, K::Address, "otra"},
    {"otro codigo postal", S::Postcode, K::Address, "otra"},
    {"otro pais o region", S::Country, K::Address, "otra"},
    {"otro apartado postal", S::PoBox, K::Address, "otra"},
    {"telefono del ayudante", S::Phone, K::Phone, "asistente"},
    {"telefono del asistente", S::Phone, K::Phone, "asistente"},
    {"fax del trabajo", S::Phone, K::Phone, "fax del trabajo"},
    {"telefono del trabajo", S::Phone, K::Phone, "trabajo"},
    {"telefono del trabajo 2", S::Phone, K::Phone, "trabajo"},
    {"devolucion de llamada", S::Phone, K::Phone, "devolución de llamada"},
    {"telefono del automovil", S::Phone, K::Phone, "coche"},
    {"numero de centralita de la organizacion", S::Phone, K::Phone, "empresa"},
    {"telefono de la organizacion", S::Phone, K::Phone, "empresa"},
    {"fax particular", S::Phone, K::Phone, "fax de casa"},
    {"particular", S::Phone, K::Phone, "casa"},
    {"particular 2", S::Phone, K::Phone, "casa"},
    {"rdsi", S::Phone, K::Phone, "RDSI"},
    {"telefono movil", S::Phone, K::Phone, "móvil"},
    {"movil", S::Phone, K::Phone, "móvil"},
    {"otro fax", S::Phone, K::Phone, "otro fax"},
    {"otro telefono", S::Phone, K::Phone, "otro"},
    {"localizador", S::Phone, K::Phone, "buscapersonas"},
    {"telefono principal", S::Phone, K::Phone, "principal", true},
    {"radiotelefono", S::Phone, K::Phone, "radio"},
    {"telefono tty/tdd", S::Phone, K::Phone, "TTY/TDD"},
    {"telex", S::Phone, K::Phone, "télex"},
    {"aniversario", S::Anniversary},
    {"cumpleanos", S::Birthday},
    {"categorias", S::Categories},
    {"direccion de correo electronico", S::Email, K::Email},
    {"direccion de correo electronico #", S::Email, K::Email},
    {"tipo de correo electronico", S::Ignore},
    {"tipo de correo electronico #", S::Ignore},
    {"nombre para mostrar del correo electronico", S::Ignore},
    {"nombre para mostrar del correo electronico #", S::Ignore},
    {"notas", S::Notes},
    {"pagina web", S::Web},
    // Thunderbird.
    {"primary email", S::Email, K::Email, "", true},
    {"secondary email", S::Email, K::Email},
    {"screen name", S::Im},
    {"work phone", S::Phone, K::Phone, "trabajo"},
    {"fax number", S::Phone, K::Phone, "fax"},
    {"pager number", S::Phone, K::Phone, "buscapersonas"},
    {"mobile number", S::Phone, K::Phone, "móvil"},
    {"home address", S::Street, K::Address, "casa"},
    {"home address 2", S::Street2, K::Address, "casa"},
    {"home zipcode", S::Postcode, K::Address, "casa"},
    {"home country", S::Country, K::Address, "casa"},
    {"work address", S::Street, K::Address, "trabajo"},
    {"work address 2", S::Street2, K::Address, "trabajo"},
    {"work city", S::Town, K::Address, "trabajo"},
    {"work state", S::Region, K::Address, "trabajo"},
    {"work zipcode", S::Postcode, K::Address, "trabajo"},
    {"work country", S::Country, K::Address, "trabajo"},
    {"organization", S::Company},
    {"web page #", S::Web},
    {"birth year", S::BirthYear},
    {"birth month", S::BirthMonth},
    {"birth day", S::BirthDay},
    // abook ("allcsv").
    {"email", S::Email, K::Email},
    {"address", S::Street, K::Address, "casa"},
    {"address2", S::Street2, K::Address, "casa"},
    {"city", S::Town, K::Address, "casa"},
    {"state", S::Region, K::Address, "casa"},
    {"zip", S::Postcode, K::Address, "casa"},
    {"country", S::Country, K::Address, "casa"},
    {"phone", S::Phone, K::Phone, "casa"},
    {"workphone", S::Phone, K::Phone, "trabajo"},
    {"fax", S::Phone, K::Phone, "fax"},
    {"mobilephone", S::Phone, K::Phone, "móvil"},
    {"mobile", S::Phone, K::Phone, "móvil"},
    {"url", S::Web},
    {"groups", S::Categories},
};

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

const Entry* lookUp(const std::string& name, std::string& group) {
    for (const Entry& e : kEntries)
        if (e.name == name) {
            group = e.label.empty() ? std::string(e.name) : std::string(e.label);
            return &e;
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
    for (const Entry& e : kEntries)
        if (e.name == pattern) {
            // The group is the name up to " - ": "phone 1 - value" -> "phone 1".
            group = name.substr(0, name.find(" - "));
            if (!e.label.empty()) group = e.label;
            return &e;
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

template <typename T>
T& groupOf(std::vector<std::pair<std::string, T>>& groups, const std::string& key) {
    for (auto& [k, v] : groups)
        if (k == key) return v;
    return groups.emplace_back(key, T{}).second;
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

std::string padded(std::string_view digits, std::size_t width) {
    std::string out(trimmed(digits));
    while (out.size() < width) out.insert(out.begin(), '0');
    return out;
}

// One record of a header that is not all ours.
Card cardFromRecord(const std::vector<Column>& columns, std::vector<Value>& fields) {
    Card k;
    std::vector<std::pair<std::string, Group>> groups[9];  // by Kind
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
                    groupOf(groups[int(K::Address)], "").address.street = v;
                    break;
                case kLocalidad:
                    groupOf(groups[int(K::Address)], "").address.town = v;
                    break;
                case kTelefono:
                    groupOf(groups[int(K::Phone)], "").values.push_back(v);
                    break;
                case kEmail:
                    groupOf(groups[int(K::Email)], "").values.push_back(v);
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
            Group& g = groupOf(groups[int(e.kind)], col.group);
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
                k.others.emplace_back(col.header, v);
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

void readCsvContacts(std::string_view text, Reading& out, const ProgressFn& progress) {
    text = withoutBom(text);
    CsvReader reader(text, detectDelimiter(text));
    CsvRecord rec;
    std::string error;
    if (!reader.next(rec, error)) {
        out.problems.push_back(
            {1, "el archivo está vacío: falta la cabecera con los nombres de las columnas"});
        return;
    }
    if (!error.empty()) {
        out.problems.push_back({rec.line, "cabecera: " + error});
        return;
    }

    std::vector<Column> columns;
    std::array<bool, kColumnCount> seen{};
    bool allOwn = true, monthFirst = false;
    std::vector<std::string> unknown;
    for (const Value& f : rec.fields) {
        Column col;
        col.header = std::string(trimmed(f.value_or("")));
        const std::string name = folded(col.header);
        col.own = ownColumn(name);
        if (col.own) {
            if (seen[*col.own])
                out.problems.push_back({rec.line, "columna repetida: " + quotedName(col.header)});
            seen[*col.own] = true;
        } else {
            allOwn = false;
            col.entry = lookUp(name, col.group);
            if (!col.entry) unknown.push_back(col.header);
            monthFirst = monthFirst || (col.entry && col.entry->monthFirst);
        }
        columns.push_back(std::move(col));
    }
    // A column nobody knows is kept as a line of "Mas info" when the header
    // is another program's; beside our own columns only, it is a mistake.
    const bool foreign =
        unknown.size() < columns.size() - std::count(seen.begin(), seen.end(), true);
    if (!foreign || allOwn)
        for (const std::string& u : unknown)
            out.problems.push_back(
                {rec.line, "columna desconocida: " + quotedName(u) + "; " + knownColumns()});
    if (!out.problems.empty()) return;

    std::size_t records = 0;
    while (reader.next(rec, error)) {
        if (progress && ++records % 512 == 0) progress(reader.offset());
        if (!error.empty()) {
            out.problems.push_back({rec.line, error});
            continue;
        }
        if (rec.fields.size() != columns.size()) {
            // Trailing empty fields some programs leave off are no fault.
            bool extraEmpty = rec.fields.size() > columns.size();
            for (std::size_t i = columns.size(); i < rec.fields.size(); ++i)
                extraEmpty = extraEmpty && (!rec.fields[i] || rec.fields[i]->empty());
            if (!extraEmpty && (allOwn || rec.fields.size() > columns.size())) {
                out.problems.push_back({rec.line, std::to_string(rec.fields.size()) +
                                                      " campos, y la cabecera tiene " +
                                                      std::to_string(columns.size())});
                continue;
            }
            rec.fields.resize(columns.size());
        }
        Card k;
        std::string bad;
        for (std::size_t i = 0; i < columns.size() && bad.empty(); ++i)
            if (rec.fields[i] && !validUtf8(*rec.fields[i]))
                bad = "texto que no está en UTF-8 en la columna " + quotedName(columns[i].header);
        if (allOwn) {
            for (std::size_t i = 0; i < columns.size() && bad.empty(); ++i) {
                const Col c = *columns[i].own;
                if (c == kCodigo) continue;
                Value& v = rec.fields[i];
                if (c == kFecha && v && !v->empty()) {
                    auto iso = isoFromImported(*v);
                    if (!iso) bad = "fecha de nacimiento no válida: " + quotedName(*v);
                    v = std::move(iso);
                }
                k.exact[c] = std::move(v);
            }
            k.own.fill(true);
        } else if (bad.empty()) {
            k = cardFromRecord(columns, rec.fields);
            k.monthFirst = monthFirst;
        }
        if (!bad.empty()) {
            out.problems.push_back({rec.line, bad});
            continue;
        }
        Contact c = toContact(k);
        cleanContact(c);
        out.contacts.push_back({std::move(c), rec.line});
    }
    if (progress) progress(text.size());
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
        appendCsvField(out, row[i]);
    }
    out += "\r\n";
    return out;
}

}  // namespace orv::exchange
