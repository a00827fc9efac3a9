// orvane-snap OUTDIR [--appdir DIR] [--desktop-pt N] [NAME...]
// Renders windows to OUTDIR/NAME.png offscreen (every entry when no NAME is
// given). --appdir makes the windows open DIR/orv.mdb instead of the one
// beside this program; --desktop-pt gives the application the default font
// of a desktop set to N points. Message boxes are not shown: their texts are
// printed.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QMap>
#include <QTextStream>

#include "tools/snap/snap.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

namespace orv::snap {

namespace {
QMap<QString, Setup>& entries() {
    static QMap<QString, Setup> table;
    return table;
}
}  // namespace

void add(const QString& name, Setup setup) {
    entries().insert(name, std::move(setup));
}

void settle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

QWidget* showWindow(const QString& kind, QString* whyNot) {
    ui::Form* form = ui::Form::Load(kind);
    if (!form) {
        *whyNot = QStringLiteral("the window \"%1\" could not be loaded").arg(kind);
        return nullptr;
    }
    form->show();
    form->activateWindow();
    form->focusFirst();
    settle();
    return form;
}

}  // namespace orv::snap

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    orv::ui::installSpanishTexts();
    QTextStream err(stderr);

    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first().startsWith(QLatin1Char('-'))) {
        err << "usage: orvane-snap OUTDIR [--appdir DIR] [--desktop-pt N] [NAME...]\n";
        return 2;
    }
    const QString outDir = args.takeFirst();
    const int appdir = int(args.indexOf(QStringLiteral("--appdir")));
    if (appdir >= 0) {
        if (appdir + 1 >= args.size()) {
            err << "orvane-snap: --appdir needs a folder\n";
            return 2;
        }
        orv::ui::AppPathSeam::set(QDir(args.at(appdir + 1)).absolutePath());
        args.remove(appdir, 2);
    }
    const int desktopPt = int(args.indexOf(QStringLiteral("--desktop-pt")));
    if (desktopPt >= 0) {
        const double points = desktopPt + 1 < args.size() ? args.at(desktopPt + 1).toDouble() : 0;
        if (points <= 0) {
            err << "orvane-snap: --desktop-pt needs a size in points\n";
            return 2;
        }
        QFont desktop = QApplication::font();
        desktop.setPointSizeF(points);
        QApplication::setFont(desktop);
        args.remove(desktopPt, 2);
    }
    if (!QDir().mkpath(outDir)) {
        err << "orvane-snap: cannot create " << outDir << "\n";
        return 1;
    }

    orv::ui::registerWindows();
    // A fatal error while loading a window must not end the tool.
    orv::ui::ProgramEndSeam::install([](int) {});

    const auto& table = orv::snap::entries();
    const QStringList names = args.isEmpty() ? table.keys() : args;
    int failures = 0;
    for (const QString& name : names) {
        const auto entry = table.constFind(name);
        if (entry == table.cend()) {
            err << "orvane-snap: no picture named " << name << "\n";
            ++failures;
            continue;
        }
        orv::ui::MsgBoxSeam::reset();
        for (int i = 0; i < 32; ++i) orv::ui::MsgBoxSeam::queueAnswer(orv::ui::vbOK);
        QString whyNot;
        QWidget* widget = (*entry)(&whyNot);
        for (const QString& prompt : orv::ui::MsgBoxSeam::prompts())
            err << name << ": message \"" << prompt << "\"\n";
        if (!widget) {
            err << name << ": skipped, " << whyNot << "\n";
            ++failures;
        } else {
            const QImage image = widget->grab().toImage();
            const QString file = QDir(outDir).filePath(name + QStringLiteral(".png"));
            if (image.save(file)) {
                err << name << ": " << image.width() << " x " << image.height() << " -> " << file
                    << "\n";
            } else {
                err << name << ": cannot write " << file << "\n";
                ++failures;
            }
        }
        orv::ui::Form::destroyAll();
        orv::ui::ProgramEndSeam::reset();
    }
    return failures ? 1 : 0;
}
