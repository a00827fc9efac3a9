// Every caption of every window whole in the font the machine actually
// gives it: run as it is, and with only DejaVu, and with DejaVu and
// Liberation (tests/fonts/*.conf).

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

// The labels and buttons of a window that show a text.
QList<QWidget*> captions(Form* form) {
    QList<QWidget*> out;
    for (Label* label : form->findChildren<Label*>()) {
        if (!label->text().isEmpty()) out << label;
    }
    for (Button* button : form->findChildren<Button*>()) out << button;
    return out;
}

QString measured(const QWidget* control, int need, int room) {
    return QString("%1 in %2: needs %3 px, has %4")
        .arg(control->objectName(), QFontInfo(control->font()).family())
        .arg(need)
        .arg(room);
}

}  // namespace

class TestTexts : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;

  private slots:
    void initTestCase() {
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
            for (QWidget* control : captions(form))
                QTest::addRow("%s %s", kind, qPrintable(control->objectName()))
                    << QString(kind) << control->objectName();
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
            QVERIFY2(need <= room.width(), qPrintable(measured(label, need, room.width())));
            QVERIFY2(fm.height() <= room.height(),
                     qPrintable(measured(label, fm.height(), room.height())));
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
            QVERIFY2(face.contains(text), qPrintable(measured(button, text.width(), face.width())));
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
