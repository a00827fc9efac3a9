#include "exchange/properties.h"

#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/ascii.h"

namespace orv::exchange {

void keepProperties(sqlite3* db, std::int64_t code, const std::vector<std::string>& lines) {
    sql::Statement drop(db, "DELETE FROM main.OrvPropiedades WHERE Codigo = ?1");
    drop.bind(1, code);
    drop.step();
    if (lines.empty()) return;
    sql::Statement add(
        db, "INSERT INTO main.OrvPropiedades (Codigo, Orden, Linea) VALUES (?1, ?2, ?3)");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        add.bind(1, code);
        add.bind(2, static_cast<std::int64_t>(i));
        add.bind(3, lines[i]);
        add.step();
        add.reset();
    }
}

KeptReader::KeptReader(sqlite3* db) {
    sql::Statement has(db, "SELECT 1 FROM main.sqlite_schema WHERE name = 'OrvPropiedades'");
    if (has.step())
        st_.emplace(db, "SELECT Linea FROM main.OrvPropiedades WHERE Codigo = ?1 ORDER BY Orden");
}

std::vector<std::string> KeptReader::of(std::int64_t code) {
    std::vector<std::string> out;
    if (!st_) return out;
    st_->bind(1, code);
    while (st_->step()) out.emplace_back(st_->text(0));
    st_->reset();
    return out;
}

namespace {

std::string head(std::string_view line) {
    return upper(line.substr(0, std::min(valueColon(line), line.size())));
}

// 2.1 keeps the blank a fold adds, so a text line is left whole and a
// quoted-printable one is broken with soft line breaks, never inside "=XX".
std::string fold21(std::string_view line) {
    const std::string h = head(line);
    if (h.find("BASE64") != std::string::npos) {
        // Its folds kept their blanks when read: each run of them starts a
        // line again, as the file had it. Base64 ignores them.
        if (line.find(' ') == std::string_view::npos) return foldLine(line);
        std::string out;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == ' ' && i > 0 && line[i - 1] != ' ') out += "\r\n";
            out += line[i];
        }
        return out + "\r\n";
    }
    if (h.find("QUOTED-PRINTABLE") == std::string::npos) return std::string(line) + "\r\n";
    std::string out;
    while (line.size() > 75) {
        std::size_t cut = 74;
        for (std::size_t back = 1; back <= 2; ++back)
            if (line[cut - back] == '=') cut -= back;
        out.append(line.substr(0, cut)).append("=\r\n");
        line.remove_prefix(cut);
    }
    return out.append(line).append("\r\n");
}

}  // namespace

std::string keptCard(const std::vector<std::string>& lines) {
    bool v21 = false;
    for (const std::string& l : lines)
        if (head(l) == "VERSION") v21 = trimmed(std::string_view(l).substr(8)) == "2.1";
    std::string out = "BEGIN:VCARD\r\n";
    for (const std::string& l : lines) out += v21 ? fold21(l) : foldLine(l);
    return out + "END:VCARD\r\n";
}

namespace {

// One 2.1 line in 3.0's forms.
std::string line30(std::string_view line) {
    const std::size_t colon = std::min(valueColon(line), line.size());
    std::string_view head = line.substr(0, colon);
    std::string value(colon < line.size() ? line.substr(colon + 1) : std::string_view());
    std::vector<std::string> params;
    bool qp = false, base64 = false;
    std::string charset;
    std::string name;
    for (std::size_t start = 0, i = 0; i <= head.size(); ++i) {
        if (i < head.size() && head[i] != ';') continue;
        std::string_view p = trimmed(head.substr(start, i - start));
        start = i + 1;
        if (name.empty()) {
            name = std::string(p);
            continue;
        }
        const std::size_t eq = p.find('=');
        const std::string key = upper(trimmed(p.substr(0, eq)));
        const std::string val =
            eq == std::string_view::npos ? key : std::string(trimmed(p.substr(eq + 1)));
        if (eq == std::string_view::npos ? key == "QUOTED-PRINTABLE"
                                         : key == "ENCODING" && upper(val) == "QUOTED-PRINTABLE")
            qp = true;
        else if (eq == std::string_view::npos
                     ? key == "BASE64"
                     : key == "ENCODING" && (upper(val) == "BASE64" || upper(val) == "B"))
            base64 = true;
        else if (key == "CHARSET")
            charset = val;
        else if (eq == std::string_view::npos && (key == "8BIT" || key == "7BIT"))
            continue;
        else if (key == "ENCODING")
            continue;
        else
            params.push_back(eq == std::string_view::npos ? "TYPE=" + key : std::string(p));
    }
    std::string out = name;
    for (const std::string& p : params) out += ";" + p;
    if (base64) {
        std::erase_if(value, [](char c) { return c == ' ' || c == '\t'; });
        return out + ";ENCODING=b:" + value;
    }
    if (qp) value = decodeQuotedPrintable(value);
    if (!charset.empty()) {
        if (auto t = toUtf8(value, charset)) value = *t;
    } else if (!validUtf8(value)) {
        value = fromWindows1252(value);
    }
    std::string bare = upper(name);
    if (std::size_t dot = bare.rfind('.'); dot != std::string::npos) bare.erase(0, dot + 1);
    // Addresses of things and lists keep their commas.
    if (bare == "URL" || bare == "CATEGORIES" || bare == "NICKNAME" ||
        upper(std::string(head)).find("VALUE=URI") != std::string::npos)
        return out + ":" + value;
    // 2.1 escapes only ';' (and the backslash): each component is text again.
    std::string text;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] == '\\' && i + 1 < value.size()) {
            ++i;
            continue;
        }
        if (i < value.size() && value[i] != ';') continue;
        std::string part = unescapeText(std::string_view(value).substr(start, i - start));
        std::erase(part, '\r');
        if (start) text += ';';
        text += escapeText(part);
        start = i + 1;
    }
    return out + ":" + text;
}

}  // namespace

std::vector<std::string> asVersion30(const std::vector<std::string>& lines) {
    bool v21 = false;
    for (const std::string& l : lines)
        if (head(l) == "VERSION") v21 = trimmed(std::string_view(l).substr(8)) == "2.1";
    if (!v21) return lines;
    std::vector<std::string> out;
    for (const std::string& l : lines)
        out.push_back(head(l) == "VERSION" ? "VERSION:3.0" : line30(l));
    return out;
}

bool keptAside(std::string_view line) {
    std::string name = head(line);
    name = name.substr(0, name.find(';'));
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(0, dot + 1);
    return name != "VERSION" && name != "X-ABLABEL" && !mappedProperty(name);
}

}  // namespace orv::exchange
