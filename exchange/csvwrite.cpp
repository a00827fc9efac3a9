// Our own CSV: the header, one record a contact, and the cells a
// spreadsheet must not run.

#include "exchange/csv.h"
#include "store/dates.h"

namespace orv::exchange {

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
