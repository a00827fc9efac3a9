#include "exchange/vcard.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "exchange/import.h"
#include "exchange/parsers.h"
#include "exchange/text.h"
#include "exchange/vcardline.h"
#include "store/ascii.h"
#include "store/dates.h"

namespace orv::exchange {

namespace {

static constexpr std::string_view kRead[] = {"N",
                                             "FN",
                                             "NICKNAME",
                                             "ORG",
                                             "TITLE",
                                             "ROLE",
                                             "ADR",
                                             "TEL",
                                             "EMAIL",
                                             "X-ICQ",
                                             "IMPP",
                                             "URL",
                                             "BDAY",
                                             "NOTE",
                                             "CATEGORIES",
                                             "ANNIVERSARY",
                                             "X-ANNIVERSARY",
                                             "X-MS-ANNIVERSARY",
                                             "X-EVOLUTION-ANNIVERSARY",
                                             "KIND",
                                             "X-ADDRESSBOOKSERVER-KIND",
                                             "PRODID",
                                             "X-JABBER",
                                             "X-AIM",
                                             "X-MSN",
                                             "X-YAHOO",
                                             "X-SKYPE",
                                             "X-SKYPE-USERNAME",
                                             "X-GTALK",
                                             "X-GADUGADU",
                                             "X-GROUPWISE",
                                             "X-ORVANE-NULL",
                                             "X-ABLABEL",
                                             "X-SOCIALPROFILE",
                                             "X-ANDROID-CUSTOM",
                                             "RELATED",
                                             "X-ABRELATEDNAMES"};

}  // namespace

bool mappedProperty(std::string_view name) {
    for (auto n : kRead)
        if (name == n) return true;
    return false;
}

namespace {

// The TYPE words of a property, from TYPE=a,b, repeated TYPE parameters and
// 2.1's bare words, upper case.
std::vector<std::string> types(const Property& p) {
    std::vector<std::string> out;
    for (const Param& param : p.params) {
        if (!param.name.empty() && param.name != "TYPE") continue;
        for (auto t : splitUnescaped(param.value, ',')) out.push_back(upper(trimmed(t)));
    }
    return out;
}

bool preferred(const Property& p) {
    if (p.param("PREF")) return true;
    for (const std::string& t : types(p))
        if (t == "PREF") return true;
    return false;
}

// The Spanish label for a property's types ("trabajo", "móvil, trabajo").
std::string label(const Property& p) {
    static const std::pair<std::string_view, std::string_view> kWords[] = {
        {"HOME", "casa"},           {"WORK", "trabajo"},    {"CELL", "móvil"},
        {"MOBILE", "móvil"},        {"IPHONE", "móvil"},    {"FAX", "fax"},
        {"PAGER", "buscapersonas"}, {"CAR", "coche"},       {"ISDN", "RDSI"},
        {"VIDEO", "vídeo"},         {"MAIN", "principal"},  {"OTHER", "otro"},
        {"TEXT", "texto"},          {"TEXTPHONE", "texto"}, {"SCHOOL", "estudios"}};
    std::string out;
    for (const std::string& t : types(p))
        for (const auto& [word, spanish] : kWords)
            if (t == word && out.find(spanish) == std::string::npos)
                out += (out.empty() ? "" : ", ") + std::string(spanish);
    return out;
}

// A structured value's components, each a list joined with `sep` (a blank
// for a name: "Domínguez,Ortiz" is two surnames).
std::vector<std::string> components(std::string_view text, std::size_t atLeast,
                                    std::string_view sep = ", ") {
    std::vector<std::string> out;
    for (auto part : splitUnescaped(text, ';')) {
        std::string joined;
        for (auto item : splitUnescaped(part, ',')) {
            std::string v = unescapeText(item);
            if (v.empty()) continue;
            if (!joined.empty()) joined += sep;
            joined += v;
        }
        out.push_back(std::move(joined));
    }
    if (out.size() < atLeast) out.resize(atLeast);
    return out;
}

// An address's components, each exactly as written: a comma inside one
// ("Castellana 200, 5ºA", escaped or not) is part of the text, not a list.
std::vector<std::string> addressParts(std::string_view text) {
    std::vector<std::string> out;
    for (auto part : splitUnescaped(text, ';')) out.push_back(unescapeText(part));
    if (out.size() < 7) out.resize(7);
    return out;
}

// An iPhone's label for a grouped property ("_$!<Mobile>!$_" or its own
// words) in Spanish.
std::string appleLabel(std::string_view text) {
    std::string_view t = trimmed(text);
    if (t.starts_with("_$!<") && t.ends_with(">!$_")) t = t.substr(4, t.size() - 8);
    static const std::pair<std::string_view, std::string_view> kWords[] = {
        {"Mobile", "móvil"},
        {"Home", "casa"},
        {"Work", "trabajo"},
        {"Other", "otro"},
        {"Main", "principal"},
        {"HomePage", "web"},
        {"HomeFAX", "fax"},
        {"WorkFAX", "fax"},
        {"Pager", "buscapersonas"},
        {"Brother", "hermano"},
        {"Sister", "hermana"},
        {"Mother", "madre"},
        {"Father", "padre"},
        {"Parent", "padre o madre"},
        {"Child", "hijo"},
        {"Friend", "amigo"},
        {"Spouse", "cónyuge"},
        {"Partner", "pareja"},
        {"Assistant", "asistente"},
        {"Manager", "jefe"},
        {"Anniversary", "aniversario"}};
    for (const auto& [word, spanish] : kWords)
        if (ascii::iequals(t, word)) return std::string(spanish);
    return std::string(t);
}

// A relation's kind in Spanish, from RELATED's TYPE or Android's type number.
std::string relationWord(std::string_view kind) {
    static const std::pair<std::string_view, std::string_view> kWords[] = {
        {"1", "asistente"},
        {"2", "hermano"},
        {"3", "hijo"},
        {"4", "pareja de hecho"},
        {"5", "padre"},
        {"6", "amigo"},
        {"7", "jefe"},
        {"8", "madre"},
        {"9", "padre o madre"},
        {"10", "pareja"},
        {"11", "recomendado por"},
        {"12", "familiar"},
        {"13", "hermana"},
        {"14", "cónyuge"},
        {"FRIEND", "amigo"},
        {"CO-WORKER", "compañero de trabajo"},
        {"COLLEAGUE", "colega"},
        {"NEIGHBOR", "vecino"},
        {"CHILD", "hijo"},
        {"PARENT", "padre o madre"},
        {"SIBLING", "hermano"},
        {"SPOUSE", "cónyuge"},
        {"KIN", "familiar"},
        {"SWEETHEART", "pareja"},
        {"EMERGENCY", "emergencias"},
        {"ACQUAINTANCE", "conocido"},
        {"CONTACT", "contacto"},
        {"AGENT", "agente"}};
    for (const auto& [word, spanish] : kWords)
        if (ascii::iequals(kind, word)) return std::string(spanish);
    return std::string(kind);
}

std::string withoutScheme(std::string v, std::string_view scheme) {
    if (v.size() >= scheme.size() &&
        ascii::iequals(std::string_view(v).substr(0, scheme.size()), scheme))
        v.erase(0, scheme.size());
    return v;
}

// One card's properties, decoded and mapped onto a Card.
class CardReader {
  public:
    explicit CardReader(std::string version) : version_(std::move(version)) {}

