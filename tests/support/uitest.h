#pragma once
// Helpers for tests that drive real windows offscreen.

#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>

#include "ui/toolkit/toolkit.h"

class QMessageBox;
class QTemporaryDir;

namespace orv::uitest {

// Call from a test's init(): ends of the program are recorded instead of
// ending the test, message boxes start with an empty queue and log.
// Keeps a picture of `w` in ORV_SHOT_DIR when it is set (named with the
// desktop font's size when ORV_DESKTOP_PT is).
void shot(QWidget* w, const QString& name);

void initWindows();
// Call from cleanup(): deletes every window, resets the seams and the shared
// strings, so the next test starts as the program does; fails the test when
// a window it waited for never came (timedOut()).
void cleanupWindows();

// Makes `dir` a new temporary folder and the windows' AppPath; returns the
// path of the book they open there (empty when the folder failed).
QString makeBookFolder(std::unique_ptr<QTemporaryDir>& dir);

// Statuses passed to endProgram since initWindows().
const QList<int>& programEnds();

// Shows a registered kind as the start-up window and waits until it is active.
orv::ui::Form* showStartup(const QString& kind);

// Runs `action` once the window of `kind` is shown and active: the way to act
// inside a modal window, since Show does not return until it unloads. If it
// never comes within 5 s, every window is unloaded so the test cannot hang,
// and timedOut() turns true.
void whenShown(const QString& kind, std::function<void(orv::ui::Form*)> action);
bool timedOut();

// Keys and clicks through the window system, as a user's would arrive: a key
// goes to the focused control of `window`, Alt+letter reaches access keys,
// a modal window blocks the others.
void key(QWidget* window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
void click(QWidget* control, QPoint at = QPoint());
// Types ASCII text into the focused control of `window`.
void type(QWidget* window, const char* text);

// A stand-in window kind that records the shared strings each time it loads
// and unloads itself as soon as it is shown.
struct Recorder {
    QStringList filtros;
    QStringList origenes;
    int shows() const { return int(filtros.size()); }
};
std::shared_ptr<Recorder> registerRecorder(const QString& kind);

// Answers the next real message box by a key once it is up, after letting
// `inspect` look at it.
void answerMessageBoxByKey(Qt::Key key, std::function<void(QMessageBox*)> inspect = {});

// `control` has the focus and shows it: it is drawn otherwise than it would
// be with the same focus before any Tab (when styles draw no cue).
bool showsFocusCue(QWidget* control);

// Gives the application the default font of a desktop set to ORV_DESKTOP_PT
// points, when that is set (call before any window is built); returns the
// text scale the windows then take.
double useDesktopFontFromEnvironment();

template <class T = QWidget>
T* child(const QWidget* root, const char* name) {
    return root ? root->findChild<T*>(QString::fromLatin1(name)) : nullptr;
}

}  // namespace orv::uitest
