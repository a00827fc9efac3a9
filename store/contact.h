#pragma once
// One contact row as the tools and tests move it around: every column of
// Registros in the table's own order (indexed by Col), nullopt for a null.

#include <array>
#include <string>

#include "store/engine.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv {

using Contact = std::array<Value, kColumnCount>;

// Adds contacts to a book, Codigo left to the store. One statement serves
// every row; a refused row throws.
class ContactInserter {
  public:
    explicit ContactInserter(sqlite3* db);
    void insert(const Contact& c);

  private:
    sql::Statement st_;
};

// Reads every contact of a book in code order.
class ContactCursor {
  public:
    explicit ContactCursor(sqlite3* db);
    // false after the last contact.
    bool next(Contact& c);

  private:
    sql::Statement st_;
};

// Two contacts are the same person when name, surname and date of birth are
// equal, nulls equal to nulls only. The key is what the duplicate check hashes.
std::string duplicateKey(const Value& nombre, const Value& apellido, const Value& fecha);
inline std::string duplicateKey(const Contact& c) {
    return duplicateKey(c[kNombre], c[kApellido], c[kFecha]);
}

}  // namespace orv
