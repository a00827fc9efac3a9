#pragma once
// Small wrappers over the SQLite C API shared by the store's sources.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store/engine.h"

namespace orv::detail {

// The EngineError for a failed call (what throwSqlite throws).
EngineError sqliteError(sqlite3* db, int rc, const std::string& context = {});

class Stmt {
  public:
    Stmt(sqlite3* db, std::string_view sql);
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    void bind(int i, std::string_view text) {
        check(
            sqlite3_bind_text(s_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    void bind(int i, std::int64_t v) { check(sqlite3_bind_int64(s_, i, v)); }
    void bind(int i, const Value& v) {
        if (v)
            bind(i, std::string_view(*v));
        else
            check(sqlite3_bind_null(s_, i));
    }
    // True while a row is there. A failure resets the statement and throws.
    bool step();
    // Ends the statement's read, so it holds no lock between calls.
    void reset() { sqlite3_reset(s_); }

    std::int64_t int64(int col) const { return sqlite3_column_int64(s_, col); }
    bool isNull(int col) const { return sqlite3_column_type(s_, col) == SQLITE_NULL; }
    std::string_view text(int col) const {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
        return p ? std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, col)))
                 : std::string_view();
    }
    Value value(int col) const {
        if (isNull(col)) return std::nullopt;
        return std::string(text(col));
    }
    int columnCount() const { return sqlite3_column_count(s_); }
    sqlite3* connection() const { return db_; }

  private:
    void check(int rc);
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* db);
    ~Transaction();
    void commit();

  private:
    sqlite3* db_;
    bool open_ = false;
};

// A read of several statements under one lock: without it every statement
// takes and drops the file lock and checks the file again. Does nothing
// inside a transaction already open.
class ReadTransaction {
  public:
    explicit ReadTransaction(sqlite3* db);
    ~ReadTransaction();

  private:
    sqlite3* db_;
    bool open_ = false;
};

// What a query text of the engine's dialect asks for.
struct ParsedQuery {
    bool wholeTable = false;             // "Registros"
    std::optional<std::string> pattern;  // WHERE Nombre like '...'
    bool orderByName = false;
};
// Throws kErrInvalidQuery for a text outside the dialect.
ParsedQuery parseQuery(std::string_view query);

std::unique_ptr<QueryRecordset> openQueryRecordset(std::shared_ptr<Database> db,
                                                   const ParsedQuery& q);
std::unique_ptr<Recordset> openTableRecordset(std::shared_ptr<Database> db);

// Compares ASCII case-insensitively, as SQL names are.
bool sameName(std::string_view a, std::string_view b);

}  // namespace orv::detail
