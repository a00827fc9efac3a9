#pragma once
// The one way to SQLite for the store, the tools and the tests: statements
// and transactions that clean up after themselves, and every failed call
// turned into an EngineError.

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "store/error.h"

namespace orv::sql {

// The EngineError for a failed call, with a Spanish text.
EngineError error(sqlite3* db, int rc);

// What setWaitHook installed.
std::function<void()>& waitHook();

// Runs SQL with no result rows (several statements allowed).
void exec(sqlite3* db, const std::string& sql);

// Owns something SQLite must be told about exactly once, so it is neither
// copied nor moved.
class Unique {
  public:
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

  protected:
    Unique() = default;
    ~Unique() = default;
};

class Statement : Unique {
  public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement() { sqlite3_finalize(s_); }

    void bind(int i, std::string_view text) {
        check(
            sqlite3_bind_text(s_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    void bind(int i, const std::string& text) { bind(i, std::string_view(text)); }
    void bind(int i, const char* text) { bind(i, std::string_view(text)); }
    void bind(int i, std::int64_t v) { check(sqlite3_bind_int64(s_, i, v)); }
    void bindBlob(int i, std::string_view bytes) {
        check(sqlite3_bind_blob64(s_, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    }
    void bind(int i, const Value& v) {
        if (v)
            bind(i, std::string_view(*v));
        else
            check(sqlite3_bind_null(s_, i));
    }
    // True while a row is there. A failure resets the statement and throws.
    bool step();
    // Ends the statement's read, so it holds no lock between calls; the
    // bindings stay.
    void reset() { sqlite3_reset(s_); }

    std::int64_t int64(int col) const { return sqlite3_column_int64(s_, col); }
    bool isNull(int col) const { return sqlite3_column_type(s_, col) == SQLITE_NULL; }
    // A text, or the bytes of any other value read as text.
    std::string_view text(int col) const {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
        return p ? std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, col)))
                 : std::string_view();
    }
    Value value(int col) const {
        if (isNull(col)) return std::nullopt;
        return std::string(text(col));
    }
    sqlite3* connection() const { return db_; }
    sqlite3_stmt* handle() const { return s_; }

  private:
    void check(int rc) const {
        if (rc != SQLITE_OK) throw error(db_, rc);
    }
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

// The slots of a write transaction's statements: the first kOwnSlots are its
// own (BEGIN, COMMIT), the others its commit step's (the history's labelling).
inline constexpr std::size_t kOwnSlots = 2, kSlots = 6;

// Statements a writer that commits often (the card) keeps from one commit to
// the next. Prepared on first use, and again on another connection.
class KeptStatements {
  public:
    Statement& get(sqlite3* db, std::size_t slot, std::string_view sql);

  private:
    std::unique_ptr<Statement> kept_[kSlots];
};

// BEGIN IMMEDIATE ... COMMIT: takes the write lock at once; rolled back
// unless committed. With `kept`, its statements are not prepared anew. Who
// wrote (the history's label) is history::label's.
class WriteTransaction : Unique {
  public:
    explicit WriteTransaction(sqlite3* db, KeptStatements* kept = nullptr);
    ~WriteTransaction();
    // Runs the commit step, if any, then COMMIT. A failed commit throws and
    // leaves the rollback to the destructor.
    void commit();
    // A last write inside the transaction, run by commit() (the history's
    // labelling of the rows written: history::label).
    void beforeCommit(std::function<void(WriteTransaction&)> step) { step_ = std::move(step); }
    // The statement in `slot` (kOwnSlots and up for a commit step): kept
    // with the writer's KeptStatements, else prepared for this transaction.
    Statement& statement(std::size_t slot, std::string_view sql);
    sqlite3* connection() const { return db_; }

  private:
    // Runs a statement with no rows, kept or prepared for this once.
    int run(std::size_t slot, std::string_view sql);

    sqlite3* db_;
    KeptStatements* kept_;
    std::unique_ptr<Statement> once_[kSlots];
    bool open_ = false;
    std::function<void(WriteTransaction&)> step_;
};

// A large page cache while it lives, for one large write (an import): with
// the default one, a transaction that outgrows it spills its pages into the
// WAL and writes them there again.
class LargeCache : Unique {
  public:
    explicit LargeCache(sqlite3* db);
    ~LargeCache();

  private:
    sqlite3* db_;
    std::int64_t old_ = 0;
};

// A read of several statements under one lock and from one state of the
// book: without it every statement takes and drops the file lock and checks
// the file again. Does nothing inside a transaction already open.
class ReadTransaction : Unique {
  public:
    explicit ReadTransaction(sqlite3* db);
    ~ReadTransaction();

  private:
    sqlite3* db_;
    bool open_ = false;
};

}  // namespace orv::sql
