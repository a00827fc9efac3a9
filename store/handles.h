#pragma once
// Owners of the system's and SQLite's raw handles, so that each is closed
// once on every path, an exception's too.

#include <dirent.h>
#include <sqlite3.h>

#include <memory>
#include <string>

namespace orv {

// A file descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_;
};

struct CloseConnection {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

struct FinishBackup {
    void operator()(sqlite3_backup* b) const { sqlite3_backup_finish(b); }
};
using BackupHandle = std::unique_ptr<sqlite3_backup, FinishBackup>;

struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, CloseDir>;

// sqlite3_open_v2 owned: a failure throws its EngineError, and the handle
// SQLite made for it is closed.
Connection openConnection(const std::string& name, int flags, const char* vfs = nullptr);

}  // namespace orv
