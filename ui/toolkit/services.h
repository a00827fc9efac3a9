#pragma once
// Services every window uses: message boxes, the program's folder, the
// default handling of engine errors and the end of the program. Each has a
// seam for tests.

#include <QApplication>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <utility>

#include "store/engine.h"

namespace orv::ui {

// ---- Message boxes -------------------------------------------------------

// Styles and answers.
inline constexpr int vbOKOnly = 0;
inline constexpr int vbYesNo = 4;
// Added to vbYesNo: No is the default button (for a question whose Yes
// deletes or trusts something).
inline constexpr int vbDefaultButton2 = 256;
inline constexpr int vbOK = 1;
inline constexpr int vbYes = 6;
inline constexpr int vbNo = 7;

// The one message box of the program: title "Orvane", no icon (neither beside
// the text nor on its buttons), modal over the whole application, centred on
// the window that raised it. Style vbOKOnly returns vbOK; vbYesNo has Yes as the
// default button (Enter), unless vbDefaultButton2 is added, and No as the
// answer to Esc or the close box.
int MsgBox(const QString& prompt, int style = vbOKOnly);

// Test seam. While answers are queued, MsgBox shows nothing and returns the
// next answer. With none queued a real box comes up (its objectName is
// "MsgBox"), which a test can answer by a key. Every call is logged.
class MsgBoxSeam {
  public:
    struct Record {
        QString prompt;
        int style = vbOKOnly;
        int answer = 0;
        bool shown = false;  // a real box came up
    };
    static void queueAnswer(int answer);
    static int queuedAnswers();
    static const QList<Record>& log();
    static QStringList prompts();
    // Clears the queue and the log.
    static void reset();
};

// ---- The program's folder ------------------------------------------------

// The folder of the executable, without a trailing separator.
QString AppPath();

// The contact book both windows open: orv.mdb beside the program when it is
// there, or when the program's folder is the user's own (the portable
// archive, a build tree: writable, and not under /usr), unless others can
// write in that folder (see othersCanWrite). Otherwise, installed
// for the whole system, the user's own $XDG_DATA_HOME/orvane/orv.mdb
// (~/.local/share/orvane/orv.mdb), made empty with its folder the first time;
// nothing is ever written beside the program then. Throws EngineError when
// that book cannot be made.
QString BookPath();

// Someone other than the user (or root) can put a file in the folder: it is
// writable by others (another user, a group with other members), belongs to
// another user, or lies in a folder that others can write and that has no
// sticky bit. The program then never reads a book, or a plugin, from it.
bool othersCanWrite(const QString& folder);

// Test seam: makes AppPath() return `folder` until reset (an empty folder
// restores the executable's).
class AppPathSeam {
  public:
    static void set(const QString& folder);
    static void reset() { set(QString()); }
};

// ---- Ending the program --------------------------------------------------

// Unloads every window (ending every modal loop) and ends the event loop with
// `status`. Once called, no window can be shown any more.
void endProgram(int status);
bool programEnding();

// Test seam: while installed, endProgram calls `hook` instead of ending the
// process's event loops (windows are still unloaded). reset() clears the
// ending state, so that windows can be shown again.
class ProgramEndSeam {
  public:
    static void install(std::function<void(int status)> hook);
    static void reset();
};

// ---- Engine errors -------------------------------------------------------

// Default handling: a message box "Error <number>: <text>"; then, when the
// error is fatal (the file or its table cannot be opened), endProgram(1).
void handleEngineError(const orv::EngineError& error);

// Runs f; an engine error escaping it goes to handleEngineError. The toolkit
// runs every handler it calls (Form_Load, clicks, KeyPress, GotFocus) this
// way; wrap any other entry point (a model's data(), a timer) yourself.
// Returns false when an error was handled.
template <class F>
bool guarded(F&& f) {
    try {
        std::forward<F>(f)();
        return true;
    } catch (const orv::EngineError& e) {
        handleEngineError(e);
        return false;
    }
}

// Loads Qt's own texts in Spanish ("Sí", "Aceptar", "Deshacer", "Copiar"...):
// qtbase_es from Qt's translations folder. False, with a warning, when it is
// not installed; repeat calls do nothing.
bool installSpanishTexts();

// While a save waits for another program's lock, the windows go on
// painting between the wait's short steps (the Application does this).
void paintWhileWaiting();

// The program's application object, its standard texts in Spanish: an engine error that escapes an
// event handler not run through guarded() is still handled as above, instead of ending the process.
class Application : public QApplication {
  public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace orv::ui