    // Text of a property value: transfer encoding and character set undone,
    // escapes kept. nullopt sets error_.
    std::optional<std::string> decoded(const Property& p) {
        std::string bytes;
        auto encoding = p.param("ENCODING");
        if (p.quotedPrintable()) {
            bytes = decodeQuotedPrintable(p.raw);
        } else if ((encoding &&
                    (ascii::iequals(*encoding, "BASE64") || ascii::iequals(*encoding, "B"))) ||
                   p.bare("BASE64")) {
            auto b = decodeBase64(p.raw);
            if (!b) return fail(p, "BASE64 mal formado");
            bytes = std::move(*b);
        } else {
            bytes = std::string(p.raw);
        }
        if (auto charset = p.param("CHARSET")) {
            auto text = toUtf8(bytes, *charset);
            if (!text) {
                bool known = toUtf8("", *charset).has_value();
                return fail(p, known ? "texto no válido en " + *charset
                                     : "juego de caracteres desconocido: " + *charset);
            }
            return text;
        }
        if (validUtf8(bytes)) return bytes;
        // 2.1 without CHARSET was written in the writer's own 8-bit set;
        // windows-1252 is what those files nearly always hold.
        if (version_ == "2.1") return fromWindows1252(bytes);
        return fail(p, "texto que no está en UTF-8");
    }

