// The toolkit adapter on small windows of the test's own.

#include <unistd.h>

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "support/rows.h"
#include "support/storetest.h"
#include "support/uitest.h"
#include "ui/toolkit/maskedbox.h"
#include "ui/toolkit/toolkit.h"

using namespace orv::ui;
namespace ut = orv::uitest;

namespace {

// A window built by the test: a text box, two buttons, a disabled button, a
// disabled frame holding a button, and a last button, in that tab order.
class TestForm : public Form {
  public:
    explicit TestForm(const QString& kind) : Form(kind) {
        ++built;
        setStandardLook();
        setClientSizeTwips(3000, 3000);
        edit = addTextBox(this, "edit", "inicial", 0, 0, 1500, 300, 0);
        unload = addButton(this, "unload", "Cerrar", 0, 400, 1500, 300, 1);
        off = addButton(this, "off", "Apagado", 0, 800, 1500, 300, 2);
        off->setEnabled(false);
        auto* frame = addFrame(this, "frame", 0, 1200, 1500, 400, 3);
        framed = addButton(frame, "framed", "En marco", 0, 0, 1500, 300, 4);
        frame->setEnabled(false);
        last = addButton(this, "last", "Ultimo", 0, 1800, 1500, 300, 5);
        onClick(unload, [this] {
            Unload();
            ranAfterUnload = true;
            if (after) after();
        });
    }
    void Form_Load() override {
        ++loads;
        if (onLoad) onLoad();
    }
    bool Form_QueryUnload() override { return closable; }

    static inline int built = 0;
    static inline int loads = 0;
    static inline std::function<void()> onLoad;
    static inline std::function<void()> after;
    static inline bool ranAfterUnload = false;
    static inline bool closable = true;
    QLineEdit* edit;
    Button *unload, *off, *framed, *last;
};

TestForm* shown(const char* kind) {
    return static_cast<TestForm*>(Form::instance(kind));
}

}  // namespace

