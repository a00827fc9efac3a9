// The main window: its definition, start and end, the letter index and the
// name search, driven through the window system as a user would.

#include <QAbstractButton>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>

#include "support/uitest.h"
#include "ui/main/frmmain.h"
#include "ui/orvmod.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;
namespace ut = orv::uitest;

namespace {
const QString kPrompt = "Ingrese un nombre para buscar...";
}

class TestMain : public QObject {
    Q_OBJECT
    Form* main = nullptr;
    std::shared_ptr<ut::Recorder> results, card;

    QWidget* w(const char* name) { return ut::child(main, name); }
    QAbstractButton* button(const char* name) { return ut::child<QAbstractButton>(main, name); }
    QLineEdit* box() { return ut::child<QLineEdit>(main, "txtBuscar"); }
    // The two keys that press a button or the picture.
    static void enterAndSpace() {
        QTest::addColumn<int>("key");
        QTest::newRow("Enter") << int(Qt::Key_Return);
        QTest::newRow("Space") << int(Qt::Key_Space);
    }

  private slots:
    void init() {
        ut::initWindows();
        initAssets();
        registerMainWindow();
        registerAboutWindow();
        results = ut::registerRecorder("frmsecond");
        card = ut::registerRecorder("frmfinal");
        main = ut::showStartup("frmmain");
        QVERIFY(main);
    }
    void cleanup() { ut::cleanupWindows(); }

