#pragma once
// A database file reached through its descriptor (a file with no name has
// none SQLite could open): no journal, no WAL, no locks. For files only this
// process sees (a copy being made) or that no one writes (a copy in copias/).

#include "store/handles.h"

namespace orv {

// Opens the file open as `fd` (not owned: it must outlive the connection)
// with SQLite's `flags`. Throws EngineError.
Connection openDescriptor(int fd, int flags);

}  // namespace orv
