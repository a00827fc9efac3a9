// Orvane: shows the main window; the program ends when it is unloaded.

#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

int main(int argc, char** argv) {
    orv::ui::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("orvane"));
    // The end comes from unloading the main window (endProgram), not from
    // Qt counting visible windows.
    app.setQuitOnLastWindowClosed(false);

    orv::ui::registerWindows();
    app.setWindowIcon(orv::ui::Form::programIcon());
    if (!orv::ui::Form::ShowStartup(QStringLiteral("frmmain"))) return 1;
    const int status = app.exec();
    orv::ui::Form::destroyAll();
    return status;
}
