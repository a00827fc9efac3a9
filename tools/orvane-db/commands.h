#pragma once
// The subcommands of orvane-db. Engine failures are thrown as EngineError;
// the tool's own (a file that cannot be read or written, one that is in the
// way) as ToolError. Messages to the user are Spanish.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "exchange/import.h"

namespace orv::db {

class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using exchange::Format;

// Where messages go: `out` for results, `err` for problems; `progress` shows
// the progress line (only meant for a terminal).
struct Console {
    std::ostream& out;
    std::ostream& err;
    bool progress = false;
};

// A new, empty contact book. Refuses an existing file.
void initBook(const std::string& path);

// A new contact book of `count` generated contacts, inserted in name order.
void demoBook(const std::string& path, std::size_t count, std::uint64_t seed, const Console& con);

// Writes what the results window lists for `prefix`, one contact a line,
// fields tab-separated in table order (dates dd/mm/yyyy, nulls empty; a tab,
// line break or backslash inside a field written as \t, \n, \r, \\, any
// other control character or invalid byte as \xHH or \u00HH).
// Returns the number of contacts written.
std::size_t listBook(const std::string& path, const std::string& prefix, std::FILE* out);

// Appends `s` as `list` writes a field: tab, line breaks and backslash as \t,
// \n, \r, \\, any other control character or invalid byte as \xHH or \u00HH.
void appendListed(std::string& out, std::string_view s);

struct ImportOptions {
    Format format = Format::Csv;
    bool dryRun = false;
    bool keepDuplicates = false;
    bool skipBad = false;  // import the readable records when some are not
};
struct ImportResult {
    bool ok = false;             // false: something could not be read, nothing imported
    std::size_t imported = 0;    // written (or, on a dry run, that would be)
    std::size_t duplicates = 0;  // equal in every field to a contact already in the book
    std::size_t problems = 0;
};
// Refuses at once an input that is a device, a pipe or a socket: only a
// regular file can be read twice, as the import reads it.
void checkInput(const std::string& input);
// All or nothing, in one transaction, unless skipBad. The file is read
// twice, never held whole: once to check it, once to write it.
ImportResult importBook(const std::string& path, const std::string& input,
                        const ImportOptions& options, const Console& con);

// Reports on `err` what is wrong with a book (integrity, the table's form,
// stale sort keys) without changing it; returns how many problems.
std::size_t checkBook(const std::string& path, const Console& con);
// Converts a book of the previous release if needed and makes every sort
// key anew.
void reindexBook(const std::string& path, const Console& con);

// Writes every contact to a new file (refuses an existing one, and never
// leaves a partial file behind). Returns the number written.
std::size_t exportBook(const std::string& path, const std::string& output, Format format,
                       const Console& con);

}  // namespace orv::db
