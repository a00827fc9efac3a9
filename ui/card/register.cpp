#include "ui/card/frmfinal.h"
#include "ui/windows.h"

namespace orv::ui {

void registerCardWindow() {
    Form::registerKind<frmfinal>(QStringLiteral("frmfinal"));
}

}  // namespace orv::ui
