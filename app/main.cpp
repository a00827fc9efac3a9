// Orvane: shows the main window; the program ends when it is unloaded.
// Started with a file or an option of the desktop's windows (the menu
// entry's actions, the file manager's "Abrir con"), it hands over to
// orvane-desk beside it, which shows those windows.

#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "ui/desk/options.h"
#include "ui/toolkit/services.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

namespace {

// orvane-desk with the same arguments: beside this program (an install of
// one's own, the archive, a build), else where a package puts helpers
// (../libexec/orvane/). Returns only when it cannot be run.
void handOver(char** argv) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    const std::string folder =
        std::string(self, static_cast<std::size_t>(n))
            .substr(0, std::string(self, static_cast<std::size_t>(n)).rfind('/') + 1);
    char* own = argv[0];
    for (std::string desk : {folder + "orvane-desk", folder + "../libexec/orvane/orvane-desk"}) {
        if (::access(desk.c_str(), X_OK) != 0) continue;
        argv[0] = desk.data();
        ::execv(desk.c_str(), argv);
        std::fprintf(stderr, "orvane: no se puede abrir %s: %s\n", desk.c_str(),
                     std::strerror(errno));
    }
    argv[0] = own;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && orv::ui::desk::forDesk(argv[1])) handOver(argv);
    orv::app::safePluginFolders();
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
