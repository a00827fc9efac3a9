#include "app/startup.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "ui/toolkit/services.h"

namespace orv::app {

// Where Qt looks for plugins, decided before it loads the first (the
// platform's, while the application is made): its own folders and the
// program's, as Qt would, but none that others can write, where a plugin
// put by another user would run as this one.
void safePluginFolders() {
    // Qt adds the program's folder while the application is made, unless it
    // was among the folders known before and taken out: so it is named
    // first (for this one reading of the environment), then kept or taken
    // out like the others.
    const QString own = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    const bool had = qEnvironmentVariableIsSet("QT_PLUGIN_PATH");
    const QByteArray given = qgetenv("QT_PLUGIN_PATH");
    qputenv("QT_PLUGIN_PATH", QFile::encodeName(own) + (had ? ":" + given : QByteArray()));
    QStringList folders = QCoreApplication::libraryPaths();
    if (had)
        qputenv("QT_PLUGIN_PATH", given);
    else
        qunsetenv("QT_PLUGIN_PATH");
    folders.removeIf([](const QString& f) { return orv::ui::othersCanWrite(f); });
    QCoreApplication::setLibraryPaths(folders);
}

}  // namespace orv::app
