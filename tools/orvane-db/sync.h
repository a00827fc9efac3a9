#pragma once
// orvane-db sync: the book with a CardDAV address book, both ways.

#include <string>
#include <vector>

#include "tools/orvane-db/cli.h"
#include "tools/orvane-db/commands.h"

namespace orv::db {

// Returns the exit status: 0 only when everything synced, 1 when something
// did not; throws UsageError for a wrong use.
int syncCommand(const Invocation& a, const Console& con);

}  // namespace orv::db
