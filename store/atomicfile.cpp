#include "store/atomicfile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

namespace orv {

namespace {

// The temporary names to remove when a signal ends the process: fixed slots,
// so that the handler touches no allocator.
constexpr std::size_t kSlots = 4;
char gPending[kSlots][4096];
std::atomic<bool> gClaimed[kSlots], gReady[kSlots];
std::atomic<bool> gOnSignals{false};

extern "C" void removePending(int sig) {
    for (std::size_t i = 0; i < kSlots; ++i)
        if (gReady[i].load()) ::unlink(gPending[i]);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// A slot for `path`, or kSlots when none is free (or the path is too long).
std::size_t hold(const std::string& path) {
    if (!gOnSignals.load() || path.size() >= sizeof gPending[0]) return kSlots;
    for (std::size_t i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (gClaimed[i].compare_exchange_strong(expected, true)) {
            std::memcpy(gPending[i], path.c_str(), path.size() + 1);
            gReady[i].store(true);
            return i;
        }
    }
    return kSlots;
}

void release(const std::string& path) {
    for (std::size_t i = 0; i < kSlots; ++i)
        if (gReady[i].load() && path == gPending[i]) {
            gReady[i].store(false);
            gClaimed[i].store(false);
            return;
        }
}

constexpr std::size_t kBuffer = 1 << 20;

}  // namespace

void AtomicFile::removeOnSignals() {
    if (gOnSignals.exchange(true)) return;
    struct sigaction sa {};
    sa.sa_handler = removePending;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaction(sig, &sa, nullptr);
}

AtomicFile::AtomicFile(int dir, std::string dirPath, Failure failure, bool named)
    : dir_(dir), dirPath_(std::move(dirPath)), failure_(std::move(failure)) {
    if (!named) fd_ = ::openat(dir_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (named || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::random_device seed;
        std::mt19937 rng(seed());
        for (int tries = 0; tries < 100 && fd_ < 0; ++tries) {
            char name[32];
            std::snprintf(name, sizeof name, ".orvane-%08x", static_cast<unsigned>(rng()));
            fd_ = ::openat(dir_, name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd_ >= 0) {
                temp_ = name;
                hold(dirPath_ + "/" + temp_);
            } else if (errno != EEXIST) {
                break;
            }
        }
    }
    if (fd_ < 0) fail(Stage::Create, errno);
    // The owner's alone whatever the umask.
    ::fchmod(fd_, 0600);
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!published_) forget();
}

void AtomicFile::forget() {
    if (temp_.empty()) return;
    ::unlinkat(dir_, temp_.c_str(), 0);
    release(dirPath_ + "/" + temp_);
    temp_.clear();
}

void AtomicFile::fail(Stage stage, int err) const {
    if (failure_) failure_(stage, err);
    throw std::system_error(err, std::generic_category());
}

void AtomicFile::write(std::string_view bytes) {
    if (buffer_.capacity() < kBuffer) buffer_.reserve(kBuffer);
    if (buffer_.size() + bytes.size() > kBuffer) flush();
    if (bytes.size() >= kBuffer) {
        buffer_.assign(bytes.begin(), bytes.end());
        flush();
        return;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void AtomicFile::flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(Stage::Write, n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
}

bool AtomicFile::publish(const std::string& name) {
    flush();
    if (::fsync(fd_) != 0) fail(Stage::Write, errno);
    int err = 0;
    if (temp_.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        if (::linkat(AT_FDCWD, self.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
            err = errno;
    } else if (::renameat2(dir_, temp_.c_str(), dir_, name.c_str(), RENAME_NOREPLACE) != 0) {
        err = errno;
        if (err == EINVAL || err == ENOSYS) {
            // A file system without the no-replace move: look, then move.
            struct stat sb;
            if (::fstatat(dir_, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0)
                err = EEXIST;
            else
                err = ::renameat(dir_, temp_.c_str(), dir_, name.c_str()) == 0 ? 0 : errno;
        }
    }
    if (err == EEXIST) return false;
    if (err) fail(Stage::Name, err);
    if (!temp_.empty()) release(dirPath_ + "/" + temp_);
    temp_.clear();
    published_ = true;
    ::fsync(dir_);
    return true;
}

}  // namespace orv
