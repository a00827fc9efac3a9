#include "store/handles.h"

#include <unistd.h>

#include "store/sql.h"

namespace orv {

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Connection openConnection(const std::string& name, int flags, const char* vfs) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &raw, flags, vfs);
    Connection db(raw);
    if (rc != SQLITE_OK) throw sql::error(raw, rc);
    return db;
}

}  // namespace orv
