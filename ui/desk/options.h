#pragma once
// The options of the desktop's windows, as the menu entry's actions give them;
// header only, so that orvane can pass them on without linking the windows.

#include <cstring>

namespace orv::ui::desk {

inline constexpr const char* kDeskOptions[] = {"--importar", "--borrados", "--sincronizar",
                                               "--copia"};

// Whether orvane's first argument is for the desktop's windows: one of
// their options, or a file to import (Qt's own options begin with "-").
inline bool forDesk(const char* first) {
    if (!first || !*first) return false;
    for (const char* o : kDeskOptions)
        if (std::strcmp(first, o) == 0) return true;
    return first[0] != '-';
}

}  // namespace orv::ui::desk
