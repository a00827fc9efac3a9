#pragma once
// Shared by the two start-up programs: reports, on stdout, the milliseconds
// from the moment given on the command line (CLOCK_MONOTONIC nanoseconds,
// taken by the caller just before it started this process) until the window
// has been painted, then ends the program.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace orv::bench {

inline double msSince(const char* startNs) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    return static_cast<double>(ns - std::atoll(startNs)) / 1e6;
}

// The window's first paint event comes at the start of the backing store's
// sync; a zero timer posted then runs once every child has been painted and
// the result flushed to the platform.
class PaintedReporter : public QObject {
  public:
    PaintedReporter(QWidget* window, const char* startNs) : startNs_(startNs) {
        window->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, [this] {
                std::printf("%.3f\n", msSince(startNs_));
                std::fflush(stdout);
                std::_Exit(0);  // the figure is taken: no teardown
            });
        }
        return false;
    }

  private:
    const char* startNs_;
    bool seen_ = false;
};

}  // namespace orv::bench
