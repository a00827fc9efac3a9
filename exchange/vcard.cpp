#include "exchange/vcard.h"

#include <utility>
#include <vector>

#include "store/ascii.h"
#include "store/dates.h"
#include "exchange/text.h"

namespace orv::exchange {

namespace {

constexpr std::string_view kNullProperty = "X-ORVANE-NULL";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string decodeQuotedPrintable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '=' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else if (s[i] == '=' && i + 1 == s.size()) {
            // A soft line break with nothing after it.
        } else {
            // Sloppy writers leave a bare "=": keep it rather than lose text.
            out += s[i];
        }
    }
    return out;
}

std::optional<std::string> decodeBase64(std::string_view s) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0, padding = 0;
    for (char c : s) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=') {
            ++padding;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        else
            return std::nullopt;
        if (padding) return std::nullopt;  // data after padding
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    if (padding > 2) return std::nullopt;
    return out;
}

std::string escapeText(std::string_view s) {
    // No standard escape exists for a carriage return; \r keeps a CRLF note
    // from another system exact when it comes back.
    std::string out;
    out.reserve(s.size() + 8);
    appendBackslashed(out, s, "\\;,\n\r");
    return out;
}

std::string unescapeText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char n = s[i + 1];
        switch (n) {
            case '\\':
            case ';':
            case ',':
            case ':':
                out += n;
                break;
            case 'n':
            case 'N':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                // Not an escape (a path such as C:\dir): keep the backslash.
                out += '\\';
                out += n;
        }
        ++i;
    }
    return out;
}

