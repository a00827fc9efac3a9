#pragma once
// An output file that appears under its name only when whole: written in the
// target's folder as a file with no name (the system drops it if the process
// ends first) or, where the file system has no such files, under a hidden
// temporary name removed on failure; synced to disk, then given its name
// without ever replacing a file that took it meanwhile. Exports and copies of
// the book are written through it.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

class AtomicFile {
  public:
    enum class Stage { Create, Write, Name };
    // Turns a failure into the caller's own error and throws it; were it to
    // return, a std::system_error is thrown.
    using Failure = std::function<void(Stage, int err)>;

    // A new file in the folder open as `dir` (not owned: it must outlive
    // this), whose path is `dirPath`. `named` takes the temporary name even
    // where a file with no name could be made.
    AtomicFile(int dir, std::string dirPath, Failure failure, bool named = false);
    // Not yet given its name: closed, and the temporary name removed.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    int fd() const { return fd_; }
    // The temporary name while there is one (empty for a file with no name).
    const std::string& temporaryName() const { return temp_; }
    // Appends, through a buffer written out by publish().
    void write(std::string_view bytes);
    // Writes out, syncs and gives the file `name` in the folder. False when
    // the name is taken: nothing is replaced, and another name may be tried.
    bool publish(const std::string& name);

    // From now on a temporary name is removed also when SIGINT, SIGTERM,
    // SIGHUP or SIGQUIT end the process (for a program run in a terminal).
    static void removeOnSignals();

  private:
    [[noreturn]] void fail(Stage stage, int err) const;
    void flush();
    void forget();

    int dir_;
    std::string dirPath_;
    Failure failure_;
    int fd_ = -1;
    std::string temp_;
    std::vector<char> buffer_;
    bool published_ = false;
};

}  // namespace orv
