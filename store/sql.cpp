#include "store/sql.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <utility>

#include "store/syserror.h"

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

// Texts our own SQL functions give (sqlite3_result_error): they are ours, in
// Spanish, and pass through as they are.
bool ownMessage(const std::string& msg) {
    for (unsigned char c : msg)
        if (c >= 0x80) return true;  // SQLite's own texts are ASCII
    return false;
}

EngineError folderError(const std::string& file) {
    return EngineError(kErrReadOnly, "La carpeta de '" + file +
                                         "' es de solo lectura: no se pudo guardar (la agenda "
                                         "necesita escribir un archivo de diario a su lado).");
}

// What went wrong with the disk, by SQLite's extended code.
std::string ioDetail(int rc) {
    switch (rc) {
        case SQLITE_IOERR_READ:
        case SQLITE_IOERR_SHORT_READ:
            return "no se pudo leer el archivo";
        case SQLITE_IOERR_WRITE:
            return "no se pudo escribir en el archivo";
        case SQLITE_IOERR_FSYNC:
        case SQLITE_IOERR_DIR_FSYNC:
            return "el disco no confirmó lo escrito";
        case SQLITE_IOERR_TRUNCATE:
            return "no se pudo acortar el archivo";
        case SQLITE_IOERR_FSTAT:
        case SQLITE_IOERR_ACCESS:
            return "no se pudo consultar el archivo";
        case SQLITE_IOERR_UNLOCK:
        case SQLITE_IOERR_RDLOCK:
        case SQLITE_IOERR_LOCK:
        case SQLITE_IOERR_CHECKRESERVEDLOCK:
            return "no se pudo bloquear o desbloquear el archivo";
        case SQLITE_IOERR_DELETE:
        case SQLITE_IOERR_DELETE_NOENT:
            return "no se pudo borrar el diario de la agenda";
        case SQLITE_IOERR_CLOSE:
            return "no se pudo cerrar el archivo";
        case SQLITE_IOERR_SHMOPEN:
        case SQLITE_IOERR_SHMSIZE:
        case SQLITE_IOERR_SHMLOCK:
        case SQLITE_IOERR_SHMMAP:
            return "no se pudo usar el archivo de memoria compartida (-shm) de la agenda";
        case SQLITE_IOERR_SEEK:
            return "no se pudo situar en el archivo";
        case SQLITE_IOERR_MMAP:
            return "no se pudo proyectar el archivo en memoria";
        case SQLITE_IOERR_GETTEMPPATH:
            return "no se encuentra una carpeta temporal";
        case SQLITE_IOERR_CORRUPTFS:
            return "el sistema de archivos está dañado";
        default:
            return "error de lectura o escritura";
    }
}

std::string constraintDetail(int rc, const std::string& msg) {
    std::string what;
    switch (rc) {
        case SQLITE_CONSTRAINT_NOTNULL:
            what = "un campo obligatorio está vacío";
            break;
        case SQLITE_CONSTRAINT_UNIQUE:
        case SQLITE_CONSTRAINT_PRIMARYKEY:
        case SQLITE_CONSTRAINT_ROWID:
            what = "ya hay un registro con ese valor";
            break;
        case SQLITE_CONSTRAINT_CHECK:
            what = "no pasa una comprobación de la tabla";
            break;
        case SQLITE_CONSTRAINT_FOREIGNKEY:
            what = "se refiere a un registro que no existe";
            break;
        case SQLITE_CONSTRAINT_DATATYPE:
            what = "no es del tipo del campo";
            break;
        case SQLITE_CONSTRAINT_TRIGGER:
            what = "un disparador de la agenda lo impide";
            break;
        default:
            what = "la agenda no lo admite";
            break;
    }
    // SQLite names the table and column after "failed: "; those are names,
    // not English.
    constexpr std::string_view kFailed = "failed: ";
    if (const std::size_t at = msg.find(kFailed); at != std::string::npos)
        what += " (" + msg.substr(at + kFailed.size()) + ")";
    return what;
}

