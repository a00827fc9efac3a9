// frmabout's handlers.

#include "ui/about/frmabout.h"

#include "ui/windows.h"

namespace orv::ui {

void registerAboutWindow() {
    Form::registerKind<frmabout>(QStringLiteral("frmabout"));
}

void frmabout::Form_Click() {
    Unload();
}

// The code is neither examined nor changed.
void frmabout::Form_KeyPress(qint16&) {
    Unload();
}

}  // namespace orv::ui
