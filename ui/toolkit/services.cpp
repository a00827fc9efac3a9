#include "ui/toolkit/services.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPointer>
#include <QTranslator>

#include "store/engine.h"
#include "ui/toolkit/form.h"

namespace orv::ui {

namespace {

struct MsgBoxState {
    QList<int> queue;
    QList<MsgBoxSeam::Record> log;
};

MsgBoxState& msgBoxState() {
    static MsgBoxState state;
    return state;
}

QString& appPathOverride() {
    static QString path;
    return path;
}

struct EndState {
    bool ending = false;
    std::function<void(int)> hook;
};

EndState& endState() {
    static EndState state;
    return state;
}

// The window a message box belongs to: the modal one on top, else the
// active one, else the newest window shown.
QWidget* msgBoxOwner() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    if (QWidget* active = QApplication::activeWindow()) return active;
    const QList<Form*> forms = Form::loadedForms();
    for (auto it = forms.crbegin(); it != forms.crend(); ++it) {
        if ((*it)->isVisible()) return *it;
    }
    return nullptr;
}

}  // namespace

// ---- Message boxes -------------------------------------------------------

int MsgBox(const QString& prompt, int style) {
    MsgBoxState& state = msgBoxState();
    MsgBoxSeam::Record record;
    record.prompt = prompt;
    record.style = style;
    if (!state.queue.isEmpty()) {
        record.answer = state.queue.takeFirst();
        state.log.append(record);
        return record.answer;
    }

    // Logged before it comes up, so a test answering it can read the prompt.
    record.shown = true;
    state.log.append(record);
    const qsizetype index = state.log.size() - 1;

    QPointer<QWidget> previous = QApplication::activeWindow();
    // Owned by the window that raised it, so that it comes up centred on it;
    // on the heap, since that window may be unloaded while it is up.
    QPointer<QMessageBox> box = new QMessageBox(msgBoxOwner());
    box->setObjectName(QStringLiteral("MsgBox"));
    box->setWindowTitle(QStringLiteral("Orvane"));
    box->setIcon(QMessageBox::NoIcon);
    // A prompt may quote the user's own text: never read it as markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(prompt);
    box->setWindowModality(Qt::ApplicationModal);
    const bool yesNo = (style & ~vbDefaultButton2) == vbYesNo;
    if (yesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(style & vbDefaultButton2 ? QMessageBox::No : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
    }
    // Some styles put pictures on the standard buttons: words only.
    for (QAbstractButton* button : box->buttons()) button->setIcon(QIcon());
    const int result = box->exec();
    delete box;
    if (previous && previous->isVisible()) previous->activateWindow();

    int answer = vbOK;
    if (yesNo) answer = result == QMessageBox::Yes ? vbYes : vbNo;
    if (index < state.log.size()) state.log[index].answer = answer;
    return answer;
}

void MsgBoxSeam::queueAnswer(int answer) {
    msgBoxState().queue.append(answer);
}

int MsgBoxSeam::queuedAnswers() {
    return int(msgBoxState().queue.size());
}

const QList<MsgBoxSeam::Record>& MsgBoxSeam::log() {
    return msgBoxState().log;
}

QStringList MsgBoxSeam::prompts() {
    QStringList prompts;
    for (const Record& r : msgBoxState().log) prompts << r.prompt;
    return prompts;
}

void MsgBoxSeam::reset() {
    msgBoxState().queue.clear();
    msgBoxState().log.clear();
}

// ---- The program's folder ------------------------------------------------

QString AppPath() {
    QString path = appPathOverride();
    if (path.isEmpty()) path = QCoreApplication::applicationDirPath();
    path = QDir::cleanPath(path);
    while (path.endsWith(QLatin1Char('/'))) path.chop(1);
    return path;
}

namespace {

bool underUsr(const QString& folder) {
    const QString real = QFileInfo(folder).canonicalFilePath();
    return real == QLatin1String("/usr") || real.startsWith(QLatin1String("/usr/"));
}

// $XDG_DATA_HOME, or ~/.local/share when it is unset or not absolute (the
// XDG rules ignore a relative one).
QString dataHome() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (QDir::isAbsolutePath(xdg)) return QDir::cleanPath(xdg);
    return QDir::homePath() + QStringLiteral("/.local/share");
}

// Whether the group has a member besides this user: listed in the group,
// or with it as their own group.
bool groupHasOthers(gid_t gid) {
    const uid_t me = ::geteuid();
    std::vector<char> buffer(1 << 16);
    group g{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &g, buffer.data(), buffer.size(), &found) != 0 || !found) return true;
    const passwd* self = ::getpwuid(me);
    for (char** m = found->gr_mem; m && *m; ++m)
        if (!self || std::strcmp(*m, self->pw_name) != 0) return true;
    bool others = false;
    ::setpwent();
    while (const passwd* p = ::getpwent())
        if (p->pw_gid == gid && p->pw_uid != me) others = true;
    ::endpwent();
    return others;
}

