#include "tools/orvane-db/progress.h"

#include <utility>

namespace orv::db {

Progress::Progress(std::string what, std::size_t total, std::FILE* terminal)
    : what_(std::move(what)), total_(total), out_(terminal) {}

Progress::~Progress() {
    finish();
}

void Progress::update(std::size_t count, std::size_t done) {
    if (!out_) return;
    const int percent = total_ ? static_cast<int>(done >= total_ ? 100 : done * 100 / total_) : 100;
    const auto now = std::chrono::steady_clock::now();
    // Redraw on a new percentage, or now and then for a slow one.
    if (percent == shownPercent_ && now - lastDraw_ < std::chrono::milliseconds(250)) return;
    shownPercent_ = percent;
    lastDraw_ = now;
    std::fprintf(out_, "\r%zu %s (%d %%)\x1b[K", count, what_.c_str(), percent);
    std::fflush(out_);
    drawn_ = true;
}

void Progress::finish() {
    if (!out_ || !drawn_) return;
    std::fputs("\r\x1b[K", out_);
    std::fflush(out_);
    drawn_ = false;
    shownPercent_ = -1;  // the next update draws again
}

}  // namespace orv::db
