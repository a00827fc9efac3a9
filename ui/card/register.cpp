#include "ui/main/windows.h"

namespace orv::ui {

// Replaced by the record card's own registration.
void registerCardWindow() {}

}  // namespace orv::ui
