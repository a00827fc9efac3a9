// bench_startup_main START_NS: the program's own start-up (as app/main.cpp
// does it); prints the milliseconds from START_NS until the main window is
// painted.

#include "bench/startup/painted.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    orv::ui::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("orvane"));
    app.setQuitOnLastWindowClosed(false);
    orv::ui::registerWindows();
    app.setWindowIcon(orv::ui::Form::programIcon());
    // The reporter must be in place before the window is shown.
    orv::ui::Form* main = orv::ui::Form::Load(QStringLiteral("frmmain"));
    if (!main) return 1;
    orv::bench::PaintedReporter reporter(main, argv[1]);
    if (!orv::ui::Form::ShowStartup(QStringLiteral("frmmain"))) return 1;
    return app.exec();
}
