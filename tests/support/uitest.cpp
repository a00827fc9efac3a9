#include "support/uitest.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "ui/orvmod.h"

namespace orv::uitest {

using orv::ui::Form;

namespace {

QList<int>& ends() {
    static QList<int> list;
    return list;
}

bool& timedOutFlag() {
    static bool flag = false;
    return flag;
}

class StubForm : public Form {
  public:
    StubForm(const QString& kind, std::shared_ptr<Recorder> recorder)
        : Form(kind), recorder_(std::move(recorder)) {
        setStandardLook();
        setClientSizeTwips(1500, 1500);
    }

  private:
    void Form_Load() override {
        recorder_->filtros << orvmod::sFiltro;
        recorder_->origenes << orvmod::sOrigen;
        QTimer::singleShot(0, this, [this] { Unload(); });
    }
    std::shared_ptr<Recorder> recorder_;
};

// Polls until `ready` holds, then runs `action`; gives up after 5 s.
void poll(std::function<bool()> ready, std::function<void()> action,
          std::function<void()> onTimeout) {
    auto* timer = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        if (ready()) {
            timer->stop();
            timer->deleteLater();
            action();
        } else if (clock->elapsed() > 5000) {
            timer->stop();
            timer->deleteLater();
            onTimeout();
        }
    });
    timer->start(5);
}

}  // namespace

void shot(QWidget* w, const QString& name) {
    const QString dir = qEnvironmentVariable("ORV_SHOT_DIR");
    if (dir.isEmpty()) return;
    QDir().mkpath(dir);
    const QString pt = qEnvironmentVariable("ORV_DESKTOP_PT");
    w->grab().save(dir + "/" + name + (pt.isEmpty() ? "" : "-" + pt + "pt") + ".png");
}

void initWindows() {
    ends().clear();
    timedOutFlag() = false;
    orv::ui::ProgramEndSeam::install([](int status) { ends().append(status); });
    orv::ui::ProgramEndSeam::reset();
    orv::ui::MsgBoxSeam::reset();
}

QString makeBookFolder(std::unique_ptr<QTemporaryDir>& dir) {
    dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid()) return QString();
    orv::ui::AppPathSeam::set(dir->path());
    return dir->filePath(QStringLiteral("orv.mdb"));
}

void cleanupWindows() {
    const bool late = timedOut();
    Form::destroyAll();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    orv::ui::MsgBoxSeam::reset();
    orv::ui::ProgramEndSeam::reset();
    orv::ui::AppPathSeam::reset();
    orvmod::sFiltro.clear();
    orvmod::sOrigen.clear();
    orvmod::sCodigo.clear();
    QVERIFY2(!late, "a window the test waited for never came up");
}

const QList<int>& programEnds() {
    return ends();
}

Form* showStartup(const QString& kind) {
    Form* form = Form::ShowStartup(kind);
    if (form && !QTest::qWaitForWindowActive(form)) return nullptr;
    return form;
}

void whenShown(const QString& kind, std::function<void(Form*)> action) {
    poll(
        [kind] {
            Form* form = Form::instance(kind);
            return form && form->isVisible() && QApplication::activeWindow() == form;
        },
        [kind, action] {
            action(Form::instance(kind));
            // A failed check returns from the action early: let Show return.
            if (QTest::currentTestFailed()) Form::unloadAll();
        },
        [kind] {
            qWarning("uitest: \"%s\" was never shown", qPrintable(kind));
            timedOutFlag() = true;
            Form::unloadAll();
        });
}

bool timedOut() {
    return timedOutFlag();
}

void key(QWidget* window, Qt::Key key, Qt::KeyboardModifiers modifiers) {
    QTest::keyClick(window->window()->windowHandle(), key, modifiers);
}

void type(QWidget* window, const char* text) {
    for (const char* c = text; *c; ++c) QTest::keyClick(window->window()->windowHandle(), *c);
}

void click(QWidget* control, QPoint at) {
    if (at.isNull()) at = control->rect().center();
    QWidget* window = control->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                      control->mapTo(window, at));
}

std::shared_ptr<Recorder> registerRecorder(const QString& kind) {
    auto recorder = std::make_shared<Recorder>();
    Form::registerKind(
        kind, [kind, recorder] { return static_cast<Form*>(new StubForm(kind, recorder)); });
    return recorder;
}

void answerMessageBoxByKey(Qt::Key key, std::function<void(QMessageBox*)> inspect) {
    poll(
        [] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            return box && box->isVisible() && QApplication::activeWindow() == box;
        },
        [key, inspect] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (inspect) inspect(box);
            QTest::keyClick(box->windowHandle(), key);
        },
        [] {
            qWarning("uitest: no message box came up");
            timedOutFlag() = true;
        });
}

bool showsFocusCue(QWidget* control) {
    if (!control->hasFocus()) return false;
    QWidget* window = control->window();
    const bool cue = window->testAttribute(Qt::WA_KeyboardFocusChange);
    const QImage shown = control->grab().toImage();
    window->setAttribute(Qt::WA_KeyboardFocusChange, false);
    const QImage bare = control->grab().toImage();
    window->setAttribute(Qt::WA_KeyboardFocusChange, cue);
    return shown != bare;
}

double useDesktopFontFromEnvironment() {
    if (const double points = qEnvironmentVariable("ORV_DESKTOP_PT").toDouble(); points > 0) {
        QFont desktop = QApplication::font();
        desktop.setPointSizeF(points);
        QApplication::setFont(desktop);
        orv::ui::setTextScale(0);
    }
    return orv::ui::textScale();
}

}  // namespace orv::uitest
