#include "support/uifault.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include "support/storetest.h"
#include "support/uitest.h"
#include "ui/orvmod.h"
#include "ui/toolkit/maskedbox.h"
#include "ui/windows.h"

namespace orv::uitest {

using orv::ui::Form;

bool setImmutable(const QString& path, bool on) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

QStringList storedNames(const QString& book) {
    QStringList names;
    for (const orv::Contact& c : storetest::readBook(book))
        names << (c[orv::kNombre] ? QString::fromStdString(*c[orv::kNombre]) : "<null>");
    return names;
}

const QStringList& CardDriver::boxes() {
    static const QStringList names = {"txtnom",  "txtape", "txtdom",  "txtlocprov", "txttel",
                                      "txtmail", "txticq", "txtfnac", "txtinfo"};
    return names;
}

void CardTest::initTestCase() {
    orv::ui::registerWindows();
}

void CardTest::init() {
    initWindows();
    book_ = makeBookFolder(dir_);
    QVERIFY(!book_.isEmpty());
}

void CardTest::cleanup() {
    cleanupWindows();
    dir_.reset();
}

bool CardDriver::run(const QString& codigo, const std::function<void()>& body) {
    orvmod::sCodigo = codigo;
    unanswered_.clear();
    // A box left unanswered would block the test for good.
    QTimer watchdog;
    int ticks = 0;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            ticks = 0;
        } else if (++ticks > 30) {
            ticks = 0;
            unanswered_ << box->text();
            QTest::keyClick(box, Qt::Key_Escape);
        }
    });
    watchdog.start(100);
    bool shown = false;
    whenShown("frmfinal", [&](Form* card) {
        shown = true;
        card_ = card;
        body();
        if (Form* still = Form::instance("frmfinal")) still->Unload();
    });
    const bool closed = Form::Show("frmfinal");
    card_ = nullptr;
    return closed && shown && !timedOut() && unanswered_.isEmpty();
}

QString CardDriver::text(const char* name) const {
    QWidget* box = w(name);
    if (auto* masked = qobject_cast<orv::ui::MaskedBox*>(box)) return masked->Text();
    if (auto* line = qobject_cast<QLineEdit*>(box)) return line->text();
    return qobject_cast<QPlainTextEdit*>(box)->toPlainText();
}

QString CardDriver::focused() const {
    QWidget* f = card_->focusWidget();
    return f ? f->objectName() : QString();
}

QString CardDriver::state() const {
    bool allOn = true, allOff = true;
    for (const QString& b : boxes()) {
        const bool on = w(qPrintable(b))->isEnabled();
        allOn = allOn && on;
        allOff = allOff && !on;
    }
    QString buttons;
    for (const char* b :
         {"cbNuevo", "cbGuardar", "cbCancelar", "cbModificar", "cbBorrar", "cbSalir"})
        buttons += w(b)->isEnabled() ? '1' : '0';
    if (w("txtcod")->isEnabled()) return "code box enabled";
    if (allOff && buttons == "100111") return "browse";
    if (allOn && buttons == "011000") return "edit";
    return "mixed " + buttons;
}

void CardDriver::settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

void CardDriver::press(const char* button) {
    click(w(button));
    settle();
}

void CardDriver::newContact(const QString& name, const QString& date) {
    press("cbNuevo");
    type(name);
    w("txtfnac")->setFocus();
    type(date);
}

void CardDriver::enter() {
    key(card_, Qt::Key_Return);
    settle();
}

void CardDriver::type(const QString& s) {
    for (QChar c : s) {
        const Qt::Key key = c.unicode() < 128 ? Qt::Key(c.toUpper().unicode()) : Qt::Key_unknown;
        QTest::sendKeyEvent(QTest::Click, card_->focusWidget(), key, QString(c), Qt::NoModifier);
    }
}

void CardDriver::paste(const char* box, const QString& s) {
    QWidget* target = w(box);
    target->setFocus();
    QTest::keyClick(target, Qt::Key_A, Qt::ControlModifier);
    QApplication::clipboard()->setText(s);
    QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
}

}  // namespace orv::uitest
