#include "store/fdvfs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace orv {

namespace {

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

}  // namespace

Connection openDescriptor(int fd, int flags) {
    registerVfs();
    return openConnection(std::string(kPrefix) + std::to_string(fd), flags, kVfsName);
}

}  // namespace orv
