#include "ui/toolkit/services.h"

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QPointer>

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

    QMessageBox box;
    box.setObjectName(QStringLiteral("MsgBox"));
    box.setWindowTitle(QStringLiteral("Orvane"));
    box.setIcon(QMessageBox::NoIcon);
    // A prompt may quote the user's own text: never read it as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(prompt);
    box.setWindowModality(Qt::ApplicationModal);
    if (style == vbYesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    QPointer<QWidget> previous = QApplication::activeWindow();
    const int result = box.exec();
    if (previous && previous->isVisible()) previous->activateWindow();

    int answer = vbOK;
    if (style == vbYesNo) answer = result == QMessageBox::Yes ? vbYes : vbNo;
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

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const orv::EngineError& e) {
        handleEngineError(e);
        return true;
    }
}

}  // namespace orv::ui
