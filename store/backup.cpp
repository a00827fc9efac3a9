#include "store/backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "store/engine.h"
#include "store/history.h"
#include "store/sql.h"
#include "store/syserror.h"

namespace orv {

namespace {

namespace fs = std::filesystem;

// ---- A database file reached through a descriptor ----------------------
//
// SQLite opens files by name, and a file with no name (O_TMPFILE) has none
// it could use: its name in /proc is a link SQLite would follow to a name
// that does not exist. This small VFS hands SQLite the descriptor itself for
// names "orv-fd:N". It knows no journal, no WAL and no locks: it serves
// files that only this process sees (a copy being made) or reads files no
// one writes (a copy in copias/); everything else goes to the default VFS.

constexpr const char* kVfsName = "orv-fd";
constexpr std::string_view kPrefix = "orv-fd:";

struct FdFile {
    sqlite3_file base;
    int fd;
};

int fdOf(sqlite3_file* f) {
    return reinterpret_cast<FdFile*>(f)->fd;
}

int fdClose(sqlite3_file*) {
    return SQLITE_OK;  // the descriptor is the caller's
}

int fdRead(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    char* p = static_cast<char*>(buffer);
    int got = 0;
    while (got < amount) {
        const ssize_t n = ::pread(fdOf(f), p + got, static_cast<std::size_t>(amount - got),
                                  static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return SQLITE_IOERR_READ;
        if (n == 0) break;
        got += static_cast<int>(n);
    }
    if (got == amount) return SQLITE_OK;
    std::memset(p + got, 0, static_cast<std::size_t>(amount - got));
    return SQLITE_IOERR_SHORT_READ;
}

int fdWrite(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
    const char* p = static_cast<const char*>(buffer);
    int put = 0;
    while (put < amount) {
        const ssize_t n = ::pwrite(fdOf(f), p + put, static_cast<std::size_t>(amount - put),
                                   static_cast<off_t>(offset + put));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return errno == ENOSPC ? SQLITE_FULL : SQLITE_IOERR_WRITE;
        put += static_cast<int>(n);
    }
    return SQLITE_OK;
}

int fdTruncate(sqlite3_file* f, sqlite3_int64 size) {
    return ::ftruncate(fdOf(f), static_cast<off_t>(size)) == 0 ? SQLITE_OK : SQLITE_IOERR_TRUNCATE;
}

int fdSync(sqlite3_file* f, int) {
    return ::fsync(fdOf(f)) == 0 ? SQLITE_OK : SQLITE_IOERR_FSYNC;
}

int fdFileSize(sqlite3_file* f, sqlite3_int64* size) {
    struct stat sb;
    if (::fstat(fdOf(f), &sb) != 0) return SQLITE_IOERR_FSTAT;
    *size = sb.st_size;
    return SQLITE_OK;
}

int fdLock(sqlite3_file*, int) {
    return SQLITE_OK;
}

int fdCheckReserved(sqlite3_file*, int* reserved) {
    *reserved = 0;
    return SQLITE_OK;
}

int fdFileControl(sqlite3_file*, int, void*) {
    return SQLITE_NOTFOUND;
}

int fdSectorSize(sqlite3_file*) {
    return 4096;
}

int fdCharacteristics(sqlite3_file*) {
    return 0;
}

const sqlite3_io_methods kFdMethods = [] {
    sqlite3_io_methods m{};
    m.iVersion = 1;
    m.xClose = fdClose;
    m.xRead = fdRead;
    m.xWrite = fdWrite;
    m.xTruncate = fdTruncate;
    m.xSync = fdSync;
    m.xFileSize = fdFileSize;
    m.xLock = fdLock;
    m.xUnlock = fdLock;
    m.xCheckReservedLock = fdCheckReserved;
    m.xFileControl = fdFileControl;
    m.xSectorSize = fdSectorSize;
    m.xDeviceCharacteristics = fdCharacteristics;
    return m;
}();

sqlite3_vfs* defaultVfs() {
    static sqlite3_vfs* const vfs = sqlite3_vfs_find(nullptr);
    return vfs;
}

bool isOurs(const char* name) {
    return name && std::string_view(name).starts_with(kPrefix);
}

int vfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    if (!isOurs(name)) return defaultVfs()->xOpen(defaultVfs(), name, file, flags, outFlags);
    // Only the database itself: a journal named after it must never be
    // made under the default VFS.
    file->pMethods = nullptr;
    if (!(flags & SQLITE_OPEN_MAIN_DB)) return SQLITE_CANTOPEN;
    int fd = -1;
    if (std::sscanf(name + kPrefix.size(), "%d", &fd) != 1 || fd < 0) return SQLITE_CANTOPEN;
    auto* f = reinterpret_cast<FdFile*>(file);
    f->fd = fd;
    f->base.pMethods = &kFdMethods;
    if (outFlags) *outFlags = flags;
    return SQLITE_OK;
}

int vfsDelete(sqlite3_vfs*, const char* name, int syncDir) {
    if (isOurs(name)) return SQLITE_OK;
    return defaultVfs()->xDelete(defaultVfs(), name, syncDir);
}

int vfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    if (!isOurs(name)) return defaultVfs()->xAccess(defaultVfs(), name, flags, out);
    *out = 0;  // no journal, no WAL beside it
    return SQLITE_OK;
}

int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    if (!isOurs(name)) return defaultVfs()->xFullPathname(defaultVfs(), name, size, out);
    std::snprintf(out, static_cast<std::size_t>(size), "%s", name);
    return SQLITE_OK;
}