std::string foldLine(std::string_view line) {
    std::string out;
    out.reserve(line.size() + line.size() / 70 * 3 + 2);
    std::size_t limit = 75;
    while (line.size() > limit) {
        std::size_t cut = limit;
        // Never split a UTF-8 sequence: back off to the start of the character.
        while (cut > 1 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        out.append(line.substr(0, cut)).append("\r\n ");
        line.remove_prefix(cut);
        limit = 74;  // the leading blank counts
    }
    out.append(line).append("\r\n");
    return out;
}

namespace {

// Splits on separators that are not escaped by a backslash; the parts keep
// their escapes.
std::vector<std::string_view> splitUnescaped(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == sep) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

struct Param {
    std::string name;  // upper case; empty for a bare 2.1 value ("HOME")
    std::string value;
};

struct Property {
    std::string name;  // upper case, group prefix removed
    std::vector<Param> params;
    std::string_view raw;  // the value as written
    long line = 0;

    // A parameter's value, or for a bare 2.1 parameter the bare word.
    std::optional<std::string> param(std::string_view key) const {
        for (const Param& p : params)
            if (p.name == key) return p.value;
        return std::nullopt;
    }
    bool bare(std::string_view word) const {
        for (const Param& p : params)
            if (p.name.empty() && ascii::iequals(p.value, word)) return true;
        return false;
    }
    bool quotedPrintable() const {
        auto e = param("ENCODING");
        return (e && ascii::iequals(*e, "QUOTED-PRINTABLE")) || bare("QUOTED-PRINTABLE");
    }
};

// Where the value starts: the first ':' outside double quotes. npos if none.
std::size_t valueColon(std::string_view line) {
    bool inQuotes = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            inQuotes = !inQuotes;
        else if (line[i] == ':' && !inQuotes)
            return i;
    }
    return std::string_view::npos;
}

bool headerSaysQuotedPrintable(std::string_view line) {
    std::size_t colon = valueColon(line);
    std::string head = upper(line.substr(0, colon));
    return head.find("QUOTED-PRINTABLE") != std::string::npos;
}

std::optional<Property> parseProperty(std::string_view line, long lineNo) {
    std::size_t colon = valueColon(line);
    if (colon == std::string_view::npos) return std::nullopt;
    Property p;
    p.line = lineNo;
    p.raw = line.substr(colon + 1);
    std::string_view head = line.substr(0, colon);
    std::size_t semi = head.find(';');
    std::string_view name = head.substr(0, semi);
    if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos)
        name.remove_prefix(dot + 1);  // item1.TEL
    p.name = upper(trimmed(name));
    if (p.name.empty()) return std::nullopt;
    if (semi == std::string_view::npos) return p;
    std::string_view rest = head.substr(semi + 1);
    // Parameters are separated by ';' outside double quotes.
    std::size_t start = 0;
    bool inQuotes = false;
    for (std::size_t i = 0; i <= rest.size(); ++i) {
        if (i < rest.size() && rest[i] == '"') inQuotes = !inQuotes;
        if (i < rest.size() && (rest[i] != ';' || inQuotes)) continue;
        std::string_view item = trimmed(rest.substr(start, i - start));
        start = i + 1;
        if (item.empty()) continue;
        Param param;
        if (std::size_t eq = item.find('='); eq != std::string_view::npos) {
            param.name = upper(trimmed(item.substr(0, eq)));
            std::string_view v = trimmed(item.substr(eq + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            param.value = std::string(v);
        } else {
            param.value = std::string(item);
        }
        p.params.push_back(std::move(param));
    }
    return p;
}

// One card's properties, decoded and mapped onto a contact.
class CardReader {
  public:
    CardReader(std::string version) : version_(std::move(version)) {}

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
        const std::string& n = p.name;
        if (n == "N" || n == "FN" || n == "ADR" || n == "TEL" || n == "EMAIL" || n == "X-ICQ" ||
            n == "IMPP" || n == "BDAY" || n == "NOTE" || n == kNullProperty) {
            auto text = decoded(p);
            if (!text) return false;
            take(p, *text);
        }
        return true;
    }

    Contact finish() {
        Contact c;
        if (n_) {
            std::vector<std::string> comps;
            for (auto part : splitUnescaped(*n_, ';')) comps.push_back(unescapeText(part));
            comps.resize(std::max<std::size_t>(comps.size(), 3));
            std::string given = comps[1];
            // Additional names belong to the first name ("José" + "Luis").
            if (!comps[2].empty()) given += (given.empty() ? "" : " ") + comps[2];
            if (given.empty() && comps[0].empty() && fn_ && !fn_->empty()) {
                splitFullName(c);
            } else {
                c[kNombre] = given;
                c[kApellido] = comps[0];
            }
        } else if (fn_) {
            splitFullName(c);
        }
        if (!adrs_.empty()) {
            c[kDomicilio] = adrs_.front().first;
            c[kLocalidad] = adrs_.front().second;
        }
        if (!tels_.empty()) c[kTelefono] = tels_.front();
        if (!emails_.empty()) c[kEmail] = emails_.front();
        if (!icqs_.empty()) c[kIcq] = icqs_.front();
        if (birth_) c[kFecha] = birth_;

        // Notes first, then every value that had no field of its own.
        std::vector<std::string> lines = notes_;
        for (std::size_t i = 1; i < adrs_.size(); ++i) {
            std::string where = adrs_[i].first;
            if (!adrs_[i].second.empty()) where += (where.empty() ? "" : ", ") + adrs_[i].second;
            lines.push_back("Dirección: " + where);
        }
        for (std::size_t i = 1; i < tels_.size(); ++i) lines.push_back("Teléfono: " + tels_[i]);
        for (std::size_t i = 1; i < emails_.size(); ++i) lines.push_back("e-mail: " + emails_[i]);
        for (std::size_t i = 1; i < icqs_.size(); ++i) lines.push_back("ICQ: " + icqs_[i]);
        for (const std::string& b : otherBirths_) lines.push_back("Fecha de nacimiento: " + b);
        if (!lines.empty()) {
            std::string info;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                if (i) info += '\n';
                info += lines[i];
            }
            c[kMasInfo] = std::move(info);
        }
        // Only an empty value can stand for a null: if another program has
        // since filled the field in, its text wins.
        for (std::size_t col : nulls_)
            if (c[col] && c[col]->empty()) c[col] = std::nullopt;
        return c;
    }

    const std::string& error() const { return error_; }

  private:
    std::nullopt_t fail(const Property& p, const std::string& reason) {
        error_ = p.name + " (línea " + std::to_string(p.line) + "): " + reason;
        return std::nullopt;
    }

    void splitFullName(Contact& c) {
        std::string_view full = trimmed(*fn_);
        std::size_t blank = full.find(' ');
        c[kNombre] = std::string(full.substr(0, blank));
        if (blank != std::string_view::npos)
            c[kApellido] = std::string(trimmed(full.substr(blank)));
    }

    // "locality/region", or just the one that is not empty.
    static std::string townAndProvince(const std::string& locality, const std::string& region) {
        if (locality.empty()) return region;
        if (region.empty()) return locality;
        return locality + "/" + region;
    }

    void take(const Property& p, const std::string& text) {
        const std::string& n = p.name;
        if (n == "N") {
            if (!n_) n_ = text;
        } else if (n == "FN") {
            if (!fn_) fn_ = unescapeText(text);
        } else if (n == "ADR") {
            std::vector<std::string> c;
            for (auto part : splitUnescaped(text, ';')) c.push_back(unescapeText(part));
            c.resize(std::max<std::size_t>(c.size(), 7));
            // Street first, then the extended address and the post office box.
            std::string street;
            for (const std::string* s : {&c[2], &c[1], &c[0]})
                if (!s->empty()) street += (street.empty() ? "" : ", ") + *s;
            adrs_.emplace_back(street, townAndProvince(c[3], c[4]));
        } else if (n == "TEL") {
            std::string v = unescapeText(text);
            // 4.0 (and a 3.0 with VALUE=uri) may write the number as a tel: URI.
            auto type = p.param("VALUE");
            const bool uri = version_ == "4.0" || (type && ascii::iequals(*type, "uri"));
            if (uri && v.size() >= 4 && ascii::iequals(std::string_view(v).substr(0, 4), "tel:"))
                v.erase(0, 4);
            tels_.push_back(std::move(v));
        } else if (n == "EMAIL") {
            emails_.push_back(unescapeText(text));
        } else if (n == "X-ICQ") {
            icqs_.push_back(unescapeText(text));
        } else if (n == "IMPP") {
            std::string v = unescapeText(text);
            auto service = p.param("X-SERVICE-TYPE");
            const bool icqScheme =
                v.size() >= 4 && ascii::iequals(std::string_view(v).substr(0, 4), "icq:");
            if (icqScheme || (service && ascii::iequals(*service, "ICQ"))) {
                if (std::size_t colon = v.find(':'); colon != std::string::npos)
                    v.erase(0, colon + 1);
                icqs_.push_back(std::move(v));
            }
        } else if (n == "BDAY") {
            takeBirthday(p, unescapeText(text));
        } else if (n == "NOTE") {
            notes_.push_back(unescapeText(text));
        } else if (n == kNullProperty) {
            for (auto name : splitUnescaped(text, ','))
                for (std::size_t col = kNombre; col < kColumnCount; ++col)
                    if (trimmed(name) == schema::kColumns[col]) nulls_.push_back(col);
        }
    }

    void takeBirthday(const Property& p, const std::string& v) {
        auto type = p.param("VALUE");
        const bool text = type && ascii::iequals(*type, "text");
        std::optional<std::string> iso;
        if (!text) iso = isoFromImported(v);
        if (!birth_ && (iso || v.empty())) {
            birth_ = iso ? *iso : v;
            return;
        }
        if (iso) {
            otherBirths_.push_back(displayFromIso(*iso));
            return;
        }
        // A birthday without a year (--mm-dd or --mmdd) is no date; keep it readable.
        std::string_view s = trimmed(v);
        if (!text && s.substr(0, 2) == "--") {
            std::string digits;
            for (char ch : s.substr(2))
                if (ch >= '0' && ch <= '9')
                    digits += ch;
                else if (ch != '-')
                    break;
            if (digits.size() == 4) {
                otherBirths_.push_back(digits.substr(2, 2) + "/" + digits.substr(0, 2));
                return;
            }
        }
        if (!v.empty()) otherBirths_.push_back(v);
    }

    std::string version_;
    std::string error_;
    std::optional<std::string> n_, fn_;
    std::vector<std::pair<std::string, std::string>> adrs_;
    std::vector<std::string> tels_, emails_, icqs_, notes_, otherBirths_;
    std::optional<std::string> birth_;
    std::vector<std::size_t> nulls_;
};