    // Each control with its caption or text, place in twips and tab index.
    void definition_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<int>("tabIndex");
        // The letters in two columns down the panel, "&a" to "&z".
        for (int i = 0; i < 26; ++i)
            QTest::addRow("cb%c", 'A' + i) << QString("&%1").arg(QChar('a' + i))
                                           << QRect(i % 2 * 360, i / 2 * 240, 375, 255) << 6 + i;
        QTest::newRow("frmLetras") << "" << QRect(4080, 600, 855, 3375) << 33;
        QTest::newRow("cbTodos") << "Todos" << QRect(0, 3120, 735, 255) << 5;
        QTest::newRow("cbPorLetra") << "Mostrar letras >>>" << QRect(0, 3600, 3855, 345) << 3;
        QTest::newRow("cbSalir") << "Salir" << QRect(840, 4080, 2175, 345) << 0;
        QTest::newRow("Command29") << "Nuevo" << QRect(120, 240, 1455, 345) << 4;
        QTest::newRow("cbBuscar") << "Buscar" << QRect(3120, 3240, 735, 345) << 2;
        QTest::newRow("txtBuscar") << kPrompt << QRect(0, 3240, 3135, 345) << 1;
        QTest::newRow("Picture1") << "" << QRect(480, 360, 3000, 2715) << 32;
    }
    void definition() {
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        QFETCH(int, tabIndex);
        const QString name = QTest::currentDataTag();
        QWidget* control = main->findChild<QWidget*>(name);
        QVERIFY(control);
        QCOMPARE(control->geometry(),
                 twipRect(twips.x(), twips.y(), twips.width(), twips.height()));
        QCOMPARE(main->tabIndex(control), tabIndex);
        if (auto* b = qobject_cast<QAbstractButton*>(control)) QCOMPARE(b->text(), text);
        if (auto* e = qobject_cast<QLineEdit*>(control)) QCOMPARE(e->text(), text);
        // The letters and "Todos" lie in the panel.
        if (name == "cbTodos" || (name.size() == 3 && name.startsWith("cb")))
            QCOMPARE(control->parentWidget(), w("frmLetras"));
    }
    void windowAtStart() {
        QCOMPARE(main->windowTitle(), QString("ORV v0.90 beta"));
        QCOMPARE(main->size(), QSize(257, 303));
        QCOMPARE(main->minimumSize(), main->maximumSize());
        QVERIFY(!(main->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!main->windowIcon().isNull());
        QCOMPARE(w("Picture1")->toolTip(), QString("haz click"));
        QCOMPARE(static_cast<Picture*>(w("Picture1"))->picture().size(), QSize(200, 181));
        // The panel lies wholly beyond the client area, disabled.
        QVERIFY(w("frmLetras")->geometry().left() >= main->width());
        QVERIFY(!w("cbM")->isEnabled());
        QCOMPARE(QApplication::focusWidget(), w("cbSalir"));
        // Before any Tab the user sees that Enter presses Salir.
        QVERIFY(ut::showsFocusCue(w("cbSalir")));
        QCOMPARE(box()->text(), kPrompt);
    }

    void salirByKeyEndsProgram_data() { enterAndSpace(); }
    void salirByKeyEndsProgram() {
        QFETCH(int, key);
        ut::key(main, Qt::Key(key));
        QCOMPARE(ut::programEnds(), QList<int>{0});
        QVERIFY(!Form::instance("frmmain"));
        for (QWidget* top : QApplication::topLevelWidgets()) QVERIFY(!top->isVisible());
    }

    void closeBoxEndsProgram() {
        main->close();
        QCOMPARE(ut::programEnds(), QList<int>{0});
        QVERIFY(!Form::instance("frmmain"));
    }

    // Tab from start: the box (emptied), Buscar, the toggle, Nuevo, the
    // picture, passing over the disabled panel, and round to Salir.
    void tabOrderFromStart() {
        const char* expected[] = {"txtBuscar", "cbBuscar", "cbPorLetra",
                                  "Command29", "Picture1", "cbSalir"};
        for (const char* name : expected) {
            ut::key(main, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString(name));
            if (QString(name) == "txtBuscar") QCOMPARE(box()->text(), QString());
        }
        button("cbPorLetra")->click();
        w("Command29")->setFocus();
        ut::key(main, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w("cbTodos"));
        ut::key(main, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w("cbA"));
    }

    // Only the width changes, between 257 and 337 pixels of client area.
    void panelToggle() {
        const QPoint position = main->pos();
        const char* captions[] = {"Ocultar letras <<<", "Mostrar letras >>>", "Ocultar letras <<<"};
        const int widths[] = {337, 257, 337};
        for (int i = 0; i < 3; ++i) {
            ut::click(button("cbPorLetra"));
            QCOMPARE(main->size(), QSize(widths[i], 303));
            QCOMPARE(main->pos(), position);
            QCOMPARE(button("cbPorLetra")->text(), QString(captions[i]));
            QCOMPARE(w("frmLetras")->isEnabled(), widths[i] == 337);
            QCOMPARE(outerWidthTwips(main), widths[i] == 337 ? 5145 : 3945);
        }
        QVERIFY(w("frmLetras")->geometry().right() < main->width());
    }

    void accessKeysOnlyWhilePanelShown() {
        ut::key(main, Qt::Key_M, Qt::AltModifier);
        QTest::qWait(200);
        QCOMPARE(results->shows(), 0);
        ut::click(button("cbPorLetra"));
        ut::key(main, Qt::Key_M, Qt::AltModifier);
        QTRY_COMPARE(results->shows(), 1);
        QCOMPARE(results->filtros, QStringList{"m"});
        QCOMPARE(results->origenes, QStringList{"Registros"});
        ut::click(button("cbPorLetra"));
        ut::key(main, Qt::Key_M, Qt::AltModifier);
        QTest::qWait(200);
        QCOMPARE(results->shows(), 1);
    }

    // Each letter passes its lower-case constant, "Todos" the empty string;
    // the panel stays as it was.
    void lettersAndTodos() {
        ut::click(button("cbPorLetra"));
        QStringList expected;
        for (int i = 0; i < 26; ++i) {
            const QString letter(QChar('a' + i));
            ut::click(w(qPrintable("cb" + letter.toUpper())));
            expected << letter;
        }
        ut::click(w("cbTodos"));
        expected << "";
        QCOMPARE(results->filtros, expected);
        QCOMPARE(results->origenes, QStringList(QList<QString>(27, "Registros")));
        QCOMPARE(button("cbPorLetra")->text(), QString("Ocultar letras <<<"));
        QCOMPARE(main->width(), 337);
    }

    // Buscar before the box ever had the focus searches for the prompt; the
    // click does not focus the box, so its text stays.
    void buscarBeforeFocusPassesPrompt() {
        ut::click(w("cbBuscar"));
        QCOMPARE(results->filtros, QStringList{kPrompt});
        QCOMPARE(results->origenes, QStringList{"Registros"});
        QCOMPARE(box()->text(), kPrompt);
        QVERIFY(!box()->hasFocus());
    }

    void enterInBoxSearchesAsTyped() {
        ut::click(box());
        QCOMPARE(box()->text(), QString());
        ut::type(main, "  mA ");
        ut::key(main, Qt::Key_Return);
        QCOMPARE(results->filtros, QStringList{"  mA "});
        // No character, no line for the Enter; the text stays for another go.
        QCOMPARE(box()->text(), QString("  mA "));
        QCOMPARE(QApplication::focusWidget(), box());
        ut::click(w("cbBuscar"));
        QCOMPARE(results->filtros.last(), QString("  mA "));
        // Coming back into the box empties it.
        w("cbBuscar")->setFocus();
        ut::key(main, Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), box());
        QCOMPARE(box()->text(), QString());
        ut::key(main, Qt::Key_Return);
        QCOMPARE(results->filtros.last(), QString());
    }

    // Nuevo opens the card without touching the shared strings; where it
    // overlaps the picture the button is on top.
    void nuevoOpensCard() {
        orvmod::sFiltro = "x";
        orvmod::sCodigo = "17";
        ut::click(w("Command29"), QPoint(90, 15));  // inside the overlap with Picture1
        QCOMPARE(card->shows(), 1);
        QCOMPARE(orvmod::sFiltro, QString("x"));
        QCOMPARE(orvmod::sCodigo, QString("17"));
        QCOMPARE(results->shows(), 0);
    }

    void pictureOpensAboutWhichBlocksMain() {
        button("cbPorLetra")->click();
        bool opened = false;
        ut::whenShown("frmabout", [&](Form* about) {
            opened = true;
            ut::click(button("cbSalir"));  // the main window takes no input now
            QVERIFY(ut::programEnds().isEmpty());
            ut::key(about, Qt::Key_Return);
        });
        ut::click(w("Picture1"), QPoint(150, 150));
        QVERIFY(opened);
        QVERIFY(!Form::instance("frmabout"));
        QVERIFY(ut::programEnds().isEmpty());
        QCOMPARE(button("cbPorLetra")->text(), QString("Ocultar letras <<<"));
        QTRY_COMPARE(QApplication::activeWindow(), main);
    }

    // The keyboard alone: Tab to the picture, then Enter or Space opens the
    // about window; a held key opens it once.
    void pictureByKeyOpensAbout_data() { enterAndSpace(); }
    void pictureByKeyOpensAbout() {
        QFETCH(int, key);
        for (int i = 0; i < 5; ++i) ut::key(main, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w("Picture1"));
        int opened = 0;
        ut::whenShown("frmabout", [&](Form* about) {
            ++opened;
            about->Unload();
        });
        ut::key(main, Qt::Key(key));
        QCOMPARE(opened, 1);
        QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(w("Picture1"), &repeat);
        QVERIFY(!Form::instance("frmabout"));
        QCOMPARE(QApplication::focusWidget(), w("Picture1"));
    }

    void resultsWindowMissingIsHarmless() {
        Form::unregisterKind("frmsecond");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("\"frmsecond\""));
        ut::click(w("cbBuscar"));
        QVERIFY(main->isVisible());
        QVERIFY(ut::programEnds().isEmpty());
    }
};

QTEST_MAIN(TestMain)
#include "tst_main.moc"
