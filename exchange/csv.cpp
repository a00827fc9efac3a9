#include "exchange/csv.h"

#include <array>

#include "store/ascii.h"
#include "store/dates.h"
#include "exchange/text.h"

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

// Which separator the header uses: a comma unless the header has none and
// has semicolons (a spreadsheet set to a Spanish locale) or tabs.
char detectDelimiter(std::string_view text) {
    std::size_t eol = text.find_first_of("\r\n");
    std::string_view header = text.substr(0, eol);
    if (header.find(',') != std::string_view::npos) return ',';
    if (header.find(';') != std::string_view::npos) return ';';
    if (header.find('\t') != std::string_view::npos) return '\t';
    return ',';
}

std::string quotedName(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

}  // namespace

bool readCsvContacts(std::string_view text, const CsvCallbacks& cb) {
    text = withoutBom(text);
    CsvReader reader(text, detectDelimiter(text));
    CsvRecord rec;
    std::string error;
    if (!reader.next(rec, error)) {
        cb.problem(1, "el archivo está vacío: falta la cabecera con los nombres de las columnas");
        return false;
    }
    if (!error.empty()) {
        cb.problem(rec.line, "cabecera: " + error);
        return false;
    }

    // Column of the file -> column of the table; -1 for Codigo, which the
    // store assigns itself.
    std::vector<int> target;
    std::array<bool, kColumnCount> seen{};
    bool ok = true;
    for (const Value& f : rec.fields) {
        std::string_view name = f ? trimmed(*f) : std::string_view();
        int col = -1;
        for (std::size_t c = 0; c < kColumnCount; ++c)
            if (ascii::iequals(name, schema::kColumns[c])) col = static_cast<int>(c);
        if (col < 0) {
            cb.problem(rec.line, "columna desconocida: " + quotedName(name));
            ok = false;
        } else if (seen[col]) {
            cb.problem(rec.line, "columna repetida: " + quotedName(name));
            ok = false;
        }
        if (col >= 0) seen[col] = true;
        target.push_back(col == kCodigo ? -1 : col);
    }
    if (!ok) return false;

    std::size_t records = 0;
    while (reader.next(rec, error)) {
        if (cb.progress && ++records % 512 == 0) cb.progress(reader.offset());
        if (!error.empty()) {
            cb.problem(rec.line, error);
            ok = false;
            continue;
        }
        if (rec.fields.size() != target.size()) {
            cb.problem(rec.line, std::to_string(rec.fields.size()) +
                                     " campos, y la cabecera tiene " +
                                     std::to_string(target.size()));
            ok = false;
            continue;
        }
        Located item;
        item.line = rec.line;
        bool good = true;
        for (std::size_t i = 0; i < target.size(); ++i) {
            Value& v = rec.fields[i];
            if (v && !validUtf8(*v)) {
                cb.problem(rec.line,
                           "texto que no está en UTF-8 en la columna " +
                               quotedName(schema::kColumns[target[i] < 0 ? 0 : target[i]]));
                good = false;
                break;
            }
            if (target[i] < 0) continue;
            if (target[i] == kFecha && v && !v->empty()) {
                auto iso = isoFromImported(*v);
                if (!iso) {
                    cb.problem(rec.line, "fecha de nacimiento no válida: " + quotedName(*v));
                    good = false;
                    break;
                }
                v = std::move(iso);
            }
            item.contact[target[i]] = std::move(v);
        }
        if (!good) {
            ok = false;
            continue;
        }
        cb.contact(std::move(item));
    }
    if (cb.progress) cb.progress(text.size());
    return ok;
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

std::string csvRecord(const Contact& c) {
    std::string out;
    for (std::size_t i = 0; i < kColumnCount; ++i) {
        if (i) out += ',';
        if (i == kFecha && c[i])
            appendCsvField(out, displayFromIso(*c[i]));
        else
            appendCsvField(out, c[i]);
    }
    out += "\r\n";
    return out;
}

}  // namespace orv::exchange
