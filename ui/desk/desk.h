#pragma once
// The desktop's windows: registration, and what the companion program
// (orvane-desk) shows for its arguments.

#include <QString>
#include <QStringList>

namespace orv::ui::desk {

// Registers "frmborrados" (and the other desktop windows).
void registerDeskWindows();

// What the arguments ask for: a window kind and the files for it, or a
// usage error in Spanish.
struct Request {
    QString kind;       // empty when the arguments are wrong
    QStringList files;  // to import
    QString error;      // why they are wrong
};
Request parseArguments(const QStringList& arguments);

// The options that reach the desktop's windows (orvane passes them on).
bool isDeskOption(const QString& argument);

}  // namespace orv::ui::desk

namespace orv::ui::desk {
// The files the import window starts with (set before it is shown).
void setFilesToImport(const QStringList& files);
QStringList filesToImport();
}  // namespace orv::ui::desk
