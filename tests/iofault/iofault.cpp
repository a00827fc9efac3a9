// A fault shim, preloaded (LD_PRELOAD) into a program under test: the Nth
// write, or the Nth sync, of any file whose path starts with ORV_FAULT_PATH
// (the book, its journal and shared memory) fails with ORV_FAULT_ERRNO.
//
//   ORV_FAULT_ON=write|sync  ORV_FAULT_NTH=N  ORV_FAULT_ERRNO=5|28
//   ORV_FAULT_FIRED=FILE     created when the fault was made, so that the
//                            test knows when N has passed the last write

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool onPath(int fd) {
    const char* want = std::getenv("ORV_FAULT_PATH");
    if (!want) return false;
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return false;
    path[n] = 0;
    return std::strncmp(path, want, std::strlen(want)) == 0;
}

// Whether this call is the one to fail; sets errno when it is.
bool fails(int fd, bool sync) {
    const char* on = std::getenv("ORV_FAULT_ON");
    const char* nth = std::getenv("ORV_FAULT_NTH");
    if (!on || !nth || (std::strcmp(on, "sync") == 0) != sync || !onPath(fd)) return false;
    static long seen = 0;
    if (++seen != std::atol(nth)) return false;
    if (const char* fired = std::getenv("ORV_FAULT_FIRED")) {
        using Open = int (*)(const char*, int, ...);
        static auto realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
        const int f = realOpen(fired, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (f >= 0) close(f);
    }
    const char* err = std::getenv("ORV_FAULT_ERRNO");
    errno = err ? std::atoi(err) : EIO;
    return true;
}

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
    static auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
    return fails(fd, false) ? -1 : next(fd, buf, n);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
    static auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    return fails(fd, false) ? -1 : next(fd, buf, n, at);
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t at) {
    static auto next = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    return fails(fd, false) ? -1 : next(fd, buf, n, at);
}
int fsync(int fd) {
    static auto next = real<int (*)(int)>("fsync");
    return fails(fd, true) ? -1 : next(fd);
}
int fdatasync(int fd) {
    static auto next = real<int (*)(int)>("fdatasync");
    return fails(fd, true) ? -1 : next(fd);
}
}
