#pragma once
// The sort keys kept beside Registros: one key a row in OrvClaves, made by
// the program and read through its index, so that ordered reads walk an
// index while the book names nothing of ours. Triggers in plain SQL note the
// codes any program changes; the noted rows are rekeyed when the program
// next reads. The keys' collation version is kept in OrvMeta.

#include <sqlite3.h>

#include <string>
#include <vector>

namespace orv::keys {

// orv_clave(name): a name's sort key (an empty blob for null). Registered on
// every connection; nothing in the book uses it.
void registerFunctions(sqlite3* db);
// The previous release's collation, for reading a book still made with it.
void registerOldCollation(sqlite3* db, bool on);

// The book is in the previous release's form: Nombre or an index ordered by
// the collation only that release registered.
bool oldSchema(sqlite3* db);

// Brings a book up to date in one write transaction: converts the previous
// release's form, creates or mends our tables and triggers, and rekeys the
// noted rows (every row when the collation version changed, or `all`).
// Returns the schema that holds fresh keys: "main", or "temp" when the book
// cannot be written now (read-only, locked): the keys are then made for this
// connection alone; or, without `inMemory`, the reason is thrown.
std::string prepare(sqlite3* db, bool all = false, bool inMemory = true);
// Rekeys the rows noted as changed; for a writer, inside its transaction,
// so that it leaves the book keyed.
void refresh(sqlite3* db);
// Whether rows are noted as changed since they were keyed.
bool pending(sqlite3* db);

// What is wrong with a book: integrity, its form, stale or missing keys.
// Reads only. Empty when all is well.
std::vector<std::string> problems(sqlite3* db);

}  // namespace orv::keys
