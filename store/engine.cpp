#include "store/engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "store/ascii.h"
#include "store/collation.h"
#include "store/keys.h"
#include "store/pattern.h"
#include "store/recordsets.h"
#include "store/schema.h"
#include "store/sql.h"
#include "store/syserror.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

constexpr int kBusyTimeoutMs = 3000;

std::function<void(sqlite3*)>& connectionHook() {
    static std::function<void(sqlite3*)> hook;
    return hook;
}

// like(pattern, text[, escape]) with our wildcards. The compiled pattern is
// kept with the statement while the pattern argument stays the same.
void likeFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return;  // null: never a match
    char32_t escape = 0;
    if (argc == 3) {
        if (sqlite3_value_type(argv[2]) == SQLITE_NULL) return;
        auto e = reinterpret_cast<const char*>(sqlite3_value_text(argv[2]));
        const std::u32string esc =
            collation::decode(std::string_view(e, sqlite3_value_bytes(argv[2])));
        if (esc.size() != 1) {
            sqlite3_result_error(ctx, "El carácter de escape debe ser uno solo.", -1);
            return;
        }
        escape = esc[0];
    }
    auto* compiled = static_cast<Pattern*>(sqlite3_get_auxdata(ctx, 0));
    std::unique_ptr<Pattern> fresh;
    if (!compiled || compiled->escape() != escape) {
        auto p = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
        try {
            fresh = std::make_unique<Pattern>(std::string_view(p, sqlite3_value_bytes(argv[0])),
                                              escape);
        } catch (const EngineError& e) {
            sqlite3_result_error(ctx, e.what(), -1);
            return;
        }
        compiled = fresh.get();
    }
    auto t = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    const bool match = compiled->matches(std::string_view(t, sqlite3_value_bytes(argv[1])));
    sqlite3_result_int(ctx, match ? 1 : 0);
    // SQLite may drop the pointer at once, so it is handed over last.
    if (fresh)
        sqlite3_set_auxdata(ctx, 0, fresh.release(),
                            [](void* p) { delete static_cast<Pattern*>(p); });
}

// Everything a connection needs before its first statement.
void configure(sqlite3* db) {
    sqlite3_extended_result_codes(db, 1);
    // A misspelt "column" must be an error, not a string.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, static_cast<int*>(nullptr));
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, static_cast<int*>(nullptr));
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, static_cast<int*>(nullptr));
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    int rc = SQLITE_OK;
    for (int args : {2, 3})
        if (rc == SQLITE_OK)
            rc = sqlite3_create_function_v2(db, "like", args, flags, nullptr, likeFunction, nullptr,
                                            nullptr, nullptr);
    if (rc != SQLITE_OK) throw sql::error(db, rc);
    keys::registerFunctions(db);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // A full sync at every commit: a stored contact survives a power cut.
    // A large import's journal is cut back once it is folded in.
    sql::exec(db, "PRAGMA synchronous=FULL; PRAGMA journal_size_limit=67108864");
    if (connectionHook()) connectionHook()(db);
}

// WAL journal: a writer never shuts readers out, nor a reader a writer. Only
// for a file known to be a book, which it changes. Asked without waiting:
// while another program holds the book in the old journal, the switch waits
// for the next opening. The last connection to close folds the journal back
// into the book, so a closed book is one whole file again.
void useWal(sqlite3* db) {
    if (sqlite3_db_readonly(db, "main") != 0) return;
    sqlite3_busy_timeout(db, 0);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
}

// The writer folds its own journal back before it closes, waiting briefly for
// readers still on an older snapshot: otherwise the last program to close (a
// list that overlapped an import's commit) would pay for copying it all.
void foldJournal(sqlite3* db) {
    if (db == nullptr || sqlite3_db_readonly(db, "main") != 0 || sqlite3_total_changes64(db) == 0)
        return;
    sqlite3_busy_timeout(db, 1000);
    sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

// A WAL book in a folder we cannot write cannot get its shared-memory file:
// it is read as it is on disk, which no writer can change without that file.
bool needsImmutable(sqlite3* db) {
    sqlite3_extended_result_codes(db, 1);
    const int rc =
        sqlite3_exec(db, "SELECT count(*) FROM main.sqlite_schema", nullptr, nullptr, nullptr);
    return rc == SQLITE_READONLY_DIRECTORY || rc == SQLITE_READONLY_CANTINIT ||
           rc == SQLITE_CANTOPEN;
}

std::string immutableUri(const std::string& path) {
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20) {
            static const char hex[] = "0123456789ABCDEF";
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?immutable=1";
}

// An error met while opening is fatal, but for a lock or a busy file: once
// the other program lets go, the user can try again.
EngineError asFatal(const EngineError& e) {
    return EngineError(e.number(), e.text(), e.number() != kErrLocked);
}

}  // namespace