// Folders made for the owner alone, whatever the umask; those already there
// are left as they are.
void makeFolders(const QString& dir) {
    const QStringList parts = QDir::cleanPath(dir).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path;
    for (const QString& part : parts) {
        path += QLatin1Char('/') + part;
        const QByteArray p = QFile::encodeName(path);
        if (::mkdir(p.constData(), 0700) == 0) ::chmod(p.constData(), 0700);
    }
}

}  // namespace

bool othersCanWrite(const QString& folder) {
    const QString real = QFileInfo(folder).canonicalFilePath();
    if (real.isEmpty()) return true;
    const uid_t me = ::geteuid();
    for (QString path = real;;) {
        struct stat sb;
        if (::stat(QFile::encodeName(path).constData(), &sb) != 0) return true;
        if (sb.st_uid != me && sb.st_uid != 0) return true;
        const bool writable =
            (sb.st_mode & S_IWOTH) || ((sb.st_mode & S_IWGRP) && groupHasOthers(sb.st_gid));
        // Above the folder, a shared folder with the sticky bit (/tmp) lets
        // no one else rename what is ours in it.
        if (writable && (path == real || !(sb.st_mode & S_ISVTX))) return true;
        if (path == QLatin1String("/")) return false;
        path = QFileInfo(path).path();
    }
}

namespace {

QString besideProgram() {
    const QString folder = AppPath();
    const QString beside = folder + QStringLiteral("/orv.mdb");
    // A folder others can write may hold a book they put there: never read.
    if (othersCanWrite(folder)) return {};
    const QFileInfo besideInfo(beside);
    if (besideInfo.exists() || besideInfo.isSymLink()) return beside;
    if (!underUsr(folder) && ::access(QFile::encodeName(folder).constData(), W_OK) == 0)
        return beside;
    return {};
}

}  // namespace

QString BookPath() {
    if (const QString beside = besideProgram(); !beside.isEmpty()) return beside;
    const QString dir = dataHome() + QStringLiteral("/orvane");
    const QString book = dir + QStringLiteral("/orv.mdb");
    const QFileInfo bookInfo(book);
    if (bookInfo.exists() || bookInfo.isSymLink()) return book;
    makeFolders(dir);  // a failure shows as the book's
    try {
        Database::create(book.toStdString());
    } catch (const EngineError& e) {
        // Made meanwhile by another start: that one is the book.
        if (e.number() != kErrFileExists) throw;
    }
    return book;
}

void AppPathSeam::set(const QString& folder) {
    appPathOverride() = folder;
}

// ---- Ending the program --------------------------------------------------

void endProgram(int status) {
    EndState& state = endState();
    if (state.ending) return;
    state.ending = true;
    // Unloading ends every modal loop, so each Show on the stack returns.
    Form::unloadAll();
    if (state.hook) {
        state.hook(status);
    } else {
        QCoreApplication::exit(status);
    }
}

bool programEnding() {
    return endState().ending;
}

void ProgramEndSeam::install(std::function<void(int)> hook) {
    endState().hook = std::move(hook);
}

void ProgramEndSeam::reset() {
    endState().ending = false;
}

// ---- Engine errors -------------------------------------------------------

void handleEngineError(const orv::EngineError& error) {
    MsgBox(QStringLiteral("Error %1: %2")
               .arg(QString::number(error.number()), QString::fromStdString(error.text())),
           vbOKOnly);
    if (error.fatal()) endProgram(1);
}

bool installSpanishTexts() {
    static QTranslator* translator = nullptr;
    if (translator) return true;
    auto* loaded = new QTranslator(qApp);
    if (!loaded->load(QStringLiteral("qtbase_es"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        qWarning("orvane: Qt's Spanish translation (qtbase_es.qm) is not installed");
        delete loaded;
        return false;
    }
    QCoreApplication::installTranslator(loaded);
    translator = loaded;
    return true;
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    installSpanishTexts();
    paintWhileWaiting();
}

void paintWhileWaiting() {
    orv::setWaitHook([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const orv::EngineError& e) {
        handleEngineError(e);
        return true;
    }
}

}  // namespace orv::ui