class TestToolkit : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QVERIFY(installSpanishTexts()); }
    void init() {
        ut::initWindows();
        TestForm::built = TestForm::loads = 0;
        TestForm::onLoad = nullptr;
        TestForm::after = nullptr;
        TestForm::ranAfterUnload = false;
        TestForm::closable = true;
        Form::registerKind("uno", [] { return static_cast<Form*>(new TestForm("uno")); });
        Form::registerKind("dos", [] { return static_cast<Form*>(new TestForm("dos")); });
        Form::registerKind("inicio", [] { return static_cast<Form*>(new TestForm("inicio")); });
    }
    void cleanup() { ut::cleanupWindows(); }

    void twips() {
        QCOMPARE(px(3855), 257);
        QCOMPARE(px(4545), 303);
        QCOMPARE(px(7), 0);
        QCOMPARE(px(8), 1);
        QCOMPARE(twipRect(4080, 600, 855, 3375), QRect(272, 40, 57, 225));
        QWidget window;
        setClientSizeTwips(&window, 3855, 4545);
        window.move(40, 50);
        setOuterWidthTwips(&window, 5145);
        QCOMPARE(window.size(), QSize(337, 303));
        QCOMPARE(window.pos(), QPoint(40, 50));
        QCOMPARE(outerWidthTwips(&window), 5145);
        QCOMPARE(window.minimumSize(), window.maximumSize());
    }

    void standardLook() {
        Form* form = Form::Load("uno");
        QVERIFY(form);
        QCOMPARE(form->windowTitle(), QString("ORV v0.90 beta"));
        QCOMPARE(form->palette().color(QPalette::Window), QColor(14, 17, 36));
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QCOMPARE(form->minimumSize(), QSize(200, 200));
        QCOMPARE(form->maximumSize(), QSize(200, 200));
    }

    // Unload from the window's own handler: the handler runs on, Show
    // returns, and the next Show builds a fresh window and loads it again.
    void showUnloadLifecycle() {
        QPointer<TestForm> first;
        ut::whenShown("uno", [&](Form* form) {
            first = static_cast<TestForm*>(form);
            first->edit->setText("cambiado");
            ut::click(first->unload);
        });
        QVERIFY(Form::Show("uno"));
        QVERIFY(TestForm::ranAfterUnload);
        QCOMPARE(Form::instance("uno"), nullptr);
        QVERIFY(!first || !first->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);

        QString text;
        ut::whenShown("uno", [&](Form* form) {
            text = static_cast<TestForm*>(form)->edit->text();
            form->Unload();
        });
        QVERIFY(Form::Show("uno"));
        QCOMPARE(text, QString("inicial"));
        QCOMPARE(TestForm::built, 2);
        QCOMPARE(TestForm::loads, 2);
    }

    // A handler that unloads its window and then shows another: the first
    // is gone while the second is up, and both Shows return in order.
    void unloadThenShowFromHandler() {
        QStringList events;
        TestForm::after = [&] {
            events << "uno descargada";
            QVERIFY(!Form::instance("uno"));
            Form::Show("dos");
            events << "dos cerrada";
        };
        ut::whenShown("uno", [&](Form* form) {
            ut::whenShown("dos", [&](Form* dos) {
                events << "dos visible";
                QVERIFY(!Form::instance("uno"));
                QCOMPARE(QApplication::activeModalWidget(), dos);
                dos->Unload();
            });
            ut::click(static_cast<TestForm*>(form)->unload);
        });
        QVERIFY(Form::Show("uno"));
        events << "Show volvio";
        QCOMPARE(events,
                 QStringList({"uno descargada", "dos visible", "dos cerrada", "Show volvio"}));
    }

    void showUnregisteredDoesNothing() {
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("no window is registered as \"nada\""));
        QVERIFY(!Form::Show("nada"));
        QVERIFY(Form::loadedForms().isEmpty());
    }

    void closeBoxUnloadsUnlessRefused() {
        ut::whenShown("uno", [&](Form* form) {
            TestForm::closable = false;
            form->close();
            QVERIFY(form->isVisible());
            QCOMPARE(Form::instance("uno"), form);
            TestForm::closable = true;
            form->close();
        });
        QVERIFY(Form::Show("uno"));
        QCOMPARE(Form::instance("uno"), nullptr);
        QVERIFY(ut::programEnds().isEmpty());
    }

    void unloadingStartupWindowEndsProgram() {
        Form* start = ut::showStartup("inicio");
        QVERIFY(start);
        QVERIFY(start->isStartup());
        start->close();
        QCOMPARE(ut::programEnds(), QList<int>{0});
        QVERIFY(Form::loadedForms().isEmpty());
        QVERIFY(!Form::Show("uno"));  // nothing comes up once the program ends
    }

    // The first control in tab order that can take the focus gets it, and
    // its GotFocus runs; reactivating the window does not run it again.
    void initialFocusAndGotFocus() {
        int gotFocus = 0;
        TestForm::onLoad = [&] {
            TestForm* form = shown("uno");
            form->edit->setEnabled(false);
            onGotFocus(form->unload, [&] { ++gotFocus; });
        };
        ut::whenShown("uno", [&](Form* form) {
            auto* f = static_cast<TestForm*>(form);
            QCOMPARE(QApplication::focusWidget(), f->unload);
            QCOMPARE(gotFocus, 1);
            ut::whenShown("dos", [](Form* dos) { dos->Unload(); });
            Form::Show("dos");
            QTRY_COMPARE(QApplication::activeWindow(), form);
            QCOMPARE(QApplication::focusWidget(), f->unload);
            QCOMPARE(gotFocus, 1);
            ut::key(form, Qt::Key_Tab);  // to "last": off and the framed button are disabled
            QCOMPARE(QApplication::focusWidget(), f->last);
            ut::key(form, Qt::Key_Tab);  // round the chain, past the disabled edit
            QCOMPARE(QApplication::focusWidget(), f->unload);
            QCOMPARE(gotFocus, 2);
            form->Unload();
        });
        QVERIFY(Form::Show("uno"));
    }

    // {Tab} is handled after the handler returns, from the focused control,
    // skipping disabled controls and those in a disabled frame.
    void sendKeysTabIsQueued() {
        Form* start = ut::showStartup("inicio");
        auto* form = static_cast<TestForm*>(start);
        form->off->setEnabled(true);
        form->edit->setFocus();
        QWidget* focusAtEnd = nullptr;
        onKeyPress(form->edit, [&](qint16& KeyAscii) {
            if (KeyAscii == 13) {
                SendKeys("{Tab}");
                KeyAscii = 0;
                focusAtEnd = QApplication::focusWidget();
            }
        });
        ut::key(form, Qt::Key_Return);
        QCOMPARE(focusAtEnd, form->edit);
        QTRY_COMPARE(QApplication::focusWidget(), form->unload);
        form->off->setEnabled(false);
        SendKeys("{Tab}");
        QTRY_COMPARE(QApplication::focusWidget(), form->last);
        QCOMPARE(form->edit->text(), QString("inicial"));
    }

    void keyPressCodes_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("code");  // 0: no KeyPress
        QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << 13;
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 13;
        QTest::newRow("Esc") << int(Qt::Key_Escape) << 0 << 27;
        QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << 8;
        QTest::newRow("Space") << int(Qt::Key_Space) << 0 << 32;
        QTest::newRow("a") << int(Qt::Key_A) << 0 << int('a');
        QTest::newRow("7") << int(Qt::Key_7) << 0 << int('7');
        QTest::newRow("comma") << int(Qt::Key_Comma) << 0 << int(',');
        QTest::newRow("Ctrl+c") << int(Qt::Key_C) << int(Qt::ControlModifier) << 3;
        QTest::newRow("Left") << int(Qt::Key_Left) << 0 << 0;
        QTest::newRow("F1") << int(Qt::Key_F1) << 0 << 0;
        QTest::newRow("Shift") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << 0;
        QTest::newRow("Ctrl") << int(Qt::Key_Control) << int(Qt::ControlModifier) << 0;
        QTest::newRow("Alt") << int(Qt::Key_Alt) << int(Qt::AltModifier) << 0;
        QTest::newRow("Alt+a") << int(Qt::Key_A) << int(Qt::AltModifier) << 0;
        QTest::newRow("Delete") << int(Qt::Key_Delete) << 0 << 0;
        QTest::newRow("Tab") << int(Qt::Key_Tab) << 0 << 0;
    }
    void keyPressCodes() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, code);
        auto* form = static_cast<TestForm*>(ut::showStartup("inicio"));
        form->edit->setFocus();
        QList<int> codes;
        onKeyPress(form->edit, [&](qint16& KeyAscii) { codes << KeyAscii; });
        ut::key(form, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(codes, code ? QList<int>{code} : QList<int>{});
    }

    // 0 drops the key before the control sees it; another code replaces it.
    void keyPressChangesTheKey() {
        auto* form = static_cast<TestForm*>(ut::showStartup("inicio"));
        form->edit->setFocus();
        form->edit->clear();
        onKeyPress(form->edit, [](qint16& KeyAscii) {
            if (KeyAscii == 'x') KeyAscii = 0;
            if (KeyAscii == 'a') KeyAscii = 'b';
        });
        for (Qt::Key k : {Qt::Key_X, Qt::Key_A, Qt::Key_C, Qt::Key_X}) ut::key(form, k);
        QCOMPARE(form->edit->text(), QString("bc"));
    }

    // A window's own KeyPress gets only keys no control of it has taken.
    void windowKeyPressOnlyWhenNoControlHasFocus() {
        auto* form = static_cast<TestForm*>(ut::showStartup("inicio"));
        form->edit->setFocus();
        QList<int> windowCodes;
        onKeyPress(form, [&](qint16& KeyAscii) { windowCodes << KeyAscii; });
        ut::key(form, Qt::Key_Escape);  // QLineEdit ignores Esc; it travels up
        QVERIFY(windowCodes.isEmpty());
    }

    void buttonsClickOnEnterAndSpace() {
        auto* form = static_cast<TestForm*>(ut::showStartup("inicio"));
        int clicks = 0;
        QObject::connect(form->last, &QPushButton::clicked, [&] { ++clicks; });
        form->last->setFocus();
        ut::key(form, Qt::Key_Return);
        QCOMPARE(clicks, 1);
        ut::key(form, Qt::Key_Space);
        QCOMPARE(clicks, 2);
        ut::key(form, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(clicks, 3);
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r", true);
        QApplication::sendEvent(form->last, &repeat);  // Enter held down clicks once
        QCOMPARE(clicks, 3);
    }

    void msgBoxRealBox_data() {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("buttons");  // in Spanish, words only
        QTest::newRow("Yes/No, Enter") << vbYesNo << int(Qt::Key_Return) << vbYes << "No Sí";
        QTest::newRow("Yes/No, Esc") << vbYesNo << int(Qt::Key_Escape) << vbNo << "No Sí";
        QTest::newRow("OK, Enter") << vbOKOnly << int(Qt::Key_Return) << vbOK << "Aceptar";
        QTest::newRow("OK, Esc") << vbOKOnly << int(Qt::Key_Escape) << vbOK << "Aceptar";
    }
    void msgBoxRealBox() {
        QFETCH(int, style);
        QFETCH(int, key);
        QFETCH(int, answer);
        QFETCH(QString, buttons);
        QString title, text;
        QStringList captions;
        bool hasIcon = true;
        ut::answerMessageBoxByKey(Qt::Key(key), [&](QMessageBox* box) {
            title = box->windowTitle();
            text = box->text();
            hasIcon = box->icon() != QMessageBox::NoIcon || !box->iconPixmap().isNull();
            for (QAbstractButton* b : box->buttons()) {
                captions << b->text().remove('&');
                hasIcon = hasIcon || !b->icon().isNull();
            }
        });
        QCOMPARE(MsgBox("<b>O'Brien</b>", style), answer);
        QCOMPARE(MsgBoxSeam::log().size(), 1);
        QVERIFY(MsgBoxSeam::log().at(0).shown);
        QCOMPARE(MsgBoxSeam::log().at(0).answer, answer);
        QCOMPARE(title, QString("Orvane"));
        QCOMPARE(text, QString("<b>O'Brien</b>"));
        QVERIFY(!hasIcon);
        captions.sort();
        QCOMPARE(captions.join(' '), buttons);
    }

    // A real box comes up centred on the window that raised it.
    void msgBoxCentredOnItsWindow() {
        QPoint boxCentre, windowCentre;
        ut::whenShown("uno", [&](Form* form) {
            form->move(430, 170);
            windowCentre = form->geometry().center();
            ut::answerMessageBoxByKey(
                Qt::Key_Escape, [&](QMessageBox* box) { boxCentre = box->geometry().center(); });
            MsgBox("Listo");
            form->Unload();
        });
        QVERIFY(Form::Show("uno"));
        QVERIFY((boxCentre - windowCentre).manhattanLength() <= 4);
    }

    // The entry boxes' own menu is Spanish too.
    void contextMenuSpanish() {
        QLineEdit box("texto");
        std::unique_ptr<QMenu> menu(box.createStandardContextMenu());
        QStringList texts;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator()) texts << action->text().remove('&').section('\t', 0, 0);
        }
        QCOMPARE(texts, (QStringList{"Deshacer", "Rehacer", "Cortar", "Copiar", "Pegar", "Borrar",
                                     "Seleccionar todo"}));
    }

    // The date box takes digits only: a "/" or a letter typed where a digit
    // goes is refused, not taken as a jump past the next separator.
    void maskedBoxTyping() {
        // What is typed, what the box then shows.
        const std::pair<QString, QString> cases[] = {
            {"01021990", "01/02/1990"},
            {"01/02/1990", "01/02/1990"},
            {"1/2/1990", "12/19/90__"},
            {"a1 b2-", "12/__/____"},
        };
        for (const auto& [typed, shown] : cases) {
            MaskedBox box("##/##/####", '_');
            box.show();
            box.setFocus();
            QTest::keyClicks(&box, typed);
            QCOMPARE(box.Text(), shown);
        }
    }

    // An engine error that is not fatal is shown and the program goes on;
    // a failed load shows nothing and leaves the caller as it was.
    void engineErrorNotFatal() {
        Form* start = ut::showStartup("inicio");
        MsgBoxSeam::queueAnswer(vbOK);
        TestForm::onLoad = [] { throw orv::EngineError(3010, "Patrón no válido"); };
        QVERIFY(!Form::Show("uno"));
        QCOMPARE(MsgBoxSeam::prompts(), QStringList{"Error 3010: Patrón no válido"});
        QVERIFY(!Form::instance("uno"));
        QVERIFY(start->isLoaded());
        QVERIFY(ut::programEnds().isEmpty());
    }

    // A fatal one, raised in a handler of a modal window, is shown, then
    // every window goes and every modal Show returns; the status is 1.
    void engineErrorFatalEndsProgram() {
        Form* start = ut::showStartup("inicio");
        QPointer<Form> startAlive(start);
        MsgBoxSeam::queueAnswer(vbOK);
        bool returned = false;
        ut::whenShown("uno", [](Form* form) {
            static_cast<TestForm*>(form)->last->setFocus();
            onKeyPress(static_cast<TestForm*>(form)->last, [](qint16&) {
                throw orv::EngineError(3001, "No se encuentra el archivo", true);
            });
            ut::key(form, Qt::Key_Space);
        });
        Form::Show("uno");
        returned = true;
        QVERIFY(returned);
        QCOMPARE(MsgBoxSeam::prompts(), QStringList{"Error 3001: No se encuentra el archivo"});
        QCOMPARE(ut::programEnds(), QList<int>{1});
        QVERIFY(Form::loadedForms().isEmpty());
        QVERIFY(programEnding());
    }

    void appPath() {
        QVERIFY(!AppPath().endsWith('/'));
        QCOMPARE(AppPath(), QCoreApplication::applicationDirPath());
        AppPathSeam::set("/tmp/libreta/");
        QCOMPARE(AppPath(), QString("/tmp/libreta"));
        AppPathSeam::reset();
        QCOMPARE(AppPath(), QCoreApplication::applicationDirPath());
    }

    // Which book the windows open: beside a program in a folder of the
    // user's own, else the user's data folder, made on first use. Rows:
    // program ("own", "own with book", "own read-only", "/usr/lib"),
    // $XDG_DATA_HOME ("@" a folder of the test's, "" unset, or as given),
    // expected ("beside", "data", "home" for ~/.local/share, or "fails").
    void bookPath_data() {
        testrows::texts({"program", "data", "expected"},
                        {
                            {"build tree", "own", "@", "beside"},
                            {"portable archive", "own with book", "@", "beside"},
                            {"system, first start", "/usr/lib", "@", "data"},
                            {"system, book there", "/usr/lib", "@ with book", "data"},
                            {"system, no XDG_DATA_HOME", "/usr/lib", "", "home"},
                            {"system, relative XDG_DATA_HOME", "/usr/lib", "rel/data", "home"},
                            {"system, data folder is a file", "/usr/lib", "@file", "fails"},
                            {"read-only folder", "own read-only", "@", "data"},
                        });
    }
    void bookPath() {
        QFETCH(QString, program);
        QFETCH(QString, data);
        QFETCH(QString, expected);
        if (program == "own read-only" && geteuid() == 0)
            QSKIP("root writes in any folder: the read-only case needs an ordinary user");
        QTemporaryDir tmp;
        const QString home = tmp.filePath("home"), own = tmp.filePath("programa");
        QVERIFY(QDir().mkpath(home) && QDir().mkpath(own));
        if (program.startsWith("own")) {
            AppPathSeam::set(own);
            if (program == "own with book")
                storetest::makeBook(own + "/orv.mdb", {storetest::contact({"Ana"})});
            if (program == "own read-only")
                QFile::setPermissions(own, QFile::ReadOwner | QFile::ExeOwner);
        } else {
            AppPathSeam::set(program);
        }
        const QString dataDir = tmp.filePath("datos");
        if (data == "@file") {
            QFile f(dataDir);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        if (data == "@ with book") {
            QVERIFY(QDir().mkpath(dataDir + "/orvane"));
            storetest::makeBook(dataDir + "/orvane/orv.mdb", {storetest::contact({"Eva"})});
        }
        const QByteArray oldHome = qgetenv("HOME"), oldData = qgetenv("XDG_DATA_HOME");
        qputenv("HOME", home.toUtf8());
        if (data.isEmpty())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", data.startsWith('@') ? dataDir.toUtf8() : data.toUtf8());

        QString got;
        bool failed = false;
        try {
            got = BookPath();
        } catch (const orv::EngineError&) {
            failed = true;
        }
        qputenv("HOME", oldHome);
        if (oldData.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", oldData);
        AppPathSeam::reset();
        QFile::setPermissions(own, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QCOMPARE(failed, expected == "fails");
        if (failed) return;
        const QString want = expected == "beside" ? own + "/orv.mdb"
                             : expected == "data" ? dataDir + "/orvane/orv.mdb"
                                                  : home + "/.local/share/orvane/orv.mdb";
        QCOMPARE(got, want);
        if (expected == "beside") {
            // The program's own folder: nothing made, anywhere.
            QCOMPARE(QFile::exists(want), program == "own with book");
            QVERIFY(!QFile::exists(dataDir) && !QFile::exists(home + "/.local"));
        } else {
            // Made once, empty; a book already there is kept as it was.
            const auto contacts = storetest::readBook(want);
            QCOMPARE(contacts.size(), std::size_t(data == "@ with book" ? 1 : 0));
        }
    }
};

QTEST_MAIN(TestToolkit)
#include "tst_toolkit.moc"
