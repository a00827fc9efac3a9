#pragma once
// Comma-separated contacts: reading what other programs write (a header
// naming the columns, quoted fields, CRLF or LF) and writing our own.
//
// Null and the empty string both survive a round trip: an empty unquoted
// field is a null, a quoted empty field ("") is the empty string.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    explicit CsvReader(std::string_view text, char delimiter = ',');
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

// Reads a contact file in CSV. Calls `contact` for every readable record and
// `problem` for every one that cannot be read (or for a bad header, line 1);
// `progress` gets the bytes read so far. Returns false when there was any
// problem.
struct CsvCallbacks {
    std::function<void(Located&&)> contact;
    std::function<void(long line, const std::string& reason)> problem;
    std::function<void(std::size_t bytesRead)> progress;
};
bool readCsvContacts(std::string_view text, const CsvCallbacks& cb);

// The header line, every column in table order, ended by CRLF.
std::string csvHeader();
// One contact as a CSV record ended by CRLF; the date as dd/mm/yyyy.
std::string csvRecord(const Contact& c);
// A field quoted when it must be (and always when empty, to tell it from null).
void appendCsvField(std::string& out, const Value& v);

}  // namespace orv::exchange
