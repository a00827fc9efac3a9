#pragma once
// orvane-db sync: the book with a CardDAV address book, both ways.

#include <string>
#include <vector>

#include "tools/orvane-db/commands.h"

namespace orv::db {

// `args` as given after "orvane-db" (args[0] is "sync"). Returns the exit
// status: 0 only when everything synced, 1 when something did not, 2 for
// bad arguments.
int syncCommand(const std::vector<std::string>& args, const Console& con);

}  // namespace orv::db
