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

bool keptAside(std::string_view line) {
    std::string name = head(line);
    name = name.substr(0, name.find(';'));
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(0, dot + 1);
    return name != "VERSION" && name != "X-ABLABEL" && !mappedProperty(name);
}

}  // namespace orv::exchange
