// The record card driven through real widgets offscreen, on temporary books
// placed where the card opens them.

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/orvmod.h"
#include "support/storetest.h"
#include "support/uifault.h"
#include "support/uitest.h"
#include "ui/card/boxes.h"
#include "ui/card/frmfinal.h"
#include "ui/main/windows.h"
#include "ui/toolkit/maskedbox.h"

using namespace orv::ui;
using orv::Contact;
using storetest::contact;
namespace ut = orv::uitest;

namespace {

const QString kNameMsg = "El campo 'Nombre' no puede estar vacio!";
const QString kDateMsg = "La fecha, del campo 'Fecha de nacimiento' es incorrecta!";
const QString kNoModifyMsg = "No hay registros para modificar!";
const QString kAskDeleteMsg = "Desea borrar el siguiente registro?";
const QString kNoDeleteMsg = "No hay registros para borrar!";

const char* const kBoxes[] = {"txtnom",  "txtape", "txtdom",  "txtlocprov", "txttel",
                              "txtmail", "txticq", "txtfnac", "txtinfo"};

const std::vector<Contact> kThree = {
    contact(
        {"Ana", "López", "Mayor 1", "Madrid", "911", "ana@correo.es", "11", "amiga", "1980-03-05"}),
    contact({"Bruno", "Díaz", "Sol 2", "Sevilla", "954", "bruno@correo.es", "22", std::nullopt,
             "1975-12-31"}),
    contact(
        {"Carla", "Ruiz", "Luna 3", "Lugo", "982", "carla@correo.es", "33", "prima", "2000-02-29"}),
};

}  // namespace

