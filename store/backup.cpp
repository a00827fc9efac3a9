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
#include <thread>

#include "store/atomicfile.h"
#include "store/engine.h"
#include "store/fdvfs.h"
#include "store/history.h"
#include "store/sql.h"
#include "store/syserror.h"

namespace orv::backup {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void systemFailure(const std::string& what, int err) {
    throw EngineError(kErrEngine, what + ": " + systemErrorText(err) + ".");
}

// A database in rollback form: a copy opened later needs no side files, and
// can be read straight through a descriptor.
void rollbackForm(int fd) {
    unsigned char version[2];
    if (::pread(fd, version, 2, 18) == 2 && (version[0] == 2 || version[1] == 2)) {
        const unsigned char legacy[2] = {1, 1};
        if (::pwrite(fd, legacy, 2, 18) != 2) systemFailure("No se puede escribir la copia", errno);
    }
}

// Copies `book` into a new file of `dir` (whose path is `dirPath`) and
// names it the first free name `nextName` gives. With `mark`, the copy
// records its own inode number, which tells our copies from any other file.
// Returns the name.
std::string copyInto(const std::string& book, int dir, const std::string& dirPath,
                     const std::function<std::string()>& nextName, bool mark) {
    Connection src = openConnection(book, SQLITE_OPEN_READONLY);
    sqlite3_busy_timeout(src.get(), 5000);
    // Is it a book at all, before anything is made.
    sql::exec(src.get(), "SELECT count(*) FROM main.sqlite_schema");

    std::string name;
    AtomicFile fresh(dir, dirPath, [&name](AtomicFile::Stage stage, int err) {
        systemFailure(stage == AtomicFile::Stage::Create ? "No se puede crear la copia"
                      : stage == AtomicFile::Stage::Write
                          ? "No se puede escribir la copia"
                          : "No se puede dar nombre a la copia '" + name + "'",
                      err);
    });
    {
        const Connection out =
            openDescriptor(fresh.fd(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        sql::exec(out.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
        const BackupHandle b(sqlite3_backup_init(out.get(), "main", src.get(), "main"));
        if (!b) throw sql::error(out.get(), sqlite3_errcode(out.get()));
        // All pages in one step: one shared lock, so one state of the book.
        // A writer holding the lock is waited for.
        int rc = SQLITE_OK;
        for (int tries = 0;; ++tries) {
            rc = sqlite3_backup_step(b.get(), -1);
            if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && tries < 500) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            break;
        }
        if (rc != SQLITE_DONE) throw sql::error(out.get(), rc);
    }
    src.reset();
    rollbackForm(fresh.fd());
    if (mark) {
        struct stat sb;
        if (::fstat(fresh.fd(), &sb) != 0) systemFailure("No se puede leer la copia", errno);
        const Connection out = openDescriptor(fresh.fd(), SQLITE_OPEN_READWRITE);
        sql::exec(out.get(),
                  "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                  "CREATE TABLE IF NOT EXISTS OrvMeta (Nombre TEXT PRIMARY KEY, Valor TEXT)");
        sql::Statement s(out.get(),
                         "INSERT OR REPLACE INTO OrvMeta (Nombre, Valor) VALUES ('copia', ?1)");
        s.bind(1, std::to_string(sb.st_ino));
        s.step();
    }
    do name = nextName();
    while (!fresh.publish(name));
    return name;
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
    Fd again(::dup(dir));
    const DirHandle d(again ? ::fdopendir(again.get()) : nullptr);
    if (!d) return out;
    again.release();  // the stream's now
    ::rewinddir(d.get());
    while (const dirent* e = ::readdir(d.get())) {
        const std::string name = e->d_name;
        struct stat sb;
        if (copyName(name, bookName) &&
            ::fstatat(dir, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(sb.st_mode))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

Connection openReadOnly(int fd) {
    // A file in WAL form (a user's copy of a book) is read as it is on disk:
    // the descriptor's VFS has no shared memory to read a journal with.
    char head[20];
    if (::pread(fd, head, sizeof head, 0) == sizeof head && head[18] == 2)
        return openConnection("file:/proc/self/fd/" + std::to_string(fd) + "?immutable=1",
                              SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    return openDescriptor(fd, SQLITE_OPEN_READONLY);
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
        const Connection db = openReadOnly(fd.get());
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

Fd openCopies(const std::string& book, std::string* path) {
    const fs::path real = realBook(book);
    const fs::path folder = real.parent_path() / "copias";
    if (path) *path = folder.string();
    Fd parent(::open(real.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0)
        systemFailure("No se puede abrir la carpeta '" + folder.string() + "'", errno);
    for (int tries = 0; tries < 3; ++tries) {
        Fd fd(::openat(parent.get(), "copias", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) return fd;
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
        Fd made(::openat(parent.get(), "copias", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (made) {
            // Ours, just made: for the owner alone whatever the umask.
            struct stat mine;
            if (::fstat(made.get(), &mine) == 0 && mine.st_uid == ::geteuid() &&
                (mine.st_mode & 07777) != 0700)
                ::fchmod(made.get(), 0700);
            return made;
        }
    }
    systemFailure("No se puede abrir la carpeta '" + folder.string() + "'", errno);
}

void copy(const std::string& book, const std::string& dest) {
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
        book, dir.get(), folder,
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
    const Fd dir = openCopies(path, &folder);
    const std::string bookName = book.filename().string();
    // Named by the moment, to the millisecond, so that names sort as copies
    // were made; a name taken (by anyone) is never replaced.
    std::string last;
    const std::string made = copyInto(
        book.string(), dir.get(), folder,
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
    const std::vector<std::string> mine = ourCopies(dir.get(), bookName);
    for (std::size_t i = 0; i + kKeptCopies < mine.size(); ++i)
        ::unlinkat(dir.get(), mine[i].c_str(), 0);
    return folder + "/" + made;
}

}  // namespace orv::backup