    bool add(const Property& p) {
        if (!mappedProperty(p.name)) {
            // Kept with the contact as read (see kept()), and named in the report.
            if (p.name != "VERSION") aside_.push_back(p.name);
            return true;
        }
        auto text = decoded(p);
        if (!text) return false;
        props_.push_back({p, std::move(*text)});
        return true;
    }

    bool group() const {
        for (const auto& [p, text] : props_)
            if ((p.name == "KIND" || p.name == "X-ADDRESSBOOKSERVER-KIND") &&
                ascii::iequals(trimmed(text), "group"))
                return true;
        return false;
    }

    Card finish() {
        Card k;
        for (const auto& [p, text] : props_) {
            if (p.name == "PRODID" && unescapeText(text) == kProdId) own_ = true;
            if (p.name == "X-ABLABEL" && !p.group.empty())
                groupLabels_.emplace(p.group, appleLabel(unescapeText(text)));
        }
        for (const auto& [p, text] : props_) take(k, p, text);
        if (own_) ownColumns(k);
        k.aside = aside_;
        return k;
    }

    // Whether the card must be kept with the contact: anything but one of
    // our own cards holding only what the columns hold.
    bool keep() const {
        if (!own_ || !aside_.empty()) return true;
        static constexpr std::string_view kOwn[] = {
            "PRODID", "UID",   "N",    "FN",   "ADR",          "TEL",
            "EMAIL",  "X-ICQ", "BDAY", "NOTE", "X-ORVANE-NULL"};
        std::vector<std::string_view> seen;
        for (const auto& [p, text] : props_) {
            if (std::find(std::begin(kOwn), std::end(kOwn), p.name) == std::end(kOwn)) return true;
            if (std::find(seen.begin(), seen.end(), p.name) != seen.end()) return true;
            seen.push_back(p.name);
        }
        return false;
    }

    const std::string& error() const { return error_; }

  private:
    std::nullopt_t fail(const Property& p, const std::string& reason) {
        error_ = p.name + " (línea " + std::to_string(p.line) + "): " + reason;
        return std::nullopt;
    }

    // The property's Spanish label: its types, else its group's X-ABLabel.
    std::string labelOf(const Property& p) const {
        std::string l = label(p);
        if (l.empty() && !p.group.empty())
            if (auto at = groupLabels_.find(p.group); at != groupLabels_.end()) return at->second;
        return l;
    }

    void other(Card& k, std::string label, std::string value, const std::string& prop) {
        if (trimmed(value).empty()) return;
        k.others.emplace_back(std::move(label), std::move(value));
        k.othersFrom.resize(k.others.size() - 1);
        k.othersFrom.push_back(prop);
    }

