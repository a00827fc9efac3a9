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

}  // namespace orv
