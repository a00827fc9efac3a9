// Every caption of every window whole in the font the machine actually
// gives it: run as the machine is, with DejaVu only (tests/fonts), and with
// a larger desktop font (ORV_DESKTOP_PT, as a desktop's settings give it).

#include <QFontInfo>
#include <QTemporaryDir>
#include <QTest>

#include "support/storetest.h"
#include "support/uitest.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;
namespace ut = orv::uitest;

namespace {

const char* const kWindows[] = {"frmmain", "frmfinal", "frmsecond", "frmabout"};

// The face a failure names.
QByteArray faceOf(const QWidget* control) {
    return QFontInfo(control->font()).family().toUtf8();
}

}  // namespace

class TestTexts : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;

  private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsSet("ORV_DESKTOP_PT"))
            QVERIFY(ut::useDesktopFontFromEnvironment() > 1);
        registerWindows();
        ut::initWindows();
        const QString book = ut::makeBookFolder(dir_);
        QVERIFY(!book.isEmpty());
        storetest::makeBook(book, {storetest::contact({"Ana"})});
    }
    void cleanupTestCase() { ut::cleanupWindows(); }

    void captionsWhole_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        for (const char* kind : kWindows) {
            Form* form = Form::Load(kind);
            QVERIFY(form);
            for (QWidget* c : form->findChildren<QWidget*>()) {
                auto* label = qobject_cast<Label*>(c);
                if (qobject_cast<Button*>(c) || (label && !label->text().isEmpty()))
                    QTest::addRow("%s %s", kind, qPrintable(c->objectName()))
                        << QString(kind) << c->objectName();
            }
            form->Unload();
        }
    }
    void captionsWhole() {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        Form* form = Form::Load(kind);
        QVERIFY(form);
        QWidget* control = form->findChild<QWidget*>(name);
        QVERIFY(control);
        const QFontMetrics fm(control->font());
        if (auto* label = qobject_cast<Label*>(control)) {
            const QString text = label->text();
            const int need = qMax(fm.horizontalAdvance(text), fm.boundingRect(text).right() + 1);
            const QRect room = label->contentsRect();
            QVERIFY2(need <= room.width() && fm.height() <= room.height(), faceOf(label));
            // Grown to its text, it still covers nothing else of its window.
            QVERIFY(label->parentWidget()->rect().contains(label->geometry()));
            for (QWidget* other :
                 label->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (other != label && other->isVisibleTo(form))
                    QVERIFY2(!label->geometry().intersects(other->geometry()),
                             qPrintable(other->objectName()));
            }
        } else {
            auto* button = qobject_cast<Button*>(control);
            QVERIFY(button);
            const QRect face = button->rect().adjusted(2, 1, -2, -1);
            const QRect text = button->textRect();
            QCOMPARE(text.width(), fm.horizontalAdvance(button->shownText()));
            QVERIFY2(face.contains(text), faceOf(button));
            // The access key's line lies beneath the descenders, on the face.
            const QLine line = button->accessKeyLine();
            if (button->text().contains('&')) {
                QVERIFY(line.y1() >= text.top() + fm.ascent() + fm.descent());
                QVERIFY(face.contains(line.p1()) && face.contains(line.p2()));
            }
        }
        form->Unload();
    }
};

QTEST_MAIN(TestTexts)
#include "tst_texts.moc"
