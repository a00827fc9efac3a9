#pragma once
// The history of every change to Registros: one row in OrvHistoria for each
// insert, update and delete, by whatever program, with the row as it was
// before (nulls for an insert), when (unix milliseconds), the kind and the
// source. Plain-SQL triggers fill it, so the sqlite3 shell's changes are
// kept too, as "otro programa"; our writers name themselves (label) and,
// before their commit, relabel the rows their transaction wrote, which lie on
// pages the commit writes anyway.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/contact.h"

namespace orv::sql {
class WriteTransaction;
}

namespace orv::history {

// The sources, as the history shows them.
inline constexpr const char* kCard = "tarjeta";
inline constexpr const char* kImport = "importación";
inline constexpr const char* kSync = "sincronización";
inline constexpr const char* kRestore = "restauración";
inline constexpr const char* kUndo = "deshacer";
inline constexpr const char* kOther = "otro programa";

// A contact forgotten: the one line its history keeps (Tipo and Origen).
inline constexpr const char* kForgotten = "olvido";

// Names who writes in `tx` (one of the sources above): the history's rows it
// writes from now on are labelled so as the last step before its commit.
// Does nothing in a book without history.
void label(sql::WriteTransaction& tx, const char* who);

// How long changes are kept.
inline constexpr std::int64_t kKeptMs = 366LL * 24 * 3600 * 1000;

// Our tables, indexes and triggers; each IF NOT EXISTS.
extern const char* const kCreateSql;
// All of them are there.
bool complete(sqlite3* db);
// Changes older than kKeptMs are there to be dropped (one index seek).
bool stale(sqlite3* db);
// Creates what is missing and drops the stale changes; inside a write
// transaction.
void prepare(sqlite3* db);

// The source of the history row `alias`.Id, as an SQL expression: the range
// our writer labelled at its commit, else the row's own (another program).
std::string sourceOf(const std::string& alias);

std::int64_t nowMs();
// The Id of the first change after `ms` (one past the last when none).
std::int64_t firstAfter(sqlite3* db, std::int64_t ms);

struct Entry {
    std::int64_t id = 0, codigo = 0, momento = 0;
    std::string tipo, origen;  // "alta", "cambio", "baja"
    Contact before;            // all null for "alta"
};
// The contacts gone now, newest deletion first: each one's last entry.
std::vector<Entry> deleted(sqlite3* db);
// Newest first; every contact or one code.
std::vector<Entry> entries(sqlite3* db, std::optional<std::int64_t> codigo = {});
// The contact as the book holds it now; nullopt when it is not there.
std::optional<Contact> current(sqlite3* db, std::int64_t codigo);
// The contact as it was at `ms`: nullopt when it did not exist then. `found`
// says whether anything of it changed since (else the book holds it as then).
std::optional<Contact> stateAt(sqlite3* db, std::int64_t codigo, std::int64_t ms, bool& changed);

struct UndoCounts {
    std::int64_t removed = 0, changed = 0, back = 0;
};
// The whole book back to `ms`, as three set operations; inside a write
// transaction (marked kUndo). With dryRun only counts.
UndoCounts undoTo(sqlite3* db, std::int64_t ms, bool dryRun);
// Puts one contact back as `c` under its own code (inserting or updating).
void putBack(sqlite3* db, const Contact& c);

// What forget() took away.
struct Forgotten {
    bool row = false;          // the contact was in Registros
    std::int64_t changes = 0;  // lines of its history
    std::int64_t kept = 0;     // its card's kept lines
    bool linked = false;       // it was synced: the next sync deletes it on the server
    bool anything() const { return row || changes || kept || linked; }
};
// Takes contact `codigo` out of the book with every trace of it: its row,
// its history (leaving one line, "olvido", with the moment), its card's kept
// lines, its look-up entry, and what the sync remembers of it but the link
// itself, so that the next sync deletes its card on the server as it
// deletes any. Inside a write transaction, on a connection with SQLite's
// secure_delete on; rekeying is the caller's. See scrub() for the file.
// `note`: the "olvido" line even when the book held nothing of it.
Forgotten forget(sqlite3* db, std::int64_t codigo, bool note = true);
// Whether the book holds anything of contact `codigo` (reads only).
bool knows(sqlite3* db, std::int64_t codigo);
// Leaves in the file no byte of what was deleted: the whole file rewritten
// from what it holds (VACUUM), and the WAL, if any, written back and
// emptied. Outside a transaction. False when a reader elsewhere kept the
// WAL from being emptied.
bool scrub(sqlite3* db);

// The number of changes kept and the bytes they take (0 without the table
// or the dbstat module).
std::int64_t size(sqlite3* db, std::int64_t& bytes);

}  // namespace orv::history
