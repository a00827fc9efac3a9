#include "ui/windows.h"

#include <QIcon>

#include "ui/toolkit/form.h"

// The resources are compiled into the static windows library; nothing there
// refers to them, so they are registered by hand (outside any namespace).
static void registerAssetResources() {
    Q_INIT_RESOURCE(assets);
}

namespace orv::ui {

void initAssets() {
    static bool done = false;
    if (done) return;
    done = true;
    registerAssetResources();
    Form::setProgramIcon(QIcon(QStringLiteral(":/icon.png")));
}

void registerWindows() {
    initAssets();
    registerMainWindow();
    registerAboutWindow();
    registerResultsWindow();
    registerCardWindow();
}

}  // namespace orv::ui