    void take(Card& k, const Property& p, const std::string& text) {
        const std::string& n = p.name;
        // Our own cards have one of each; the order they were written in decides.
        const bool pref = !own_ && preferred(p);
        std::string v = unescapeText(text);
        if (n == "X-ABLABEL") return;  // read by finish()
        if (n == "N" || n == "FN") {
            if (fates_) ++(*fates_)[n].field;
        } else if (n == "NOTE") {
            if (fates_) ++(*fates_)[n].info;
        }
        if (n == "X-SOCIALPROFILE") {
            std::string kind = p.param("TYPE").value_or("");
            if (v.empty()) v = p.param("X-USER").value_or("");
            other(k, kind.empty() ? "Perfil social" : "Perfil social (" + kind + ")", v, n);
            return;
        }
        if (n == "RELATED" || n == "X-ABRELATEDNAMES") {
            std::string kind =
                n == "RELATED" ? relationWord(p.param("TYPE").value_or("")) : labelOf(p);
            other(k, kind.empty() ? "Relación" : "Relación (" + kind + ")",
                  withoutScheme(std::move(v), "urn:uuid:"), n);
            return;
        }
        if (n == "X-ANDROID-CUSTOM") {
            // Servers that take it for text escape its semicolons: read it either way.
            auto c = splitUnescaped(text.find("\\;") == std::string::npos ? text : v, ';');
            c.resize(std::max<std::size_t>(c.size(), 4));
            const std::string_view mime = trimmed(c[0]);
            const std::string value = unescapeText(c[1]), type(trimmed(c[2]));
            if (mime.ends_with("/relation")) {
                std::string kind = type == "0" ? unescapeText(c[3]) : relationWord(type);
                other(k, kind.empty() ? "Relación" : "Relación (" + kind + ")", value, n);
            } else if (mime.ends_with("/nickname")) {
                other(k, "Apodo", value, n);
            } else if (mime.ends_with("/contact_event")) {
                const std::string kind = type == "1"   ? "Aniversario"
                                         : type == "3" ? "Fecha de nacimiento"
                                         : type == "0" ? unescapeText(c[3])
                                                       : "Fecha";
                other(k, kind.empty() ? "Fecha" : kind, value, n);
            } else {
                aside_.push_back(n);
            }
            return;
        }
        if (n == "N") {
            if (n_) return;
            n_ = text;
            auto c = components(text, 5, " ");
            k.family = c[0], k.given = c[1], k.middle = c[2], k.prefix = c[3], k.suffix = c[4];
        } else if (n == "FN") {
            if (k.fullName.empty()) k.fullName = v;
        } else if (n == "NICKNAME") {
            for (auto item : splitUnescaped(text, ','))
                if (auto s = unescapeText(item); !trimmed(s).empty())
                    k.nickname += (k.nickname.empty() ? "" : ", ") + s;
        } else if (n == "ORG") {
            auto c = components(text, 1);
            if (k.company.empty()) k.company = c[0];
            for (std::size_t i = 1; i < c.size(); ++i)
                if (!c[i].empty()) k.department += (k.department.empty() ? "" : ", ") + c[i];
        } else if (n == "TITLE") {
            if (k.title.empty()) k.title = v;
        } else if (n == "ROLE") {
            if (k.role.empty()) k.role = v;
        } else if (n == "ADR") {
            auto c = addressParts(text);
            // Our own cards put the street alone, and never join lists.
            if (own_) adrs_.push_back(text);
            k.addresses.push_back({c[2], c[1], c[0], c[3], c[4], c[5], c[6], labelOf(p), pref, n});
        } else if (n == "TEL") {
            // 4.0 (and a 3.0 with VALUE=uri) may write the number as a tel: URI.
            auto type = p.param("VALUE");
            if (version_ == "4.0" || (type && ascii::iequals(*type, "uri")))
                v = withoutScheme(std::move(v), "tel:");
            if (own_ || !trimmed(v).empty()) k.phones.push_back({v, labelOf(p), pref, n});
        } else if (n == "EMAIL") {
            if (own_ || !trimmed(v).empty()) k.emails.push_back({v, labelOf(p), pref, n});
        } else if (n == "X-ICQ") {
            if (own_ || !trimmed(v).empty()) k.icqs.push_back({v, "", pref, n});
        } else if (n == "X-ORVANE-NULL") {
            for (auto name : splitUnescaped(text, ','))
                for (std::size_t col = kNombre; col < kColumnCount; ++col)
                    if (trimmed(name) == schema::kColumns[col]) nulls_.push_back(col);
        } else if (n.find("ANNIVERSARY") != std::string::npos) {
            if (!trimmed(v).empty()) k.dates.push_back({v, "Aniversario", false, n});
        } else if (n.find("KIND") != std::string::npos) {
            // Read by group().
        } else if (n == "IMPP" || n.rfind("X-", 0) == 0) {
            if (!trimmed(v).empty()) takeIm(k, p, std::move(v), pref);
        } else if (n == "URL") {
            if (!trimmed(v).empty()) k.webs.push_back({v, labelOf(p), pref, n});
        } else if (n == "BDAY") {
            takeBirthday(k, p, v);
        } else if (n == "NOTE") {
            if (own_ && note_)
                note_->append("\n").append(v);
            else if (own_)
                note_ = std::move(v);
            else
                k.notes.push_back(v);
        } else if (n == "CATEGORIES") {
            for (auto item : splitUnescaped(text, ',')) k.categories.push_back(unescapeText(item));
        }
    }

    void takeIm(Card& k, const Property& p, std::string v, bool pref) {
        std::string service;
        if (p.name == "IMPP") {
            auto type = p.param("X-SERVICE-TYPE");
            std::size_t colon = v.find(':');
            std::string scheme = colon == std::string::npos ? "" : upper(v.substr(0, colon));
            service = type ? upper(*type) : scheme;
            if (service == "ICQ" || scheme == "ICQ") {
                if (colon != std::string::npos) v.erase(0, colon + 1);
                k.icqs.push_back({v, "", pref, p.name});
                return;
            }
        } else {
            service = p.name.substr(2);
            if (std::size_t dash = service.find('-'); dash != std::string::npos)
                service.erase(dash);
        }
        std::string lower;
        for (char c : service) lower += ascii::lower(c);
        k.ims.push_back({v, lower, pref, p.name});
    }

