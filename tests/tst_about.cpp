// The about window: its definition, and what closes it and what does not.

#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTest>

#include "support/uitest.h"
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
    void cleanup() { ut::cleanupWindows(); }

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

    // Each label as the window shows it; points become pixels at 96 dpi. The
    // credit and contact lines are the program's own: any text will do.
    void labels_data() {
        QTest::addColumn<QString>("text");  // empty: any
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QString>("family");
        QTest::addColumn<double>("points");
        QTest::addColumn<bool>("bold");
        const QColor blue(0, 0, 255), red(255, 0, 0);
        QTest::newRow("Label5") << "" << QRect(2760, 4680, 2730, 240) << blue << "Courier New"
                                << 9.0 << true;
        QTest::newRow("Label4") << "en el año 2000" << QRect(240, 4920, 1155, 210) << red << "Arial"
                                << 8.25 << true;
        QTest::newRow("Label3") << "" << QRect(240, 4680, 1605, 210) << red << "Arial" << 8.25
                                << true;
        QTest::newRow("Label2") << "v0.90 beta" << QRect(3480, 840, 1950, 345) << blue
                                << "Courier New" << 15.75 << true;
        QTest::newRow("Label1") << "Orvane" << QRect(120, 120, 5160, 420) << QColor(0, 192, 0)
                                << "Aksent" << 18.0 << false;
    }
    void labels() {
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        QFETCH(QColor, colour);
        QFETCH(QString, family);
        QFETCH(double, points);
        QFETCH(bool, bold);
        Form* about = Form::Load("frmabout");
        auto* label = about->findChild<QLabel*>(QTest::currentDataTag());
        QVERIFY(label);
        QVERIFY(!label->text().isEmpty());
        if (!text.isEmpty()) QCOMPARE(label->text(), text);
        // Placed by its twips; it grows where its text needs more room.
        const QRect r = twipRect(twips.x(), twips.y(), twips.width(), twips.height());
        QCOMPARE(label->pos(), r.topLeft());
        QVERIFY(label->width() >= r.width() && label->height() >= r.height());
        QCOMPARE(label->palette().color(QPalette::WindowText), colour);
        QCOMPARE(label->font().family(), family);
        QCOMPARE(label->font().pixelSize(), qRound(points * 96 / 72));
        QCOMPARE(label->font().bold(), bold);
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
