#include "ui/main/windows.h"

namespace orv::ui {

// Replaced by the results window's own registration.
void registerResultsWindow() {}

}  // namespace orv::ui