// SQLite's own English text for a plain SQL error, said in Spanish.
std::string sqlDetail(const std::string& msg) {
    static const std::pair<std::string_view, std::string_view> known[] = {
        {"no such table: ", "no existe la tabla "},
        {"no such column: ", "no existe el campo "},
        {"no such function: ", "no existe la función "},
        {"no such collation sequence: ", "no existe el orden "},
        {"no such index: ", "no existe el índice "},
    };
    for (const auto& [en, es] : known)
        if (msg.compare(0, en.size(), en) == 0) return std::string(es) + msg.substr(en.size());
    return "la orden no es válida para esta agenda";
}

}  // namespace

EngineError error(sqlite3* db, int rc) {
    const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int sys = db ? sqlite3_system_errno(db) : 0;
    switch (rc & 0xFF) {
        case SQLITE_FULL:
            return EngineError(kErrDiskFull, "El disco está lleno: no se pudo guardar.");
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
            if (const std::string f = fileName(db);
                rc == SQLITE_READONLY_DIRECTORY || folderReadOnly(f))
                return folderError(f);
            if (rc == SQLITE_READONLY_DBMOVED)
                return EngineError(kErrReadOnly,
                                   "El archivo de la agenda se ha movido o borrado mientras estaba "
                                   "abierto: no se pudo guardar.");
            if (rc == SQLITE_READONLY_CANTINIT || rc == SQLITE_READONLY_CANTLOCK)
                return EngineError(kErrReadOnly,
                                   "No se puede preparar el archivo de memoria compartida (-shm) "
                                   "de la agenda: no se pudo guardar.");
            if ((rc & 0xFF) == SQLITE_CANTOPEN)
                return EngineError(kErrReadOnly,
                                   "No se puede abrir el archivo '" + fileName(db) + "'" +
                                       (sys ? ": " + systemErrorText(sys) : "") + ".");
            return EngineError(kErrReadOnly, "El archivo es de solo lectura: no se pudo guardar.");
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_PROTOCOL:
            return EngineError(kErrLocked,
                               "El archivo está bloqueado por otro programa: vuelva a intentarlo.");
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return EngineError(kErrCorrupt, "El archivo '" + fileName(db) +
                                                "' está dañado o no es una base de datos.");
        case SQLITE_IOERR: {
            // A file made read-only under an open connection fails its writes
            // as I/O errors: say so, as when it was read-only from the start.
            const std::string f = fileName(db);
            if (folderReadOnly(f)) return folderError(f);
            if (!f.empty() && ::access(f.c_str(), W_OK) != 0)
                return EngineError(kErrReadOnly,
                                   "El archivo es de solo lectura: no se pudo guardar.");
            if (sys == ENOSPC || sys == EDQUOT)
                return EngineError(kErrDiskFull, "El disco está lleno: no se pudo guardar.");
            if (rc == SQLITE_IOERR_NOMEM) break;
            return EngineError(kErrDiskIO, "Error del disco: " + ioDetail(rc) +
                                               (sys ? " (" + systemErrorText(sys) + ")" : "") +
                                               ".");
        }
        case SQLITE_CONSTRAINT:
            return EngineError(kErrConstraint, "El dato no cumple las reglas de la tabla: " +
                                                   constraintDetail(rc, msg) + ".");
        case SQLITE_TOOBIG:
            return EngineError(kErrTooBig, "El dato es demasiado grande para la agenda.");
        case SQLITE_SCHEMA:
            return EngineError(kErrLocked,
                               "Otro programa cambió la estructura de la agenda: vuelva a "
                               "intentarlo.");
        case SQLITE_INTERRUPT:
        case SQLITE_ABORT:
            return EngineError(kErrEngine, "La operación se interrumpió: no se guardó nada.");
        case SQLITE_NOLFS:
            return EngineError(kErrEngine, "El sistema no admite archivos de ese tamaño.");
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return EngineError(kErrReadOnly, "Operación no permitida en la agenda.");
        case SQLITE_ERROR:
            // Our own functions already speak Spanish (an invalid pattern...).
            if (msg.compare(0, kPatternErrorStart.size(), kPatternErrorStart) == 0)
                return EngineError(kErrInvalidPattern, msg);
            if (ownMessage(msg)) return EngineError(kErrEngine, "Error del motor de datos: " + msg);
            return EngineError(kErrEngine, "Error del motor de datos: " + sqlDetail(msg) + ".");
        default:
            break;
    }
    if ((rc & 0xFF) == SQLITE_NOMEM || rc == SQLITE_IOERR_NOMEM)
        return EngineError(kErrNoMemory, "No hay memoria suficiente: no se completó la operación.");
    return EngineError(kErrEngine,
                       "Error interno del motor de datos (código " + std::to_string(rc) + ").");
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

std::function<void()>& waitHook() {
    static std::function<void()> hook;
    return hook;
}

namespace {
enum Slot : std::size_t { kBegin, kCommit };
static_assert(kCommit + 1 == kOwnSlots);
}  // namespace

Statement& KeptStatements::get(sqlite3* db, std::size_t slot, std::string_view sql) {
    std::unique_ptr<Statement>& s = kept_[slot];
    if (!s || s->connection() != db) {
        s.reset();
        s = std::make_unique<Statement>(db, sql);
    }
    return *s;
}

Statement& WriteTransaction::statement(std::size_t slot, std::string_view sql) {
    if (kept_) return kept_->get(db_, slot, sql);
    if (!once_[slot]) once_[slot] = std::make_unique<Statement>(db_, sql);
    return *once_[slot];
}

int WriteTransaction::run(std::size_t slot, std::string_view sql) {
    Statement& st = statement(slot, sql);
    const int rc = sqlite3_step(st.handle());
    sqlite3_reset(st.handle());
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

WriteTransaction::WriteTransaction(sqlite3* db, KeptStatements* kept) : db_(db), kept_(kept) {
    // In WAL a commit lands in the journal beside the book even when the book
    // itself refuses writes (made read-only while open): refused here instead.
    if (const std::string f = fileName(db);
        !f.empty() && ::access(f.c_str(), W_OK) != 0 && sqlite3_db_readonly(db, "main") == 0)
        throw error(db, SQLITE_READONLY);
    constexpr std::string_view kBeginSql = "BEGIN IMMEDIATE";
    if (!waitHook()) {
        if (const int rc = run(kBegin, kBeginSql); rc != SQLITE_OK) throw error(db, rc);
        open_ = true;
        return;
    }
    // Another writer's lock is waited for in short steps, with the hook (the
    // windows' painting) run between them, up to the connection's own wait.
    Statement pragma(db, "PRAGMA busy_timeout");
    const int total = pragma.step() ? static_cast<int>(pragma.int64(0)) : 0;
    pragma.reset();
    constexpr int kStepMs = 50;
    sqlite3_busy_timeout(db, std::min(total, kStepMs));
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const int rc = run(kBegin, kBeginSql);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
        if (rc == SQLITE_OK) break;
        if ((rc & 0xFF) != SQLITE_BUSY || waited >= total) {
            sqlite3_busy_timeout(db, total);
            throw error(db, rc);
        }
        waitHook()();
    }
    sqlite3_busy_timeout(db, total);
    open_ = true;
}

WriteTransaction::~WriteTransaction() {
    if (open_ && !sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void WriteTransaction::commit() {
    if (step_) {
        const auto step = std::move(step_);
        step_ = nullptr;
        step(*this);
    }
    if (const int rc = run(kCommit, "COMMIT"); rc != SQLITE_OK) throw error(db_, rc);
    open_ = false;
    // Done with: a connection closed after the commit is closed at once.
    for (auto& s : once_) s.reset();
}

LargeCache::LargeCache(sqlite3* db) : db_(db) {
    Statement now(db, "PRAGMA cache_size");
    old_ = now.step() ? now.int64(0) : -2000;
    now.reset();
    exec(db, "PRAGMA cache_size = -65536");  // KiB: 64 MiB, taken only as used
}

LargeCache::~LargeCache() {
    sqlite3_exec(db_, ("PRAGMA cache_size = " + std::to_string(old_)).c_str(), nullptr, nullptr,
                 nullptr);
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
