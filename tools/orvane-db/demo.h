#pragma once
// Generated contacts for trying the program out and for measuring it:
// realistic Spanish names, addresses and dates, the same for the same seed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/contact.h"

namespace orv::db {

class DemoGenerator {
  public:
    explicit DemoGenerator(std::uint64_t seed) : seed_(seed) {}

    // Every first name a contact may get (null included), so that rows can be
    // put in name order before they are generated.
    static const std::vector<Value>& nameChoices();
    // Which of nameChoices() row i gets; the same as contact(i)'s Nombre.
    std::size_t nameOf(std::uint64_t row) const;
    // The whole of row i (Codigo left null: the store assigns it).
    Contact contact(std::uint64_t row) const;

  private:
    std::uint64_t seed_;
};

}  // namespace orv::db