void* vfsDlOpen(sqlite3_vfs*, const char* name) {
    return defaultVfs()->xDlOpen(defaultVfs(), name);
}
void vfsDlError(sqlite3_vfs*, int n, char* out) {
    defaultVfs()->xDlError(defaultVfs(), n, out);
}
void (*vfsDlSym(sqlite3_vfs*, void* h, const char* sym))(void) {
    return defaultVfs()->xDlSym(defaultVfs(), h, sym);
}
void vfsDlClose(sqlite3_vfs*, void* h) {
    defaultVfs()->xDlClose(defaultVfs(), h);
}
int vfsRandomness(sqlite3_vfs*, int n, char* out) {
    return defaultVfs()->xRandomness(defaultVfs(), n, out);
}
int vfsSleep(sqlite3_vfs*, int us) {
    return defaultVfs()->xSleep(defaultVfs(), us);
}
int vfsCurrentTime(sqlite3_vfs*, double* t) {
    return defaultVfs()->xCurrentTime(defaultVfs(), t);
}
int vfsLastError(sqlite3_vfs*, int n, char* out) {
    return defaultVfs()->xGetLastError(defaultVfs(), n, out);
}
int vfsCurrentTime64(sqlite3_vfs*, sqlite3_int64* t) {
    return defaultVfs()->xCurrentTimeInt64(defaultVfs(), t);
}

void registerVfs() {
    static std::once_flag once;
    std::call_once(once, [] {
        static sqlite3_vfs vfs{};
        vfs.iVersion = 2;
        vfs.szOsFile = std::max<int>(sizeof(FdFile), defaultVfs()->szOsFile);
        vfs.mxPathname = defaultVfs()->mxPathname;
        vfs.zName = kVfsName;
        vfs.xOpen = vfsOpen;
        vfs.xDelete = vfsDelete;
        vfs.xAccess = vfsAccess;
        vfs.xFullPathname = vfsFullPathname;
        vfs.xDlOpen = vfsDlOpen;
        vfs.xDlError = vfsDlError;
        vfs.xDlSym = vfsDlSym;
        vfs.xDlClose = vfsDlClose;
        vfs.xRandomness = vfsRandomness;
        vfs.xSleep = vfsSleep;
        vfs.xCurrentTime = vfsCurrentTime;
        vfs.xGetLastError = vfsLastError;
        vfs.xCurrentTimeInt64 = vfsCurrentTime64;
        sqlite3_vfs_register(&vfs, 0);
    });
}

