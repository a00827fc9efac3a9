#pragma once
// Comma-separated contacts: reading what other programs write (a header
// naming the columns, quoted fields, CRLF or LF) and writing our own.
//
// Null and the empty string both survive a round trip: an empty unquoted
// field is a null, a quoted empty field ("") is the empty string.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/card.h"
#include "exchange/text.h"

namespace orv::exchange {

// One record of a CSV file: its fields (nullopt for an empty unquoted field)
// and the line it starts on, counting from 1.
struct CsvRecord {
    std::vector<Value> fields;
    long line = 0;
};

// Splits CSV text into records. Comma by default; a semicolon is accepted
// when asked for. Blank lines are skipped.
class CsvReader {
  public:
    // `firstLine`: the number of the text's first line in its file.
    explicit CsvReader(std::string_view text, char delimiter = ',', long firstLine = 1);
    // false at the end of the text. On a record that cannot be read, sets
    // `error` (and record.line) and resynchronises at the next line.
    bool next(CsvRecord& record, std::string& error);
    std::size_t offset() const { return pos_; }

  private:
    std::string_view text_;
    char delim_;
    std::size_t pos_ = 0;
    long line_ = 1;
};

// Reads a contact file in CSV: our own columns (by name, in any order, case
// and accents ignored) or the header of Google Contacts (current and legacy),
// Outlook (English and Spanish), Thunderbird or abook. The text is already
// UTF-8 (see decodeText); the separator (comma, semicolon or tab) is the
// header's. A header with a column nobody knows is a problem at line 1 that
// names the columns known.
void readCsvContacts(std::string_view text, Reading& out, const ProgressFn& progress = {});

// The header line, every column in table order, ended by CRLF.
std::string csvHeader();
// One contact as a CSV record ended by CRLF; the date as dd/mm/yyyy. A stored
// date that is no date would be refused when read back: it is written as a
// line of "Mas info" instead, and `movedDate` set.
std::string csvRecord(const Contact& c, bool* movedDate = nullptr);
// A field quoted when it must be (and always when empty, to tell it from null).
void appendCsvField(std::string& out, const Value& v);

// A cell a spreadsheet would run as a formula: one that begins with "=",
// "@", a tab or a carriage return, or with "+" or "-" followed by anything
// but a phone number ("+34 600 111 222") or a plain number ("-12,5").
bool runsAsFormula(std::string_view cell);
// Our export writes such a cell after an apostrophe, which a spreadsheet
// reads as "this is text"; a text that itself begins with an apostrophe
// gets one more, so that our import takes exactly one off again.
inline constexpr char kTextMark = '\'';
std::string markedCell(std::string_view cell);
std::string_view unmarkedCell(std::string_view cell);

}  // namespace orv::exchange
