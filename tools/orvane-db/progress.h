#pragma once
// A progress line for long work on a terminal (the caller decides whether
// stderr is one): a count and a percentage, redrawn in place.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

namespace orv::db {

class Progress {
  public:
    // `what` names the counted things ("contactos"); `total` is the amount
    // that makes 100 % (contacts, or bytes of an input file). A null
    // `terminal` shows nothing.
    Progress(std::string what, std::size_t total, std::FILE* terminal);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(std::size_t count, std::size_t done);
    void update(std::size_t count) { update(count, count); }
    // Clears the line (nothing is left behind on the terminal).
    void finish();

  private:
    std::string what_;
    std::size_t total_;
    std::FILE* out_;
    int shownPercent_ = -1;
    std::chrono::steady_clock::time_point lastDraw_{};
    bool drawn_ = false;
};

}  // namespace orv::db