sqlite3* openFd(int fd, int flags) {
    registerVfs();
    sqlite3* db = nullptr;
    const std::string name = std::string(kPrefix) + std::to_string(fd);
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags, kVfsName);
    if (rc != SQLITE_OK) {
        const EngineError e = sql::error(db, rc);
        sqlite3_close_v2(db);
        throw e;
    }
    return db;
}

// ---- Copies ------------------------------------------------------------

[[noreturn]] void systemFailure(const std::string& what, int err) {
    throw EngineError(kErrEngine, what + ": " + systemErrorText(err) + ".");
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

class Connection {
  public:
    explicit Connection(sqlite3* db = nullptr) : db_(db) {}
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    sqlite3* get() const { return db_; }
    void reset(sqlite3* db) {
        close();
        db_ = db;
    }
    void close() {
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
    }

  private:
    sqlite3* db_;
};

// A database in rollback form: a copy opened later needs no side files, and
// can be read straight through a descriptor.
void rollbackForm(int fd) {
    unsigned char version[2];
    if (::pread(fd, version, 2, 18) == 2 && (version[0] == 2 || version[1] == 2)) {
        const unsigned char legacy[2] = {1, 1};
        if (::pwrite(fd, legacy, 2, 18) != 2) systemFailure("No se puede escribir la copia", errno);
    }
}

// A new file in `dir` with no name: the system removes it if this process
// ends before it is linked. Where the file system has no such files, a
// name of our own, removed on failure.
struct Fresh {
    Fd fd;
    std::string name;  // empty: no name yet
};

void makeFresh(int dir, Fresh& out) {
    int fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::random_device seed;
        std::mt19937 rng(seed());
        for (int tries = 0; tries < 100 && fd < 0; ++tries) {
            char name[40];
            std::snprintf(name, sizeof name, ".orvane-copia-%08x", static_cast<unsigned>(rng()));
            fd = ::openat(dir, name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0)
                out.name = name;
            else if (errno != EEXIST)
                break;
        }
    }
    if (fd < 0) systemFailure("No se puede crear la copia", errno);
    out.fd.reset(fd);
    // The owner's alone whatever the umask.
    ::fchmod(fd, 0600);
}

