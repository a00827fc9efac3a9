// orvane-desk: the windows the desktop opens beside the four (import a
// file, the sync, the deleted contacts, a copy of the book), on the same
// book as orvane. Started by orvane when it is given a file or one of
// their options (the menu entry's actions, "Abrir con" in a file manager).

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "app/startup.h"
#include "ui/desk/desk.h"
#include "ui/toolkit/services.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

int main(int argc, char** argv) {
    orv::app::safePluginFolders();
    orv::ui::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("orvane"));
    app.setQuitOnLastWindowClosed(false);
    orv::ui::initAssets();
    app.setWindowIcon(orv::ui::Form::programIcon());
    orv::ui::desk::registerDeskWindows();

    const orv::ui::desk::Request request =
        orv::ui::desk::parseArguments(QCoreApplication::arguments().mid(1));
    if (request.kind.isEmpty()) {
        std::fprintf(stderr, "orvane: %s\n", qPrintable(request.error));
        orv::ui::MsgBox(request.error);
        return 2;
    }
    orv::ui::desk::setFilesToImport(request.files);
    if (!orv::ui::Form::ShowStartup(request.kind)) return 1;
    const int status = app.exec();
    orv::ui::Form::destroyAll();
    return status;
}