    void takeBirthday(Card& k, const Property& p, std::string v) {
        // iPhone writes a year-less birthday in the year it names.
        if (auto omit = p.param("X-APPLE-OMIT-YEAR");
            omit && !omit->empty() && v.rfind(*omit, 0) == 0)
            v = "--" + v.substr(omit->size() + (v.size() > omit->size() && v[omit->size()] == '-'));
        auto type = p.param("VALUE");
        // A text birthday ("hacia 1900") is never read as a date.
        if (type && ascii::iequals(*type, "text") && birthIso(v)) v = "(" + v + ")";
        if (own_ && !birth_) birth_ = v;
        if (!trimmed(v).empty()) k.birthdays.push_back(std::move(v));
    }

    // The columns as our own writer put them, empty values and nulls kept.
    void ownColumns(Card& k) {
        Contact& c = k.exact;
        if (n_) {
            auto parts = splitUnescaped(*n_, ';');
            c[kApellido] = unescapeText(parts[0]);
            c[kNombre] = parts.size() > 1 ? unescapeText(parts[1]) : std::string();
        }
        if (!adrs_.empty()) {
            auto parts = splitUnescaped(adrs_.front(), ';');
            parts.resize(std::max<std::size_t>(parts.size(), 5));
            const std::string town = unescapeText(parts[3]), region = unescapeText(parts[4]);
            c[kDomicilio] = unescapeText(parts[2]);
            c[kLocalidad] = town.empty() ? region : region.empty() ? town : town + "/" + region;
            // What another program added to our address still reaches the book.
            const Address& a = k.addresses.front();
            other(k, "Apartado", a.poBox, "ADR");
            other(k, "Dirección (más)", a.extended, "ADR");
            other(k, "Código postal", a.postcode, "ADR");
            other(k, "País", a.country, "ADR");
            k.addresses.erase(k.addresses.begin());
        }
        const auto first = [](std::vector<Labelled>& items, Value& into) {
            if (items.empty()) return;
            into = items.front().value;
            items.erase(items.begin());
        };
        first(k.phones, c[kTelefono]);
        first(k.emails, c[kEmail]);
        first(k.icqs, c[kIcq]);
        if (birth_) {
            c[kFecha] = birthIso(*birth_).value_or(*birth_);
            if (!k.birthdays.empty()) k.birthdays.erase(k.birthdays.begin());
        }
        c[kMasInfo] = note_;
        for (std::size_t col = kNombre; col < kColumnCount; ++col) k.own[col] = true;
        // Only an empty value can stand for a null: if another program has
        // since filled the field in, its text wins.
        for (std::size_t col : nulls_)
            if (c[col] && c[col]->empty()) c[col] = std::nullopt;
        // What is left goes through the ordinary mapping; the name is ours.
        k.given = k.middle = k.family = k.fullName = k.prefix = k.suffix = {};
    }

    std::string version_;
    std::string error_;
    std::vector<std::pair<Property, std::string>> props_;
    bool own_ = false;
    std::optional<std::string> n_, note_, birth_;
    std::vector<std::string> adrs_;
    std::vector<std::size_t> nulls_;
    std::vector<std::string> aside_;
    std::unordered_map<std::string, std::string> groupLabels_;  // the first label of each group

  public:
    Fates* fates_ = nullptr;
};

// BEGIN and END stand at the start of a line: an indented one is the
// continuation of a folded value that happens to read the same.
bool isLine(std::string_view line, std::string_view what) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return ascii::iequals(line, what);
}

using Body = std::vector<std::pair<std::string_view, long>>;

// Reads one card's body; fills `card` or returns the reason it cannot be read.
std::string readCard(const Body& body, CardResult& result) {
    std::string version = "3.0";
    for (const auto& [t, n] : body)
        if (t.size() > 8 && ascii::iequals(t.substr(0, 8), "VERSION:")) {
            version = std::string(trimmed(t.substr(8)));
            break;
        }
    CardReader card(version);
    card.fates_ = &result.fates;
    std::vector<LogicalLine> lines = unfold(body, version == "2.1");
    for (const LogicalLine& l : lines) {
        auto p = parseProperty(l.text, l.line);
        if (!p) return "línea " + std::to_string(l.line) + ": falta \":\"";
        if (!card.add(*p)) return card.error();
    }
    if (card.group()) {
        result.group = true;
        return {};
    }
    Contact c = toContact(card.finish(), &result.extra, &result.fates);
    if (card.keep())
        for (LogicalLine& l : lines) {
            // A photo's line grew by doubling: kept, it takes only its size.
            if (l.text.capacity() > 4096) l.text.shrink_to_fit();
            result.kept.push_back(std::move(l.text));
        }
    cleanContact(c);
    result.extra = cleanText(result.extra);
    result.contact = std::move(c);
    return {};
}

// Cards as their lines come: a card's lines are kept until its END, and
// only that card's.
class VCardParser : public LineParser {
  public:
    VCardParser(Reading& out, CardResult* first) : out_(out), first_(first) {}

