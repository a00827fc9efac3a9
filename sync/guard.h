#pragma once
// The guard against a sync that would empty a book or an address book: a
// phone that was reset or an address book emptied or made anew must not
// take every contact with it.

#include <cstddef>
#include <optional>
#include <string>

namespace orv::sync {

struct PlannedDeletions {
    std::size_t here = 0, bookContacts = 0;     // in this book
    std::size_t there = 0, serverContacts = 0;  // on the server
    // The address book answered as a new one: its sync history unknown and
    // none of the cards last synced is on it any more.
    bool serverNew = false;
};

// Too many: all of a side's contacts, or more than half and more than
// kFewDeletions. Any deletion here from an address book made anew.
inline constexpr std::size_t kFewDeletions = 10;

// What it would delete, in Spanish with the numbers ("borraría 12 contactos
// de los 12 de esta agenda (…)"); nullopt when it is not too many.
std::optional<std::string> tooManyDeletions(const PlannedDeletions& p);
// Why the sync must stop, as orvane-db says it; nullopt to go on.
std::optional<std::string> refusal(const PlannedDeletions& p);

}  // namespace orv::sync