void setConnectionHook(std::function<void(sqlite3*)> hook) {
    connectionHook() = std::move(hook);
}

void setWaitHook(std::function<void()> hook) {
    sql::waitHook() = std::move(hook);
}

Database::Database(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

Database::~Database() {
    foldJournal(db_);
    sqlite3_close_v2(db_);
    for (sqlite3* old : retired_) sqlite3_close_v2(old);
}

bool Database::reopenIfReadOnly() {
    if (sqlite3_db_readonly(db_, "main") != 1) return false;
    sqlite3* fresh = nullptr;
    const std::string real = sqlite3_db_filename(db_, "main");
    if (sqlite3_open_v2(real.c_str(), &fresh, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_db_readonly(fresh, "main") != 0) {
        sqlite3_close_v2(fresh);
        return false;  // still read-only: the write reports it
    }
    try {
        configure(fresh);
        useWal(fresh);
    } catch (const EngineError&) {
        sqlite3_close_v2(fresh);
        return false;
    }
    // Record sets may still hold statements on the old handle.
    retired_.push_back(db_);
    db_ = fresh;
    // Keys the old connection made for itself are not this one's.
    try {
        if (keys::oldSchema(db_)) keys::registerOldCollation(db_, true);
        keysSchema_ = keys::prepare(db_);
    } catch (const EngineError&) {
        keysSchema_ = "main";  // the write reports what is wrong
    }
    return true;
}

void Database::setBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(db_, milliseconds);
}

void Database::loadColumns(bool fatal) {
    try {
        sql::Statement t(db_,
                         "SELECT name FROM sqlite_schema WHERE type = 'table' AND name = "
                         "'Registros' COLLATE NOCASE");
        if (!t.step())
            throw EngineError(kErrTableNotFound, "No se encuentra la tabla '" +
                                                     std::string(schema::kTable) + "' en '" +
                                                     path_ + "'.");
        sql::Statement info(db_, "PRAGMA table_info(\"Registros\")");
        columns_.clear();
        int keyColumns = 0;
        bool integerKey = false;
        while (info.step()) {
            // Column names are case-blind in SQL: "nombre" is Nombre, and is
            // shown and bound as such.
            std::string name(info.text(1));
            for (std::string_view want : schema::kColumns)
                if (ascii::iequals(name, want)) name = want;
            if (info.int64(5) != 0) {
                ++keyColumns;
                integerKey = name == schema::kCode && ascii::iequals(info.text(2), "INTEGER");
            }
            columns_.push_back(std::move(name));
        }
        for (std::string_view want : schema::kColumns) {
            bool found = false;
            for (const auto& c : columns_) found = found || c == want;
            if (!found)
                throw EngineError(kErrFieldNotFound, "No se encuentra el campo '" +
                                                         std::string(want) + "' en la tabla '" +
                                                         std::string(schema::kTable) + "'.");
        }
        // Codigo must be the row's own key: unique, never null, a whole
        // number. Any other shape would list rows twice, or not at all.
        sqlite3_stmt* probe = nullptr;
        const bool rowidTable = sqlite3_prepare_v2(db_, "SELECT rowid FROM main.Registros LIMIT 0",
                                                   -1, &probe, nullptr) == SQLITE_OK;
        sqlite3_finalize(probe);
        if (keyColumns != 1 || !integerKey || !rowidTable)
            throw EngineError(kErrTableShape,
                              "La tabla '" + std::string(schema::kTable) +
                                  "' no se puede usar: el campo 'Codigo' debe ser su clave "
                                  "(INTEGER PRIMARY KEY), un número entero único para cada "
                                  "contacto.");
    } catch (const EngineError& e) {
        if (fatal) throw asFatal(e);
        throw;
    }
}

std::shared_ptr<Database> Database::open(const std::string& path, bool maintain) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (path.empty() || !fs::exists(st))
        throw EngineError(kErrFileNotFound, "No se encuentra el archivo '" + path + "'.", true);
    if (!fs::is_regular_file(st))
        throw EngineError(kErrNotADatabase, "El archivo '" + path + "' no es una base de datos.",
                          true);
    // An absolute path: a name such as ":memory:" or "file:..." is a file here.
    const std::string real = fs::absolute(path, ec).string();
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(
        real.c_str(), &raw, maintain ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(raw);
        throw EngineError(kErrNotADatabase, "No se puede abrir el archivo '" + path + "'.", true);
    }
    if (needsImmutable(raw)) {
        sqlite3_close_v2(raw);
        raw = nullptr;
        if (sqlite3_open_v2(immutableUri(real).c_str(), &raw,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(raw);
            throw EngineError(kErrNotADatabase, "No se puede abrir el archivo '" + path + "'.",
                              true);
        }
    }
    std::shared_ptr<Database> db(new Database(raw, path));
    try {
        configure(raw);
        db->loadColumns(true);
        // A book of the previous release is read with its order until it is
        // converted.
        if (keys::oldSchema(raw)) keys::registerOldCollation(raw, true);
        if (maintain) {
            useWal(raw);
            db->keysSchema_ = keys::prepare(raw);
        }
    } catch (const EngineError& e) {
        if (e.number() == kErrCorrupt)
            throw EngineError(kErrNotADatabase,
                              "El archivo '" + path + "' no es una base de datos válida.", true);
        throw asFatal(e);
    }
    return db;
}

std::shared_ptr<Database> Database::create(const std::string& path) {
    // O_EXCL: never overwrite a book, even one that appears meanwhile. The
    // owner's alone whatever the umask (SQLite gives its side files the
    // book's mode).
    const int fd =
        path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            throw EngineError(kErrFileExists, "El archivo '" + path + "' ya existe.");
        const int err = errno;
        throw EngineError(kErrEngine, "No se puede crear el archivo '" + path +
                                          "': " + systemErrorText(err) + ".");
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    std::error_code ec;
    const std::string real = fs::absolute(path, ec).string();
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(real.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::shared_ptr<Database> db;
    try {
        if (rc != SQLITE_OK) throw sql::error(raw, rc);
        db.reset(new Database(raw, path));
        raw = nullptr;
        configure(db->handle());
        useWal(db->handle());
        sql::WriteTransaction t(db->handle());
        db->exec(schema::kCreateSql);
        t.commit();
        db->loadColumns(false);
        db->keysSchema_ = keys::prepare(db->handle());
    } catch (...) {
        if (raw) sqlite3_close_v2(raw);
        db.reset();
        fs::remove(path, ec);  // no half-made book is left behind
        throw;
    }
    return db;
}

const std::string& Database::freshKeys() {
    // Another program (or our own card) changed rows since they were keyed.
    if (sqlite3_get_autocommit(db_) && keys::pending(db_)) keysSchema_ = keys::prepare(db_);
    return keysSchema_;
}

void Database::exec(const std::string& text) {
    sql::exec(db_, text);
}

std::unique_ptr<Recordset> Database::openRecordset(const std::string& query) {
    const detail::ParsedQuery q = detail::parseQuery(query);
    if (q.wholeTable) return detail::openTableRecordset(shared_from_this());
    return openSelect(q);
}

std::unique_ptr<QueryRecordset> Database::openQuery(const std::string& query) {
    const detail::ParsedQuery q = detail::parseQuery(query);
    if (q.wholeTable) throw EngineError(kErrInvalidQuery, "Consulta no válida: '" + query + "'.");
    return openSelect(q);
}

std::unique_ptr<QueryRecordset> Database::openSelect(const detail::ParsedQuery& q) {
    if (q.pattern) Pattern check(*q.pattern);  // an invalid pattern fails before any read
    return detail::openQueryRecordset(shared_from_this(), q);
}

int Recordset::fieldIndex(const std::string& name) const {
    const auto& names = fieldNames();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (ascii::iequals(names[i], name)) return static_cast<int>(i);
    return -1;
}

namespace {
[[noreturn]] void readOnly() {
    throw EngineError(kErrEngine, "El conjunto de registros es de solo lectura.");
}
}  // namespace

void Recordset::AddNew() {
    readOnly();
}
void Recordset::Edit() {
    readOnly();
}
void Recordset::Update(const std::vector<std::optional<Value>>&, bool) {
    readOnly();
}
void Recordset::CancelUpdate() {
    readOnly();
}
void Recordset::Delete() {
    readOnly();
}
bool Recordset::FindFirst(const std::string&) {
    readOnly();
}
bool Recordset::FindCode(std::int64_t) {
    readOnly();
}

}  // namespace orv