// Gives the finished file its name; false when that name is taken.
bool link(int dir, Fresh& f, const std::string& name) {
    if (f.name.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(f.fd.get());
        if (::linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
    } else {
        if (::renameat2(dir, f.name.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) {
            f.name.clear();
            return true;
        }
    }
    if (errno == EEXIST) return false;
    systemFailure("No se puede dar nombre a la copia '" + name + "'", errno);
}

// Copies `book` into a fresh file of `dir` and links it under the first
// free name `nextName` gives. With `mark`, the copy records its own inode
// number, which tells our copies from any other file. Returns the name.
std::string copyInto(const std::string& book, int dir, const std::function<std::string()>& nextName,
                     bool mark) {
    Connection src;
    {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(book.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
        src.reset(raw);
        if (rc != SQLITE_OK) throw sql::error(raw, rc);
    }
    sqlite3_busy_timeout(src.get(), 5000);
    // Is it a book at all, before anything is made.
    sql::exec(src.get(), "SELECT count(*) FROM main.sqlite_schema");

    Fresh fresh;
    makeFresh(dir, fresh);
    try {
        {
            Connection out(openFd(fresh.fd.get(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
            sql::exec(out.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
            sqlite3_backup* b = sqlite3_backup_init(out.get(), "main", src.get(), "main");
            if (!b) throw sql::error(out.get(), sqlite3_errcode(out.get()));
            // All pages in one step: one shared lock, so one state of the book.
            // A writer holding the lock is waited for.
            int rc = SQLITE_OK;
            for (int tries = 0;; ++tries) {
                rc = sqlite3_backup_step(b, -1);
                if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && tries < 500) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    continue;
                }
                break;
            }
            sqlite3_backup_finish(b);
            if (rc != SQLITE_DONE) throw sql::error(out.get(), rc);
        }
        src.close();
        rollbackForm(fresh.fd.get());
        if (mark) {
            struct stat sb;
            if (::fstat(fresh.fd.get(), &sb) != 0)
                systemFailure("No se puede leer la copia", errno);
            Connection out(openFd(fresh.fd.get(), SQLITE_OPEN_READWRITE));
            sql::exec(out.get(),
                      "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                      "CREATE TABLE IF NOT EXISTS OrvMeta (Nombre TEXT PRIMARY KEY, Valor TEXT)");
            sql::Statement s(out.get(),
                             "INSERT OR REPLACE INTO OrvMeta (Nombre, Valor) VALUES ('copia', ?1)");
            s.bind(1, std::to_string(sb.st_ino));
            s.step();
        }
        if (::fsync(fresh.fd.get()) != 0) systemFailure("No se puede escribir la copia", errno);
        std::string name;
        do name = nextName();
        while (!link(dir, fresh, name));
        ::fsync(dir);
        return name;
    } catch (...) {
        if (!fresh.name.empty()) ::unlinkat(dir, fresh.name.c_str(), 0);
        throw;
    }
}

// The book's real path: a link to it (the installed program's) is followed,
// so that its copies lie beside the book itself.
fs::path realBook(const std::string& book) {
    std::error_code ec;
    fs::path p = fs::canonical(book, ec);
    if (ec) p = fs::absolute(book, ec);
    return p;
}

std::string stamp() {
    const std::int64_t ms = history::nowMs();
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
    std::snprintf(text + n, sizeof text - n, "%03d", static_cast<int>(ms % 1000));
    return text;
}

// Names that copies of the book `bookName` take: "orv-20261207-143005123.mdb".
bool copyName(const std::string& name, const std::string& bookName) {
    const fs::path b(bookName);
    const std::string head = b.stem().string() + "-", ext = b.extension().string();
    return name.size() > head.size() + ext.size() && name.starts_with(head) && name.ends_with(ext);
}

std::vector<std::string> namesLike(int dir, const std::string& bookName) {
    std::vector<std::string> out;
    const int again = ::dup(dir);
    DIR* d = again < 0 ? nullptr : ::fdopendir(again);
    if (!d) {
        if (again >= 0) ::close(again);
        return out;
    }
    ::rewinddir(d);
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        struct stat sb;
        if (copyName(name, bookName) &&
            ::fstatat(dir, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(sb.st_mode))
            out.push_back(name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

namespace backup {

sqlite3* openReadOnly(int fd) {
    // A file in WAL form (a user's copy of a book) is read as it is on disk:
    // the descriptor's VFS has no shared memory to read a journal with.
    char head[20];
    if (::pread(fd, head, sizeof head, 0) == sizeof head && head[18] == 2) {
        sqlite3* db = nullptr;
        const std::string uri = "file:/proc/self/fd/" + std::to_string(fd) + "?immutable=1";
        const int rc =
            sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
        if (rc != SQLITE_OK) {
            const EngineError e = sql::error(db, rc);
            sqlite3_close_v2(db);
            throw e;
        }
        return db;
    }
    return openFd(fd, SQLITE_OPEN_READONLY);
}

bool ours(int dir, const std::string& name) {
    Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat sb;
    if (fd.get() < 0 || ::fstat(fd.get(), &sb) != 0 || !S_ISREG(sb.st_mode)) return false;
    // A database in rollback form (ours are), before SQLite reads it.
    char head[20];
    if (::pread(fd.get(), head, sizeof head, 0) != sizeof head ||
        std::memcmp(head, "SQLite format 3", 16) != 0 || head[18] != 1 || head[19] != 1)
        return false;
    try {
        Connection db(openReadOnly(fd.get()));
        sql::Statement s(db.get(), "SELECT Valor FROM main.OrvMeta WHERE Nombre = 'copia'");
        return s.step() && s.text(0) == std::to_string(sb.st_ino);
    } catch (const EngineError&) {
        return false;
    }
}

std::vector<std::string> ourCopies(int dir, const std::string& bookName) {
    std::vector<std::string> out;
    for (const std::string& name : namesLike(dir, bookName))
        if (ours(dir, name)) out.push_back(name);
    return out;
}

std::vector<std::string> otherFiles(int dir, const std::string& bookName) {
    std::vector<std::string> out;
    for (const std::string& name : namesLike(dir, bookName))
        if (!ours(dir, name)) out.push_back(name);
    return out;
}

int openCopies(const std::string& book, std::string* path) {
    const fs::path real = realBook(book);
    const fs::path folder = real.parent_path() / "copias";
    if (path) *path = folder.string();
    Fd parent(::open(real.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0)
        systemFailure("No se puede abrir la carpeta '" + folder.string() + "'", errno);
    for (int tries = 0; tries < 3; ++tries) {
        const int fd =
            ::openat(parent.get(), "copias", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return fd;
        const int err = errno;
        struct stat sb;
        if (::fstatat(parent.get(), "copias", &sb, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(sb.st_mode))
                throw EngineError(kErrEngine, "La carpeta de copias '" + folder.string() +
                                                  "' es un enlace simbólico: no se usa. Quítelo, "
                                                  "o póngale otro nombre, y repita.");
            if (!S_ISDIR(sb.st_mode))
                throw EngineError(kErrEngine, "'" + folder.string() +
                                                  "' no es una carpeta: no se pueden guardar "
                                                  "copias en ella.");
            systemFailure("No se puede abrir la carpeta '" + folder.string() + "'", err);
        }
        if (::mkdirat(parent.get(), "copias", 0700) != 0 && errno != EEXIST)
            systemFailure("No se puede crear la carpeta '" + folder.string() + "'", errno);
        const int made =
            ::openat(parent.get(), "copias", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (made >= 0) {
            // Ours, just made: for the owner alone whatever the umask.
            struct stat mine;
            if (::fstat(made, &mine) == 0 && mine.st_uid == ::geteuid() &&
                (mine.st_mode & 07777) != 0700)
                ::fchmod(made, 0700);
            return made;
        }
    }
    systemFailure("No se puede abrir la carpeta '" + folder.string() + "'", errno);
}

}  // namespace backup

namespace history {

void backup(const std::string& book, const std::string& dest) {
    struct stat sb;
    if (::lstat(dest.c_str(), &sb) == 0)
        throw EngineError(kErrFileExists, "El archivo '" + dest + "' ya existe.");
    const fs::path to(dest);
    const std::string folder = to.has_parent_path() ? to.parent_path().string() : ".";
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) systemFailure("No se puede abrir la carpeta '" + folder + "'", errno);
    const std::string name = to.filename().string();
    bool first = true;
    copyInto(
        book, dir.get(),
        [&] {
            if (!first) throw EngineError(kErrFileExists, "El archivo '" + dest + "' ya existe.");
            first = false;
            return name;
        },
        false);
}

std::string keepCopy(sqlite3* db) {
    const char* name = sqlite3_db_filename(db, "main");
    return keepCopy(std::string(name ? name : ""));
}

bool wantsCopy(sqlite3* db, std::size_t changes) {
    if (changes <= kCopyAbove) return false;
    sql::Statement n(db, "SELECT count(*) FROM main.Registros");
    n.step();
    return changes * 10 >= static_cast<std::size_t>(n.int64(0));
}

std::string keepCopy(const std::string& path) {
    const fs::path book = realBook(path);
    std::string folder;
    Fd dir(backup::openCopies(path, &folder));
    const std::string bookName = book.filename().string();
    // Named by the moment, to the millisecond, so that names sort as copies
    // were made; a name taken (by anyone) is never replaced.
    std::string last;
    const std::string made = copyInto(
        book.string(), dir.get(),
        [&] {
            std::string name;
            while ((name = book.stem().string() + "-" + stamp() + book.extension().string()) ==
                   last)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return last = name;
        },
        true);
    // The last copies of this book that we made; older ones go. Files we did
    // not make are neither counted nor touched.
    const std::vector<std::string> mine = backup::ourCopies(dir.get(), bookName);
    for (std::size_t i = 0; i + kKeptCopies < mine.size(); ++i)
        ::unlinkat(dir.get(), mine[i].c_str(), 0);
    return folder + "/" + made;
}

}  // namespace history

}  // namespace orv
