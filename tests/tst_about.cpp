// The about window: its definition, and what closes it and what does not.

#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTest>

#include "support/uitest.h"
#include "ui/about/frmabout.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;
namespace ut = orv::uitest;

class TestAbout : public QObject {
    Q_OBJECT

    // Shows the about window modally, runs `action` in it, and reports
    // whether the window was still open after the action (then closes it).
    bool stillOpenAfter(std::function<void(Form*)> action) {
        bool open = false;
        ut::whenShown("frmabout", [&](Form* about) {
            QPointer<Form> alive(about);
            action(about);
            QCoreApplication::processEvents();
            open = alive && alive->isLoaded() && alive->isVisible();
            if (open) alive->Unload();
        });
        Form::Show("frmabout");
        return open;
    }

  private slots:
    void init() {
        ut::initWindows();
        initAssets();
        registerAboutWindow();
    }
    void cleanup() {
        QVERIFY(!ut::timedOut());
        ut::cleanupWindows();
    }

    void definition() {
        Form* about = Form::Load("frmabout");
        QVERIFY(about);
        about->show();
        QCOMPARE(about->size(), QSize(386, 350));
        QCOMPARE(about->minimumSize(), about->maximumSize());
        QVERIFY(about->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(about->windowType(), Qt::Tool);  // no task bar entry
        QCOMPARE(about->windowTitle(), QString("Quelbo"));
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((about->geometry().center() - centre).manhattanLength() <= 2);
        for (QWidget* control : about->findChildren<QWidget*>())
            QCOMPARE(control->focusPolicy(), Qt::NoFocus);
    }

    // Each label of the definition table, as the window shows it; points
    // become pixels at 96 dpi.
    void labels_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < frmabout::captions().size(); ++i)
            QTest::newRow(qPrintable(frmabout::captions()[i].name)) << i;
    }
    void labels() {
        QFETCH(int, row);
        const frmabout::Caption& c = frmabout::captions()[row];
        Form* about = Form::Load("frmabout");
        auto* label = about->findChild<QLabel*>(c.name);
        QVERIFY(label);
        QVERIFY(!c.text.isEmpty());
        QCOMPARE(label->text(), c.text);
        // Placed by its twips; it grows where its text needs more room.
        const QRect twips = twipRect(c.twips.x(), c.twips.y(), c.twips.width(), c.twips.height());
        QCOMPARE(label->pos(), twips.topLeft());
        QVERIFY(label->width() >= twips.width() && label->height() >= twips.height());
        QCOMPARE(label->palette().color(QPalette::WindowText), c.colour);
        QCOMPARE(label->font().pixelSize(), qRound(c.points * 96 / 72));
        QCOMPARE(label->font().bold(), c.bold);
        QVERIFY(!label->autoFillBackground());
    }

    void keysThatYieldACharacterClose_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("closes");
        QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << true;
        QTest::newRow("Esc") << int(Qt::Key_Escape) << 0 << true;
        QTest::newRow("Space") << int(Qt::Key_Space) << 0 << true;
        QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << true;
        QTest::newRow("letter") << int(Qt::Key_Q) << 0 << true;
        QTest::newRow("digit") << int(Qt::Key_4) << 0 << true;
        QTest::newRow("Left") << int(Qt::Key_Left) << 0 << false;
        QTest::newRow("Down") << int(Qt::Key_Down) << 0 << false;
        QTest::newRow("F1") << int(Qt::Key_F1) << 0 << false;
        QTest::newRow("Shift") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << false;
        QTest::newRow("Ctrl") << int(Qt::Key_Control) << int(Qt::ControlModifier) << false;
        QTest::newRow("Alt") << int(Qt::Key_Alt) << int(Qt::AltModifier) << false;
    }
    void keysThatYieldACharacterClose() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, closes);
        const bool open = stillOpenAfter(
            [&](Form* about) { ut::key(about, Qt::Key(key), Qt::KeyboardModifiers(modifiers)); });
        QCOMPARE(open, !closes);
    }

    void clickOnPictureCloses() {
        QVERIFY(!stillOpenAfter([](Form* about) { ut::click(about, QPoint(300, 200)); }));
    }

    void clickOnLabelDoesNot() {
        for (const char* name : {"Label1", "Label2", "Label3", "Label4", "Label5"}) {
            QVERIFY2(stillOpenAfter([&](Form* about) { ut::click(ut::child(about, name)); }), name);
        }
    }

    void closeBoxDoesNot() {
        QVERIFY(stillOpenAfter([](Form* about) { about->close(); }));
    }

    // Each opening builds a fresh window.
    void reopensFresh() {
        QPointer<Form> first;
        QVERIFY(!stillOpenAfter([&](Form* about) {
            first = about;
            about->findChild<QLabel*>("Label2")->setText("cambiado");
            ut::key(about, Qt::Key_Return);
        }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);
        QString text;
        stillOpenAfter([&](Form* about) { text = about->findChild<QLabel*>("Label2")->text(); });
        QCOMPARE(text, QString("v0.90 beta"));
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