class TstCard : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString book_;
    Form* card_ = nullptr;
    QStringList unexpected_;  // real boxes nobody answered
    QTimer watchdog_;
    QList<QString> frozen_;  // paths to make writable again at cleanup

    // ---- the book ----
    void makeBook(const std::vector<Contact>& contacts) { storetest::makeBook(book_, contacts); }
    std::vector<Contact> stored() { return storetest::readBook(book_); }
    QStringList storedNames() {
        QStringList names;
        for (const Contact& c : stored())
            names << (c[orv::kNombre] ? QString::fromStdString(*c[orv::kNombre]) : "<null>");
        return names;
    }

    // ---- the card ----
    // Shows the card modally on the contact of `codigo` and runs `body` in it;
    // the card is unloaded afterwards if the body left it open.
    void withCard(const QString& codigo, const std::function<void()>& body) {
        orvmod::sCodigo = codigo;
        ut::whenShown("frmfinal", [&](Form* card) {
            card_ = card;
            body();
            if (Form::instance("frmfinal")) Form::instance("frmfinal")->Unload();
        });
        QVERIFY(Form::Show("frmfinal"));
        card_ = nullptr;
        QVERIFY(!ut::timedOut());
    }
    template <class T = QWidget>
    T* w(const char* name) {
        T* found = ut::child<T>(card_, name);
        if (!found) qFatal("no control %s", name);
        return found;
    }
    QString text(const char* name) {
        QWidget* box = w(name);
        if (auto* masked = qobject_cast<MaskedBox*>(box)) return masked->Text();
        if (auto* line = qobject_cast<QLineEdit*>(box)) return line->text();
        return qobject_cast<QPlainTextEdit*>(box)->toPlainText();
    }
    QString code() { return text("txtcod").trimmed(); }
    QString focused() {
        QWidget* f = card_->focusWidget();
        return f ? f->objectName() : QString();
    }
    // "browse" or "edit" when boxes and buttons agree with one state.
    QString state() {
        bool allOn = true, allOff = true;
        for (const char* b : kBoxes) {
            allOn = allOn && w(b)->isEnabled();
            allOff = allOff && !w(b)->isEnabled();
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
    void settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    void press(const char* button) {
        ut::click(w(button));
        settle();
    }
    void enter() {
        ut::key(card_, Qt::Key_Return);
        settle();
    }
    // Types into the focused box, any character (QTest's own keyClicks takes ASCII only).
    void type(const QString& s) {
        for (QChar c : s) {
            const Qt::Key key =
                c.unicode() < 128 ? Qt::Key(c.toUpper().unicode()) : Qt::Key_unknown;
            QTest::sendKeyEvent(QTest::Click, card_->focusWidget(), key, QString(c),
                                Qt::NoModifier);
        }
    }
    QStringList prompts() { return MsgBoxSeam::prompts(); }
    // Starts a new contact and types its name and date (ddmmyyyy digits).
    void newContact(const QString& name, const QString& date) {
        press("cbNuevo");
        type(name);
        w("txtfnac")->setFocus();
        type(date);
    }

  private slots:
    void initTestCase() {
        registerWindows();
        // An unanswered real box would block the test: answer it with Esc
        // after a while and fail the test.
        connect(&watchdog_, &QTimer::timeout, this, [this] {
            static int ticks = 0;
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                ticks = 0;
            } else if (++ticks > 30) {
                ticks = 0;
                unexpected_ << box->text();
                QTest::keyClick(box, Qt::Key_Escape);
            }
        });
        watchdog_.start(100);
    }
    void init() {
        ut::initWindows();
        book_ = ut::makeBookFolder(dir_);
        QVERIFY(!book_.isEmpty());
        unexpected_.clear();
    }
    void cleanup() {
        ut::cleanupWindows();
        for (const QString& p : frozen_) ut::setImmutable(p, false);
        for (const QString& p : frozen_) QFile::setPermissions(p, QFile::Permissions(0x7755));
        frozen_.clear();
        dir_.reset();
        QVERIFY2(unexpected_.isEmpty(), qPrintable(unexpected_.join(" | ")));
    }

    // No book beside the program: the engine's message, then the end.
    void missingBook() {
        MsgBoxSeam::queueAnswer(vbOK);
        QVERIFY(!Form::Show("frmfinal"));
        QCOMPARE(prompts().size(), 1);
        QVERIFY2(prompts().at(0).startsWith("Error 3001: "), qPrintable(prompts().at(0)));
        QCOMPARE(ut::programEnds(), QList<int>{1});
    }

    void definition() {
        makeBook(kThree);
        withCard("", [&] {
            QCOMPARE(card_->size(), QSize(432, 303));
            QCOMPARE(card_->windowTitle(), QString("ORV v0.90 beta"));
            // Every control lies inside the client area.
            for (QWidget* child : card_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                QVERIFY2(card_->rect().contains(child->geometry()),
                         qPrintable(child->objectName()));
            const QColor green(0, 255, 0), red(255, 0, 0);
            for (auto* label : card_->findChildren<Label*>()) {
                QVERIFY(label->font().bold());
                const QColor want = label->objectName() == "Label7" ? red : green;
                QCOMPARE(label->palette().color(QPalette::WindowText), want);
            }
            QCOMPARE(w<QLabel>("Label7")->font().families().first(), QString("Tahoma"));
            QCOMPARE(w<QPlainTextEdit>("txtinfo")->verticalScrollBarPolicy(),
                     Qt::ScrollBarAlwaysOn);
            QCOMPARE(text("txtfnac"), QString("05/03/1980"));
            QCOMPARE(text("txtcod"), QString("1     "));
            QCOMPARE(w("txtcod")->focusPolicy(), Qt::NoFocus);
        });
    }

    void numeroDeCodigo_data() {
        QTest::addColumn<QString>("codigo");
        QTest::addColumn<QString>("numero");
        const char* const rows[][3] = {
            {"plain", "17", "17"},
            {"empty", "", "0"},
            {"blanks first", "  \t42", "42"},
            {"trailing text", "12abc", "12"},
            {"no number", "abc", "0"},
            {"integral fraction", "3.0", "3"},
            {"fraction", "2.5", "2.5"},
            {"sign", "-4", "-4"},
            {"exponent", "1e3", "1000"},
        };
        for (const auto& r : rows) QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
    }
    void numeroDeCodigo() {
        QFETCH(QString, codigo);
        QFETCH(QString, numero);
        QCOMPARE(frmfinal::numeroDeCodigo(codigo), numero);
    }

    void opensOnCodigo_data() {
        QTest::addColumn<QString>("codigo");
        QTest::addColumn<QString>("nombre");
        QTest::newRow("chosen") << "2"
                                << "Bruno";
        QTest::newRow("padded") << " 3 "
                                << "Carla";
        QTest::newRow("never chosen") << ""
                                      << "Ana";
        QTest::newRow("empty list") << "0"
                                    << "Ana";
        QTest::newRow("deleted meanwhile") << "9"
                                           << "Ana";
    }
    // A search that finds nobody shows the first contact, so that Modificar
    // and Borrar act on the contact the user sees.
    void opensOnCodigo() {
        QFETCH(QString, codigo);
        QFETCH(QString, nombre);
        makeBook(kThree);
        withCard(codigo, [&] {
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(focused(), QString("cbNuevo"));
            QCOMPARE(text("txtnom"), nombre);
            MsgBoxSeam::queueAnswer(vbYes);
            press("cbBorrar");
        });
        QCOMPARE(prompts(), QStringList{kAskDeleteMsg});
        QVERIFY(!storedNames().contains(nombre));
        QCOMPARE(storedNames().size(), 2);
    }

    // Enter alone walks from Nombre to Guardar and stores the contact; the
    // code box and Nuevo are passed over and no box receives the Enter.
    void enterWalksToGuardar() {
        makeBook(kThree);
        withCard("2", [&] {
            press("cbNuevo");
            QCOMPARE(state(), QString("edit"));
            QCOMPARE(text("txtfnac"), QString("__/__/____"));
            QCOMPARE(text("txtnom"), QString());
            const QStringList typed = {"Zoe",           "Ñúñez", "Real 4",   "León", "987",
                                       "zoe@correo.es", "44",    "01021990", "nota"};
            QStringList walk;
            for (const QString& t : typed) {
                walk << focused();
                type(t);
                enter();
            }
            QCOMPARE(walk, QStringList(std::begin(kBoxes), std::end(kBoxes)));
            QCOMPARE(focused(), QString("cbGuardar"));
            ut::click(w("txtcod"));
            QCOMPARE(focused(), QString("cbGuardar"));
            QCOMPARE(text("txtinfo"), QString("nota"));
            enter();
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(text("txtnom"), QString("Bruno"));
            QCOMPARE(code(), QString("2"));
        });
        QVERIFY(prompts().isEmpty());
        const auto rows = stored();
        QCOMPARE(rows.size(), std::size_t(4));
        QCOMPARE(storetest::show(rows[3]),
                 storetest::show(contact({"Zoe", "Ñúñez", "Real 4", "León", "987", "zoe@correo.es",
                                          "44", "nota", "1990-02-01"})));
    }

    // The name test: the box gets the focus before the message comes up
    // (a real box, answered by Enter); only "" fails.
    void nameTest() {
        makeBook(kThree);
        withCard("1", [&] {
            newContact("", "01011990");
            QString focusAtMessage;
            ut::answerMessageBoxByKey(Qt::Key_Return, [&](QMessageBox* box) {
                focusAtMessage = focused();
                QCOMPARE(box->text(), kNameMsg);
                QCOMPARE(box->windowTitle(), QString("Orvane"));
            });
            press("cbGuardar");
            QCOMPARE(focusAtMessage, QString("txtnom"));
            QCOMPARE(state(), QString("edit"));
            QCOMPARE(text("txtfnac"), QString("01/01/1990"));
            type(" ");
            press("cbGuardar");
            QCOMPARE(state(), QString("browse"));
        });
        QCOMPARE(prompts(), QStringList{kNameMsg});
        QCOMPARE(storedNames(), (QStringList{"Ana", "Bruno", "Carla", " "}));
    }

    void dateTest_data() {
        QTest::addColumn<QString>("digits");
        QTest::addColumn<QString>("iso");  // empty: refused
        const char* const rows[][3] = {
            {"leap day", "29022024", "2024-02-29"},
            {"no leap day", "29022023", ""},
            {"31 April", "31042020", ""},
            {"day 0", "00052020", ""},
            {"month 13", "12132020", ""},
            {"partial", "0102", ""},
            {"untouched", "", ""},
            {"letters refused", "1a2b04x1999", "1999-04-12"},
        };
        for (const auto& r : rows) QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
    }
    void dateTest() {
        QFETCH(QString, digits);
        QFETCH(QString, iso);
        makeBook(kThree);
        withCard("3", [&] {
            newContact("Zoe", digits);
            // Enter moves on whatever the date holds; it is judged at Guardar.
            enter();
            QCOMPARE(focused(), QString("txtinfo"));
            type("x");
            if (iso.isEmpty()) MsgBoxSeam::queueAnswer(vbOK);
            press("cbGuardar");
            if (iso.isEmpty()) {
                QCOMPARE(prompts(), QStringList{kDateMsg});
                QCOMPARE(state(), QString("edit"));
                QCOMPARE(focused(), QString("txtfnac"));
                QCOMPARE(text("txtfnac"), QString("__/__/____"));
                QCOMPARE(text("txtnom"), QString("Zoe"));
                QCOMPARE(text("txtinfo"), QString("x"));
            } else {
                QVERIFY(prompts().isEmpty());
                QCOMPARE(state(), QString("browse"));
                QCOMPARE(text("txtnom"), QString("Carla"));
            }
        });
        const auto rows = stored();
        QCOMPARE(rows.size(), std::size_t(iso.isEmpty() ? 3 : 4));
        if (!iso.isEmpty()) QCOMPARE(*rows.back()[orv::kFecha], iso.toStdString());
    }

    // A contact stored without a date can be opened for change, but is
    // stored again only with a valid date.
    void modifyWithoutDate() {
        makeBook({contact({"Dora", std::nullopt, std::nullopt})});
        withCard("1", [&] {
            QCOMPARE(text("txtfnac"), QString("__/__/____"));
            press("cbModificar");
            QCOMPARE(state(), QString("edit"));
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbGuardar");
            QCOMPARE(prompts(), QStringList{kDateMsg});
            type("24121970");
            press("cbGuardar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(text("txtfnac"), QString("24/12/1970"));
        });
        const Contact row = stored().at(0);
        QCOMPARE(*row[orv::kFecha], std::string("1970-12-24"));
        QVERIFY(!row[orv::kApellido]);  // untouched nulls stay null
    }

    // A blank date box reached with Enter takes digits from its first position.
    void blankDateByKeyboard() {
        makeBook({contact({"Eva", std::nullopt, std::nullopt}),
                  contact({"Fe", "", "", "", "", "", "", "", "1980-3-5"})});
        for (const char* codigo : {"1", "2"})
            withCard(codigo, [&] {
                press("cbModificar");
                w("txticq")->setFocus();
                enter();
                QCOMPARE(focused(), QString("txtfnac"));
                type("02011990");
                QCOMPARE(text("txtfnac"), QString("02/01/1990"));
            });
    }

    // Cancelar drops the change; the focus passing over Nuevo on the way
    // must not disturb the change being cancelled.
    void cancelar() {
        makeBook(kThree);
        const QByteArray before = storetest::fileBytes(book_);
        withCard("2", [&] {
            MsgBoxSeam::queueAnswer(vbNo);
            press("cbBorrar");
            QCOMPARE(text("txtnom"), QString("Ana"));
            // The click onto Nuevo goes back to sCodigo's contact first.
            newContact("Zoe", "01011990");
            press("cbCancelar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(text("txtnom"), QString("Bruno"));
            QCOMPARE(text("txtfnac"), QString("31/12/1975"));

            press("cbModificar");
            QCOMPARE(state(), QString("edit"));
            w("txtape")->setFocus();
            w<QLineEdit>("txtape")->selectAll();
            type("Otro");
            w<QLineEdit>("txtfnac")->clear();
            press("cbCancelar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(text("txtape"), QString("Díaz"));
            QCOMPARE(text("txtfnac"), QString("31/12/1975"));
        });
        QCOMPARE(prompts(), QStringList{kAskDeleteMsg});
        QCOMPARE(storetest::fileBytes(book_), before);
    }

    // Borrar asks (real boxes: Esc answers No, Enter the default Yes) and
    // always reloads: the first contact is shown afterwards; Tab or a click
    // onto Nuevo goes back to sCodigo's contact.
    void borrar() {
        makeBook(kThree);
        withCard("3", [&] {
            ut::answerMessageBoxByKey(Qt::Key_Escape);
            press("cbBorrar");
            QCOMPARE(text("txtnom"), QString("Ana"));
            QCOMPARE(storedNames().size(), 3);
            QCOMPARE(focused(), QString("cbBorrar"));
            ut::key(card_, Qt::Key_Tab);  // Salir
            ut::key(card_, Qt::Key_Tab);  // round to Nuevo
            QCOMPARE(focused(), QString("cbNuevo"));
            QCOMPARE(text("txtnom"), QString("Carla"));

            ut::answerMessageBoxByKey(Qt::Key_Return);
            press("cbBorrar");
            QCOMPARE(storedNames(), (QStringList{"Ana", "Bruno"}));
            QCOMPARE(text("txtnom"), QString("Ana"));
            QCOMPARE(state(), QString("browse"));
        });
        QCOMPARE(prompts(), (QStringList{kAskDeleteMsg, kAskDeleteMsg}));
    }

    void emptyTable() {
        makeBook({});
        withCard("", [&] {
            QCOMPARE(text("txtnom"), QString());
            QCOMPARE(text("txtfnac"), QString("__/__/____"));
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbModificar");
            QCOMPARE(state(), QString("browse"));
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbBorrar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(prompts(), (QStringList{kNoModifyMsg, kNoDeleteMsg}));

            newContact("Eva", "02022002");
            press("cbCancelar");
            QCOMPARE(text("txtnom"), QString());
            QCOMPARE(text("txtfnac"), QString("__/__/____"));
            QCOMPARE(code(), QString());

            newContact("Eva", "02022002");
            press("cbGuardar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(text("txtnom"), QString("Eva"));
            QCOMPARE(code(), QString("1"));
        });
        QCOMPARE(prompts().size(), 2);
        QCOMPARE(storedNames(), QStringList{"Eva"});
    }

    // The limits hold for typing and pasting; texts at the limits are
    // stored whole.
    void entryLimits() {
        makeBook(kThree);
        withCard("1", [&] {
            newContact(QString(60, 'n'), "01011990");
            QCOMPARE(text("txtnom"), QString(50, 'n'));
            w("txtmail")->setFocus();
            QApplication::clipboard()->setText(QString(70, 'm'));
            QTest::keyClick(w("txtmail"), Qt::Key_V, Qt::ControlModifier);
            QTest::keyClick(w("txtmail"), Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(text("txtmail"), QString(100, 'm'));
            QCOMPARE(w<QLineEdit>("txtmail")->cursorPosition(), 100);
            w("txtinfo")->setFocus();
            type(QString(150, 'i'));
            QTest::keyClick(w("txtinfo"), Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(text("txtinfo"), QString(150, 'i') + QString(50, 'm'));
            type("zz");
            QCOMPARE(text("txtinfo").size(), 200);
            // A character in place of a selection still fits.
            w("txtnom")->setFocus();
            w<QLineEdit>("txtnom")->setSelection(0, 1);
            type("ñ");
            QCOMPARE(text("txtnom"), "ñ" + QString(49, 'n'));
            press("cbGuardar");
        });
        QVERIFY(prompts().isEmpty());
        const Contact row = stored().back();
        QCOMPARE(QString::fromStdString(*row[orv::kNombre]), "ñ" + QString(49, 'n'));
        QCOMPARE(row[orv::kEmail]->size(), std::size_t(100));
        QCOMPARE(row[orv::kMasInfo]->size(), std::size_t(200));
        QCOMPARE(limitEdit("abc", "abXYZc", 4), QString("abXc"));
        QCOMPARE(limitEdit(QString(60, 'a'), QString(59, 'a'), 50), QString(59, 'a'));
        QCOMPARE(limitEdit("ab", "a😀b", 3), QString("a😀b"));
        QCOMPARE(limitEdit("ab", "a😀😀b", 3), QString("a😀b"));
    }

    // A stored text longer than its box's limit is shown whole and survives
    // Modificar + Guardar; typing adds nothing to it, deleting works.
    void longStoredTexts() {
        const std::string name(80, 'N'), mail(150, 'm'),
            info = std::string(150, 'i') + "\r\n" + std::string(150, 'j');
        const Contact tall = contact({name, "Alto", std::nullopt, std::nullopt, std::nullopt, mail,
                                      std::nullopt, info, "1999-09-09"});
        makeBook({tall});
        withCard("1", [&] {
            QCOMPARE(text("txtnom").size(), 80);
            press("cbModificar");
            w("txtnom")->setFocus();
            w<QLineEdit>("txtnom")->end(false);
            type("x");
            QCOMPARE(text("txtnom").size(), 80);
            w("txtinfo")->setFocus();
            type("x");
            press("cbGuardar");
            QCOMPARE(state(), QString("browse"));
        });
        QCOMPARE(storetest::show(stored().at(0)), storetest::show(tall));
        withCard("1", [&] {
            press("cbModificar");
            w("txtape")->setFocus();
            QTest::keyClick(w("txtape"), Qt::Key_Backspace);
            press("cbGuardar");
        });
        Contact shorter = tall;
        shorter[orv::kApellido] = "Alt";
        QCOMPARE(storetest::show(stored().at(0)), storetest::show(shorter));
        QVERIFY(prompts().isEmpty());
    }

    // Another program holds the write lock: Guardar and Borrar report the
    // engine's message and keep everything; once the lock is gone they work.
    void lockedFile() {
        makeBook(kThree);
        auto other = orv::Database::open(book_.toStdString());
        withCard("2", [&] {
            newContact("Zoe", "01011990");
            other->exec("BEGIN IMMEDIATE");
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbGuardar");
            QCOMPARE(prompts().size(), 1);
            QVERIFY2(prompts().at(0).startsWith("Error 3032: "), qPrintable(prompts().at(0)));
            QCOMPARE(state(), QString("edit"));
            QCOMPARE(text("txtnom"), QString("Zoe"));
            QCOMPARE(text("txtfnac"), QString("01/01/1990"));
            other->exec("ROLLBACK");
            press("cbGuardar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(storedNames().size(), 4);

            other->exec("BEGIN IMMEDIATE");
            MsgBoxSeam::queueAnswer(vbYes);
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbBorrar");
            QVERIFY(prompts().last().startsWith("Error 3032: "));
            QCOMPARE(text("txtnom"), QString("Bruno"));
            QCOMPARE(state(), QString("browse"));
            other->exec("ROLLBACK");
            MsgBoxSeam::queueAnswer(vbYes);
            press("cbBorrar");
        });
        QCOMPARE(storedNames(), (QStringList{"Ana", "Carla", "Zoe"}));
    }

    // A book that is read-only when the card opens it: the store is refused
    // with the engine's message, the typed contact stays, Cancelar still works.
    void readOnlyFile() {
        makeBook(kThree);
        const QByteArray before = storetest::fileBytes(book_);
        frozen_ << book_;
        if (geteuid() == 0) {
            if (!ut::setImmutable(book_, true)) QSKIP("cannot make a file read-only for root here");
        } else {
            QFile::setPermissions(book_, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        }
        withCard("1", [&] {
            newContact("Zoe", "01011990");
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbGuardar");
            QCOMPARE(prompts().size(), 1);
            QVERIFY2(prompts().at(0).startsWith("Error 3031: "), qPrintable(prompts().at(0)));
            QCOMPARE(state(), QString("edit"));
            QCOMPARE(text("txtnom"), QString("Zoe"));
            press("cbCancelar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(text("txtnom"), QString("Ana"));
        });
        QCOMPARE(storetest::fileBytes(book_), before);
    }

    // Writes refused while the card is open (the file frozen for root, the
    // folder closed otherwise): reported, then a retry stores the contact.
    void refusedThenRetried() {
        makeBook(kThree);
        const bool root = geteuid() == 0;
        const QString target = root ? book_ : dir_->path();
        frozen_ << target;
        auto refuse = [&](bool on) {
            if (root) return ut::setImmutable(target, on);
            return QFile::setPermissions(
                target, on ? QFile::Permissions(0x5555) : QFile::Permissions(0x7755));
        };
        if (!refuse(true) || !refuse(false)) QSKIP("cannot refuse writes here");
        withCard("1", [&] {
            newContact("Zoe", "01011990");
            QVERIFY(refuse(true));
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbGuardar");
            QCOMPARE(prompts().size(), 1);
            QVERIFY(prompts().at(0).startsWith("Error "));
            QCOMPARE(state(), QString("edit"));
            QVERIFY(refuse(false));
            press("cbGuardar");
            QCOMPARE(state(), QString("browse"));
        });
        QCOMPARE(storedNames(), (QStringList{"Ana", "Bruno", "Carla", "Zoe"}));
    }

    // The shown contact was deleted by another program: Modificar and Borrar
    // say so and show the first contact instead of acting on nothing.
    void goneMeanwhile() {
        makeBook(kThree);
        auto other = orv::Database::open(book_.toStdString());
        withCard("2", [&] {
            other->exec("DELETE FROM Registros WHERE Codigo = 2");
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbModificar");
            QCOMPARE(state(), QString("browse"));
            QCOMPARE(text("txtnom"), QString("Ana"));

            ut::key(card_, Qt::Key_Tab);  // Borrar
            ut::key(card_, Qt::Key_Tab);  // Salir
            ut::key(card_, Qt::Key_Tab);  // Nuevo: back to sCodigo, gone, so Ana
            other->exec("DELETE FROM Registros WHERE Codigo = 1");
            MsgBoxSeam::queueAnswer(vbYes);
            MsgBoxSeam::queueAnswer(vbOK);
            press("cbBorrar");
            QCOMPARE(text("txtnom"), QString("Carla"));
        });
        const QStringList p = prompts();
        QCOMPARE(p.size(), 3);
        QVERIFY(p[0].startsWith("Error 3020: "));
        QCOMPARE(p[1], kAskDeleteMsg);
        QVERIFY(p[2].startsWith("Error 3020: "));
        QCOMPARE(storedNames(), QStringList{"Carla"});
    }

    // The close box unloads the card only where Salir could.
    void closeBox() {
        makeBook(kThree);
        withCard("1", [&] {
            press("cbModificar");
            card_->close();
            settle();
            QVERIFY(Form::instance("frmfinal") == card_);
            QCOMPARE(state(), QString("edit"));
            press("cbCancelar");
            newContact("Zoe", "01011990");
            card_->close();
            settle();
            QVERIFY(Form::instance("frmfinal") == card_);
            QCOMPARE(text("txtnom"), QString("Zoe"));
            press("cbCancelar");
            card_->close();
            settle();
            QVERIFY(!Form::instance("frmfinal"));
        });
        QVERIFY(prompts().isEmpty());
        QCOMPARE(storedNames().size(), 3);
    }
};

QTEST_MAIN(TstCard)
#include "tst_card.moc"
