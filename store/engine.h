#pragma once
// The database engine: an SQLite file holding the contact table, opened with
// our pattern matching registered and the sort keys beside the table brought
// up to date, and the record sets that the windows read and change.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/error.h"

struct sqlite3;

namespace orv {

class Recordset;
class QueryRecordset;
namespace detail {
struct ParsedQuery;
}

// Test seam: runs on every new connection once it is configured, so that a
// test can limit the file's size or make it refuse writes. Empty clears it.
void setConnectionHook(std::function<void(sqlite3*)> hook);
// Runs between the short steps in which a writer waits for another
// program's write lock (the windows paint meanwhile). Empty: one plain wait.
void setWaitHook(std::function<void()> hook);

// One open connection to a contact book. Record sets keep it alive.
class Database : public std::enable_shared_from_this<Database> {
  public:
    // Opens an existing file read/write (shared). Never creates anything:
    // a missing file is kErrFileNotFound, a file that is not a database
    // kErrNotADatabase, a missing table kErrTableNotFound, a missing column
    // kErrFieldNotFound; all four fatal.
    // Brings the book's sort keys up to date first (and converts a book of
    // the previous release); without `maintain` the file is only read.
    static std::shared_ptr<Database> open(const std::string& path, bool maintain = true);
    // Creates a new, empty contact book; refuses an existing file.
    static std::shared_ptr<Database> create(const std::string& path);

    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* handle() const { return db_; }
    const std::string& path() const { return path_; }
    // The columns of Registros in the table's own order.
    const std::vector<std::string>& columns() const { return columns_; }
    // How long a write waits for another connection's lock before kErrLocked.
    void setBusyTimeout(int milliseconds);

    // Opens a record set on a query text in the engine's dialect:
    //   "Registros"  (a bare table name: the whole table, updatable, in code order)
    //   "Select * From Registros [WHERE Nombre like '<pattern>'][ORDER BY Nombre]"
    // A pattern's single quote is written doubled. An invalid pattern is
    // kErrInvalidPattern; another text kErrInvalidQuery.
    std::unique_ptr<Recordset> openRecordset(const std::string& query);
    // The same for a select text, typed as what it gives; the bare table
    // name is kErrInvalidQuery here.
    std::unique_ptr<QueryRecordset> openQuery(const std::string& query);

    // The schema ("main" or "temp") whose OrvClaves holds keys of every row
    // as the book is now; rekeys rows changed since, when it can.
    const std::string& freshKeys();

    // Runs SQL with no result rows (for tools and tests).
    void exec(const std::string& sql);

    // A file that could only be read when it was opened keeps its
    // connection read-only after it becomes writable. Writers call this
    // first: it swaps in a writable connection when the file now allows
    // one, and returns whether it did. Statements prepared on the old
    // handle stay valid until the Database goes.
    bool reopenIfReadOnly();

  private:
    explicit Database(sqlite3* db, std::string path);
    std::unique_ptr<QueryRecordset> openSelect(const detail::ParsedQuery& q);
    void loadColumns(bool fatal);
    sqlite3* db_;
    std::vector<sqlite3*> retired_;
    std::string path_;
    std::vector<std::string> columns_;
    std::string keysSchema_ = "main";
};

// What a bound control needs: the current row's fields as text, and its texts
// back at Update. Record sets notify their observer after every move.
class RecordsetObserver {
  public:
    virtual ~RecordsetObserver() = default;
    virtual void currentChanged() = 0;
};

// A dynaset: rows in query order, the first current after opening.
class Recordset {
  public:
    virtual ~Recordset() = default;

    // Column names in the table's own order.
    virtual const std::vector<std::string>& fieldNames() const = 0;
    int fieldIndex(const std::string& name) const;  // -1 when absent

    // 0 exactly when there are no rows; otherwise the rows reached so far (at least 1).
    virtual long RecordCount() = 0;
    // A current row exists (false on an empty set, after Delete, past the end).
    virtual bool hasCurrent() const = 0;
    // The current row's values (the pending row's while AddNew/Edit is open).
    virtual Value value(int field) const = 0;
    Value value(const std::string& name) const { return value(fieldIndex(name)); }

    virtual void MoveFirst() = 0;
    // Reopens from the record source; first row current.
    virtual void Requery() = 0;

    // Updatable record sets only (the whole table). Read-only ones throw kErrEngine.
    virtual bool updatable() const { return false; }
    enum class EditMode { None, Edit, AddNew };
    virtual EditMode editMode() const { return EditMode::None; }
    virtual void AddNew();
    // A current row deleted meanwhile by another writer: kErrRecordDeleted,
    // and the first row becomes current.
    virtual void Edit();
    // Stores the pending row. `values` gives, per field, the text to store (or
    // leave nullopt-in-outer to keep the field as it is). After a new row the
    // previously current row is current again. On failure the pending row is
    // kept, so the caller can retry or cancel.
    // An edit never stores over what it did not read: a field given here that
    // another writer changed since is DataChangedError; a row deleted since is
    // kErrRecordDeleted, unless `again`, which stores it anew under its own code.
    virtual void Update(const std::vector<std::optional<Value>>& values, bool again = false);
    virtual void CancelUpdate();
    // Deletes the current row only as last read: changed since, it is read
    // anew (DataChangedError); deleted since, kErrRecordDeleted and the first
    // row becomes current.
    virtual void Delete();
    // Criterion "Codigo = <number>". No match: the first row becomes current.
    // Returns whether a row matched.
    virtual bool FindFirst(const std::string& criterion);
    // The same for a code given as a number.
    virtual bool FindCode(std::int64_t code);

    void setObserver(RecordsetObserver* o) { observer_ = o; }

  protected:
    void notify() {
        if (observer_) observer_->currentChanged();
    }

  private:
    RecordsetObserver* observer_ = nullptr;
};

// The result of a prefix query, for the grid: read-only, read in pages as
// asked for, never the whole result at once.
class QueryRecordset : public Recordset {
  public:
    // Rows whose keys have been read so far.
    virtual std::size_t rowsFetched() const = 0;
    virtual bool canFetchMore() const = 0;
    // Reads up to n more row keys; returns how many were read.
    virtual std::size_t fetchMore(std::size_t n) = 0;
    // Reads keys until the end (used to jump to the last row).
    virtual void fetchAll() = 0;
    // A fetched row's value, by row index (rows are cached by page).
    virtual Value valueAt(std::size_t row, int field) = 0;
    virtual std::int64_t codeAt(std::size_t row) = 0;
    // Makes a fetched row current.
    virtual void setCurrentRow(std::size_t row) = 0;
    virtual std::size_t currentRow() const = 0;
};

}  // namespace orv