    void line(const LineReader::Line& l) override {
        std::string_view text = l.text;
        // Lines end in LF, CR LF, or the CR CR LF some phones write.
        while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (state_ == State::Outside) {
            if (l.tooLong) {
                out_.addProblem({l.number, lineTooLong(l.number)});
                return;
            }
            if (trimmed(text).empty()) return;
            if (!isLine(text, "BEGIN:VCARD")) {
                if (!strayReported_)
                    out_.addProblem(
                        {l.number, "texto fuera de una tarjeta (se esperaba BEGIN:VCARD)"});
                strayReported_ = true;
                return;
            }
            strayReported_ = false;
            state_ = State::Inside;
            begin_ = l.number;
            depth_ = 1;
            text_.clear();
            lines_.clear();
            return;
        }
        if (l.tooLong && state_ == State::Inside) skip(lineTooLong(l.number));
        // A nested card (a 2.1 AGENT) belongs to a property we ignore.
        if (isLine(text, "BEGIN:VCARD")) {
            ++depth_;
        } else if (isLine(text, "END:VCARD") && --depth_ == 0) {
            finishCard();
            state_ = State::Outside;
        } else if (depth_ == 1 && state_ == State::Inside) {
            if (text_.size() + text.size() > kMaxRecord) {
                skip(recordTooLarge("una tarjeta"));
                return;
            }
            lines_.push_back({text_.size(), text.size(), l.number});
            text_.append(text);
        }
    }

    void finish() override {
        if (state_ != State::Outside) out_.addProblem({begin_, "tarjeta sin END:VCARD"});
        state_ = State::Outside;
    }

  private:
    enum class State { Outside, Inside, Skipping };
    struct Span {
        std::size_t at, size;
        long number;
    };

    void skip(std::string why) {
        state_ = State::Skipping;
        why_ = std::move(why);
        text_.clear();
        text_.shrink_to_fit();
        lines_.clear();
    }

    void finishCard() {
        if (state_ == State::Skipping) {
            out_.addProblem({begin_, why_});
            return;
        }
        Body body;
        body.reserve(lines_.size());
        for (const Span& s : lines_)
            body.emplace_back(std::string_view(text_).substr(s.at, s.size), s.number);
        CardResult card;
        if (std::string error = readCard(body, card); !error.empty()) {
            out_.addProblem({begin_, error});
        } else if (card.group) {
            ++out_.groups;
        } else {
            for (const auto& [name, f] : card.fates) {
                Fate& to = out_.fates[name];
                to.field += f.field, to.info += f.info, to.aside += f.aside;
            }
            if (first_ && !firstTaken_ && !out_.groups) *first_ = card;
            firstTaken_ = true;
            out_.add({std::move(*card.contact), begin_, std::move(card.kept)});
        }
    }

    Reading& out_;
    CardResult* first_;
    bool firstTaken_ = false;
    State state_ = State::Outside;
    bool strayReported_ = false;
    long begin_ = 0;
    int depth_ = 0;
    std::string text_;  // the card's lines, one after another
    std::vector<Span> lines_;
    std::string why_;
};

}  // namespace

std::unique_ptr<LineParser> vcardParser(Reading& out, CardResult* first) {
    return std::make_unique<VCardParser>(out, first);
}

CardResult contactFromVcard(std::string_view text) {
    CardResult result, first;
    Reading reading;
    readText(text, Format::VCard, reading, &first);
    if (!reading.problems.empty())
        result.error = reading.problems.front().reason;
    else if (reading.groups)
        result.group = true;
    else if (reading.contacts.empty())
        result.error = "no hay ninguna tarjeta";
    else
        result = std::move(first);
    return result;
}

void readVCards(std::string_view text, Reading& out, const ProgressFn& progress) {
    readText(text, Format::VCard, out, nullptr, progress);
}

}  // namespace orv::exchange
