#include "store/sql.h"

#include <unistd.h>

namespace orv::sql {

namespace {

constexpr std::string_view kPatternErrorStart = "Patrón no válido";

std::string fileName(sqlite3* db) {
    const char* f = db ? sqlite3_db_filename(db, "main") : nullptr;
    return f ? f : "";
}

// The file can be written but not its folder, where SQLite keeps the
// journal of every change beside the book.
bool folderReadOnly(const std::string& file) {
    if (file.empty() || ::access(file.c_str(), W_OK) != 0) return false;
    const std::size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : file.substr(0, slash);
    return ::access(dir.c_str(), W_OK) != 0;
}

EngineError folderError(const std::string& file) {
    return EngineError(kErrReadOnly, "La carpeta de '" + file +
                                         "' es de solo lectura: no se pudo guardar (la agenda "
                                         "necesita escribir un archivo de diario a su lado).");
}

}  // namespace

EngineError error(sqlite3* db, int rc) {
    const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    switch (rc & 0xFF) {
        case SQLITE_FULL:
            return EngineError(kErrDiskFull, "El disco está lleno: no se pudo guardar.");
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
            if (const std::string f = fileName(db);
                rc == SQLITE_READONLY_DIRECTORY || folderReadOnly(f))
                return folderError(f);
            if ((rc & 0xFF) == SQLITE_CANTOPEN) break;
            return EngineError(kErrReadOnly, "El archivo es de solo lectura: no se pudo guardar.");
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return EngineError(kErrLocked,
                               "El archivo está bloqueado por otro programa: vuelva a intentarlo.");
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return EngineError(kErrCorrupt, "El archivo '" + fileName(db) +
                                                "' está dañado o no es una base de datos.");
        case SQLITE_IOERR:
            // A file made read-only under an open connection fails its writes
            // as I/O errors: say so, as when it was read-only from the start.
            if (const std::string f = fileName(db); folderReadOnly(f)) return folderError(f);
            if (const std::string f = fileName(db); !f.empty() && ::access(f.c_str(), W_OK) != 0)
                return EngineError(kErrReadOnly,
                                   "El archivo es de solo lectura: no se pudo guardar.");
            break;
        case SQLITE_CONSTRAINT:
            return EngineError(kErrConstraint, "El dato no cumple las reglas de la tabla: " + msg);
        default:
            break;
    }
    if (msg.compare(0, kPatternErrorStart.size(), kPatternErrorStart) == 0)
        return EngineError(kErrInvalidPattern, msg);
    return EngineError(kErrEngine, "Error del motor de datos: " + msg);
}

void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    sqlite3_free(err);
    if (rc != SQLITE_OK) throw error(db, rc);
}

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &s_, nullptr);
    if (rc != SQLITE_OK) throw error(db, rc);
}

bool Statement::step() {
    const int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    EngineError e = error(db_, rc);
    sqlite3_reset(s_);
    throw e;
}

WriteTransaction::WriteTransaction(sqlite3* db) : db_(db) {
    exec(db, "BEGIN IMMEDIATE");
    open_ = true;
}

WriteTransaction::~WriteTransaction() {
    if (open_ && !sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void WriteTransaction::commit() {
    if (marked_) {
        // Only this transaction has written since the mark: it holds the write lock.
        Statement last(db_, "SELECT max(Id) FROM main.OrvHistoria");
        if (last.step() && !last.isNull(0) && last.int64(0) >= firstMarked_) {
            // A few rows take the label in place, on the page just written; many
            // take one range row, so that an import does not write its rows twice.
            constexpr std::int64_t kInPlace = 64;
            const bool few = last.int64(0) - firstMarked_ < kInPlace;
            Statement s(db_, few ? "UPDATE main.OrvHistoria SET Origen = ?3 WHERE Id >= ?1"
                                 : "INSERT INTO main.OrvHistoriaOrigen (Desde, Hasta, Origen) "
                                   "VALUES (?1, ?2, ?3)");
            s.bind(1, firstMarked_);
            if (!few) s.bind(2, last.int64(0));
            s.bind(3, source_);
            // Our own bookkeeping: the caller still sees its own last insert.
            const sqlite3_int64 callers = sqlite3_last_insert_rowid(db_);
            s.step();
            sqlite3_set_last_insert_rowid(db_, callers);
        }
    }
    marked_ = false;
    exec(db_, "COMMIT");
    open_ = false;
}

void WriteTransaction::markSource(const char* who) {
    if (sqlite3_table_column_metadata(db_, "main", "OrvHistoria", "Origen", nullptr, nullptr,
                                      nullptr, nullptr, nullptr) != SQLITE_OK)
        return;
    Statement s(db_, "SELECT coalesce(max(Id), 0) + 1 FROM main.OrvHistoria");
    s.step();
    firstMarked_ = s.int64(0);
    source_ = who;
    marked_ = true;
}

ReadTransaction::ReadTransaction(sqlite3* db) : db_(db) {
    if (!sqlite3_get_autocommit(db)) return;
    exec(db, "BEGIN");
    open_ = true;
}

ReadTransaction::~ReadTransaction() {
    if (open_ && !sqlite3_get_autocommit(db_) &&
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace orv::sql