struct PhysicalLine {
    std::string_view text;
    long number;
};

// BEGIN and END stand at the start of a line: an indented one is the
// continuation of a folded value that happens to read the same.
bool isLine(std::string_view line, std::string_view what) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return ascii::iequals(line, what);
}

}  // namespace

bool readVCards(std::string_view text, const VCardCallbacks& cb) {
    text = withoutBom(text);
    std::size_t pos = 0;
    long lineNo = 0;
    auto nextLine = [&](PhysicalLine& out) {
        if (pos >= text.size()) return false;
        std::size_t end = text.find('\n', pos);
        std::size_t stop = end == std::string_view::npos ? text.size() : end;
        std::string_view line = text.substr(pos, stop - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = end == std::string_view::npos ? text.size() : end + 1;
        out = {line, ++lineNo};
        return true;
    };

    bool ok = true, strayReported = false;
    PhysicalLine line;
    std::vector<PhysicalLine> body;
    while (nextLine(line)) {
        if (trimmed(line.text).empty()) continue;
        if (!isLine(line.text, "BEGIN:VCARD")) {
            if (!strayReported)
                cb.problem(line.number, "texto fuera de una tarjeta (se esperaba BEGIN:VCARD)");
            strayReported = true;
            ok = false;
            continue;
        }
        strayReported = false;
        const long begin = line.number;
        body.clear();
        int depth = 1;
        bool closed = false;
        while (nextLine(line)) {
            // A nested card (a 2.1 AGENT) belongs to a property we ignore.
            if (isLine(line.text, "BEGIN:VCARD"))
                ++depth;
            else if (isLine(line.text, "END:VCARD") && --depth == 0) {
                closed = true;
                break;
            } else if (depth == 1)
                body.push_back(line);
        }
        if (!closed) {
            cb.problem(begin, "tarjeta sin END:VCARD");
            ok = false;
            break;
        }

        std::string version = "3.0";
        for (const PhysicalLine& l : body) {
            std::string_view t = l.text;
            if (t.size() > 8 && ascii::iequals(t.substr(0, 8), "VERSION:")) {
                version = std::string(trimmed(t.substr(8)));
                break;
            }
        }
        const bool v21 = version == "2.1";

        // Logical lines: folded continuations joined, and in 2.1 the soft line
        // breaks of QUOTED-PRINTABLE values (a line ending in "=").
        CardReader card(version);
        std::string error;
        std::string logical;
        long logicalLine = 0;
        auto flush = [&]() {
            if (logicalLine == 0 || !error.empty()) return;
            auto p = parseProperty(logical, logicalLine);
            if (!p)
                error = "línea " + std::to_string(logicalLine) + ": falta \":\"";
            else if (!card.add(*p))
                error = card.error();
        };
        for (std::size_t i = 0; i < body.size(); ++i) {
            std::string_view t = body[i].text;
            if (t.empty()) continue;
            if ((t[0] == ' ' || t[0] == '\t') && logicalLine) {
                // 2.1 folds at existing white space and keeps it; 3.0 and 4.0
                // insert the blank and drop it again.
                logical.append(v21 ? t : t.substr(1));
            } else {
                flush();
                logical.assign(t);
                logicalLine = body[i].number;
            }
            if (headerSaysQuotedPrintable(logical)) {
                while (!logical.empty() && logical.back() == '=' && i + 1 < body.size()) {
                    logical.pop_back();
                    logical.append(body[++i].text);
                }
            }
        }
        flush();
        if (!error.empty()) {
            cb.problem(begin, error);
            ok = false;
        } else {
            cb.contact(Located{card.finish(), begin});
        }
        if (cb.progress) cb.progress(pos);
    }
    // A file with no card at all is an empty export: nothing to import.
    return ok;
}

std::string vcardFromContact(const Contact& c) {
    auto text = [&](std::size_t col) { return c[col] ? escapeText(*c[col]) : std::string(); };
    std::string out = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    std::vector<std::string_view> nulls;

    out += foldLine("N:" + text(kApellido) + ";" + text(kNombre) + ";;;");
    std::string full = c[kNombre].value_or("");
    if (c[kApellido] && !c[kApellido]->empty()) full += (full.empty() ? "" : " ") + *c[kApellido];
    out += foldLine("FN:" + escapeText(full));
    for (std::size_t col : {kNombre, kApellido})
        if (!c[col]) nulls.push_back(schema::kColumns[col]);

    if (c[kDomicilio] || c[kLocalidad]) {
        // Split at the first "/" only when both sides are non-empty, so that
        // joining locality and region again gives back the same text.
        std::string town = c[kLocalidad].value_or(""), region;
        std::size_t slash = town.find('/');
        if (slash != std::string::npos && slash > 0 && slash + 1 < town.size()) {
            region = town.substr(slash + 1);
            town.erase(slash);
        }
        out += foldLine("ADR:;;" + text(kDomicilio) + ";" + escapeText(town) + ";" +
                        escapeText(region) + ";;");
        for (std::size_t col : {kDomicilio, kLocalidad})
            if (!c[col]) nulls.push_back(schema::kColumns[col]);
    }
    if (c[kTelefono]) out += foldLine("TEL:" + text(kTelefono));
    if (c[kEmail]) out += foldLine("EMAIL:" + text(kEmail));
    if (c[kIcq]) out += foldLine("X-ICQ:" + text(kIcq));
    if (c[kFecha]) out += foldLine("BDAY:" + text(kFecha));
    if (c[kMasInfo]) out += foldLine("NOTE:" + text(kMasInfo));
    if (!nulls.empty()) {
        std::string list;
        for (auto n : nulls) list += (list.empty() ? "" : ",") + std::string(n);
        out += foldLine(std::string(kNullProperty) + ":" + list);
    }
    out += "END:VCARD\r\n";
    return out;
}

}  // namespace orv::exchange
