#pragma once
// The side table OrvPropiedades: a card's properties as read, one logical
// line each, kept with its contact so that what the book has no column for
// (a photo, a key, GEO, X- lines) goes back out on export and sync.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/sql.h"

namespace orv::exchange {

// The contact's lines, replacing those it had (none: it keeps nothing).
void keepProperties(sqlite3* db, std::int64_t code, const std::vector<std::string>& lines);

// Reads the lines of one contact after another with one statement; a book
// not yet given the table (read-only, of an older release) keeps none.
class KeptReader {
  public:
    explicit KeptReader(sqlite3* db);
    std::vector<std::string> of(std::int64_t code);

  private:
    std::optional<sql::Statement> st_;
};

// The lines as a card, BEGIN to END, each folded as its version folds
// (2.1's quoted-printable with soft breaks), ended by CRLF.
std::string keptCard(const std::vector<std::string>& lines);

// A 2.1 card's lines in 3.0's forms, for servers, which take 3.0 and 4.0
// only: quoted-printable and character sets undone, bare parameters named
// (CELL -> TYPE=CELL), BASE64 as ENCODING=b, commas escaped. Lines of any
// other version come back as they are.
std::vector<std::string> asVersion30(const std::vector<std::string>& lines);

// True for a line no field or line of "Mas info" holds (PHOTO, KEY, an
// unknown X- property): what a CSV export cannot write.
bool keptAside(std::string_view line);

}  // namespace orv::exchange
