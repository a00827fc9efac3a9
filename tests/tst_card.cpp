// The record card driven through real widgets offscreen, on temporary books
// placed where the card opens them.

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>

#include "store/history.h"
#include "support/rows.h"
#include "support/storetest.h"
#include "support/uifault.h"
#include "ui/card/frmfinal.h"
#include "ui/toolkit/boxes.h"

using namespace orv::ui;
using orv::Contact;
using storetest::contact;
namespace ut = orv::uitest;

namespace {

const std::vector<Contact> kThree = {
    contact(
        {"Ana", "López", "Mayor 1", "Madrid", "911", "ana@correo.es", "11", "amiga", "1980-03-05"}),
    contact({"Bruno", "Díaz", "Sol 2", "Sevilla", "954", "bruno@correo.es", "22", std::nullopt,
             "1975-12-31"}),
    contact(
        {"Carla", "Ruiz", "Luna 3", "Lugo", "982", "carla@correo.es", "33", "prima", "2000-02-29"}),
};

}  // namespace

class TestCard : public ut::CardTest {
    Q_OBJECT

    void makeBook(const std::vector<Contact>& contacts) { storetest::makeBook(book_, contacts); }
    std::vector<Contact> stored() { return storetest::readBook(book_); }
    QStringList storedNames() { return ut::storedNames(book_); }

  private slots:
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
        QVERIFY(card_.run("", [&] {
            QCOMPARE(card_.window()->size(), QSize(432, 303));
            QCOMPARE(card_.window()->windowTitle(), QString("ORV v0.90 beta"));
            // Every control lies inside the client area.
            for (QWidget* child :
                 card_.window()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                QVERIFY2(card_.window()->rect().contains(child->geometry()),
                         qPrintable(child->objectName()));
            const QColor green(0, 255, 0), red(255, 0, 0);
            for (auto* label : card_.window()->findChildren<Label*>()) {
                QVERIFY(label->font().bold());
                const QColor want = label->objectName() == "Label7" ? red : green;
                QCOMPARE(label->palette().color(QPalette::WindowText), want);
            }
            QCOMPARE(card_.w<QLabel>("Label7")->font().families().first(), QString("Tahoma"));
            QCOMPARE(card_.w<QPlainTextEdit>("txtinfo")->verticalScrollBarPolicy(),
                     Qt::ScrollBarAlwaysOn);
            QCOMPARE(card_.text("txtfnac"), QString("05/03/1980"));
            QCOMPARE(card_.text("txtcod"), QString("1     "));
            QCOMPARE(card_.w("txtcod")->focusPolicy(), Qt::NoFocus);
        }));
    }

    // sCodigo and the number the card searches for.
    void numeroDeCodigo() {
        const std::pair<QString, QString> cases[] = {
            {"17", "17"}, {"", "0"},      {"  \t42", "42"}, {"12abc", "12"}, {"abc", "0"},
            {"3.0", "3"}, {"2.5", "2.5"}, {"-4", "-4"},     {"1e3", "1000"},
        };
        for (const auto& [codigo, numero] : cases)
            QCOMPARE(frmfinal::numeroDeCodigo(codigo), numero);
    }

    void opensOnCodigo_data() {
        testrows::texts({"codigo", "nombre"}, {{"chosen", "2", "Bruno"},
                                               {"padded", " 3 ", "Carla"},
                                               {"never chosen", "", "Ana"},
                                               {"empty list", "0", "Ana"},
                                               {"deleted meanwhile", "9", "Ana"}});
    }
    // A search that finds nobody shows the first contact, so that Modificar
    // and Borrar act on the contact the user sees.
    void opensOnCodigo() {
        QFETCH(QString, codigo);
        QFETCH(QString, nombre);
        makeBook(kThree);
        QVERIFY(card_.run(codigo, [&] {
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.focused(), QString("cbNuevo"));
            QCOMPARE(card_.text("txtnom"), nombre);
            MsgBoxSeam::queueAnswer(vbYes);
            card_.press("cbBorrar");
        }));
        QCOMPARE(prompts(), QStringList{kAskDeleteMsg});
        QVERIFY(!storedNames().contains(nombre));
        QCOMPARE(storedNames().size(), 2);
    }

    // Enter alone walks from Nombre to Guardar and stores the contact; the
    // code box and Nuevo are passed over and no box receives the Enter.
    void enterWalksToGuardar() {
        makeBook(kThree);
        QVERIFY(card_.run("2", [&] {
            card_.press("cbNuevo");
            QCOMPARE(card_.state(), QString("edit"));
            QCOMPARE(card_.text("txtfnac"), QString("__/__/____"));
            QCOMPARE(card_.text("txtnom"), QString());
            const QStringList typed = {"Zoe",           "Ñúñez", "Real 4",   "León", "987",
                                       "zoe@correo.es", "44",    "01021990", "nota"};
            QStringList walk;
            for (const QString& t : typed) {
                walk << card_.focused();
                card_.type(t);
                card_.enter();
            }
            QCOMPARE(walk, ut::CardDriver::boxes());
            QCOMPARE(card_.focused(), QString("cbGuardar"));
            ut::click(card_.w("txtcod"));
            QCOMPARE(card_.focused(), QString("cbGuardar"));
            QCOMPARE(card_.text("txtinfo"), QString("nota"));
            card_.enter();
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtnom"), QString("Bruno"));
            QCOMPARE(card_.code(), QString("2"));
        }));
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
        QVERIFY(card_.run("1", [&] {
            card_.newContact("", "01011990");
            QString focusAtMessage;
            ut::answerMessageBoxByKey(Qt::Key_Return, [&](QMessageBox* box) {
                focusAtMessage = card_.focused();
                QCOMPARE(box->text(), kNameMsg);
                QCOMPARE(box->windowTitle(), QString("Orvane"));
            });
            card_.press("cbGuardar");
            QCOMPARE(focusAtMessage, QString("txtnom"));
            QCOMPARE(card_.state(), QString("edit"));
            QCOMPARE(card_.text("txtfnac"), QString("01/01/1990"));
            card_.type(" ");
            card_.press("cbGuardar");
            QCOMPARE(card_.state(), QString("browse"));
        }));
        QCOMPARE(prompts(), QStringList{kNameMsg});
        QCOMPARE(storedNames(), (QStringList{"Ana", "Bruno", "Carla", " "}));
    }

    void dateTest_data() {
        // An empty iso: the date is refused.
        testrows::texts({"digits", "iso"}, {{"leap day", "29022024", "2024-02-29"},
                                            {"no leap day", "29022023", ""},
                                            {"31 April", "31042020", ""},
                                            {"day 0", "00052020", ""},
                                            {"month 13", "12132020", ""},
                                            {"partial", "0102", ""},
                                            {"untouched", "", ""},
                                            {"letters refused", "1a2b04x1999", "1999-04-12"}});
    }
    void dateTest() {
        QFETCH(QString, digits);
        QFETCH(QString, iso);
        makeBook(kThree);
        QVERIFY(card_.run("3", [&] {
            card_.newContact("Zoe", digits);
            // Enter moves on whatever the date holds; it is judged at Guardar.
            card_.enter();
            QCOMPARE(card_.focused(), QString("txtinfo"));
            card_.type("x");
            if (iso.isEmpty()) MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbGuardar");
            if (iso.isEmpty()) {
                QCOMPARE(prompts(), QStringList{kDateMsg});
                QCOMPARE(card_.state(), QString("edit"));
                QCOMPARE(card_.focused(), QString("txtfnac"));
                QCOMPARE(card_.text("txtfnac"), QString("__/__/____"));
                QCOMPARE(card_.text("txtnom"), QString("Zoe"));
                QCOMPARE(card_.text("txtinfo"), QString("x"));
            } else {
                QVERIFY(prompts().isEmpty());
                QCOMPARE(card_.state(), QString("browse"));
                QCOMPARE(card_.text("txtnom"), QString("Carla"));
            }
        }));
        const auto rows = stored();
        QCOMPARE(rows.size(), std::size_t(iso.isEmpty() ? 3 : 4));
        if (!iso.isEmpty()) QCOMPARE(*rows.back()[orv::kFecha], iso.toStdString());
    }

    // A contact stored without a date can be opened for change, but is
    // stored again only with a valid date.
    void modifyWithoutDate() {
        makeBook({contact({"Dora", std::nullopt, std::nullopt})});
        QVERIFY(card_.run("1", [&] {
            QCOMPARE(card_.text("txtfnac"), QString("__/__/____"));
            card_.press("cbModificar");
            QCOMPARE(card_.state(), QString("edit"));
            MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbGuardar");
            QCOMPARE(prompts(), QStringList{kDateMsg});
            card_.type("24121970");
            card_.press("cbGuardar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtfnac"), QString("24/12/1970"));
        }));
        const Contact row = stored().at(0);
        QCOMPARE(*row[orv::kFecha], std::string("1970-12-24"));
        QVERIFY(!row[orv::kApellido]);  // untouched nulls stay null
    }

    // A blank date box reached with Enter takes digits from its first position.
    void blankDateByKeyboard() {
        makeBook({contact({"Eva", std::nullopt, std::nullopt}),
                  contact({"Fe", "", "", "", "", "", "", "", "1980-3-5"})});
        for (const char* codigo : {"1", "2"})
            QVERIFY(card_.run(codigo, [&] {
                card_.press("cbModificar");
                card_.w("txticq")->setFocus();
                card_.enter();
                QCOMPARE(card_.focused(), QString("txtfnac"));
                card_.type("02011990");
                QCOMPARE(card_.text("txtfnac"), QString("02/01/1990"));
            }));
    }

    // Cancelar drops the change; the focus passing over Nuevo on the way
    // must not disturb the change being cancelled.
    void cancelar() {
        makeBook(kThree);
        const QByteArray before = storetest::fileBytes(book_);
        QVERIFY(card_.run("2", [&] {
            MsgBoxSeam::queueAnswer(vbNo);
            card_.press("cbBorrar");
            QCOMPARE(card_.text("txtnom"), QString("Ana"));
            // The click onto Nuevo goes back to sCodigo's contact first.
            card_.newContact("Zoe", "01011990");
            card_.press("cbCancelar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtnom"), QString("Bruno"));
            QCOMPARE(card_.text("txtfnac"), QString("31/12/1975"));

            card_.press("cbModificar");
            QCOMPARE(card_.state(), QString("edit"));
            card_.w("txtape")->setFocus();
            card_.w<QLineEdit>("txtape")->selectAll();
            card_.type("Otro");
            card_.w<QLineEdit>("txtfnac")->clear();
            card_.press("cbCancelar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtape"), QString("Díaz"));
            QCOMPARE(card_.text("txtfnac"), QString("31/12/1975"));
        }));
        QCOMPARE(prompts(), QStringList{kAskDeleteMsg});
        QCOMPARE(storetest::fileBytes(book_), before);
    }

    // Borrar asks (real boxes: Esc answers No, Enter the default Yes) and
    // always reloads: the first contact is shown afterwards; Tab or a click
    // onto Nuevo goes back to sCodigo's contact.
    void borrar() {
        makeBook(kThree);
        QVERIFY(card_.run("3", [&] {
            ut::answerMessageBoxByKey(Qt::Key_Escape);
            card_.press("cbBorrar");
            QCOMPARE(card_.text("txtnom"), QString("Ana"));
            QCOMPARE(storedNames().size(), 3);
            QCOMPARE(card_.focused(), QString("cbBorrar"));
            ut::key(card_.window(), Qt::Key_Tab);  // Salir
            ut::key(card_.window(), Qt::Key_Tab);  // round to Nuevo
            QCOMPARE(card_.focused(), QString("cbNuevo"));
            QCOMPARE(card_.text("txtnom"), QString("Carla"));

            ut::answerMessageBoxByKey(Qt::Key_Return);
            card_.press("cbBorrar");
            QCOMPARE(storedNames(), (QStringList{"Ana", "Bruno"}));
            QCOMPARE(card_.text("txtnom"), QString("Ana"));
            QCOMPARE(card_.state(), QString("browse"));
        }));
        QCOMPARE(prompts(), (QStringList{kAskDeleteMsg, kAskDeleteMsg}));
    }

    void emptyTable() {
        makeBook({});
        QVERIFY(card_.run("", [&] {
            QCOMPARE(card_.text("txtnom"), QString());
            QCOMPARE(card_.text("txtfnac"), QString("__/__/____"));
            MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbModificar");
            QCOMPARE(card_.state(), QString("browse"));
            MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbBorrar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(prompts(), (QStringList{kNoModifyMsg, kNoDeleteMsg}));

            card_.newContact("Eva", "02022002");
            card_.press("cbCancelar");
            QCOMPARE(card_.text("txtnom"), QString());
            QCOMPARE(card_.text("txtfnac"), QString("__/__/____"));
            QCOMPARE(card_.code(), QString());

            card_.newContact("Eva", "02022002");
            card_.press("cbGuardar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtnom"), QString("Eva"));
            QCOMPARE(card_.code(), QString("1"));
        }));
        QCOMPARE(prompts().size(), 2);
        QCOMPARE(storedNames(), QStringList{"Eva"});
    }

    // The limits hold for typing and pasting; texts at the limits are
    // stored whole.
    void entryLimits() {
        makeBook(kThree);
        QVERIFY(card_.run("1", [&] {
            card_.newContact(QString(60, 'n'), "01011990");
            QCOMPARE(card_.text("txtnom"), QString(50, 'n'));
            card_.w("txtmail")->setFocus();
            QApplication::clipboard()->setText(QString(70, 'm'));
            QTest::keyClick(card_.w("txtmail"), Qt::Key_V, Qt::ControlModifier);
            QTest::keyClick(card_.w("txtmail"), Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(card_.text("txtmail"), QString(100, 'm'));
            QCOMPARE(card_.w<QLineEdit>("txtmail")->cursorPosition(), 100);
            card_.w("txtinfo")->setFocus();
            card_.type(QString(150, 'i'));
            QTest::keyClick(card_.w("txtinfo"), Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(card_.text("txtinfo"), QString(150, 'i') + QString(50, 'm'));
            card_.type("zz");
            QCOMPARE(card_.text("txtinfo").size(), 200);
            // A character in place of a selection still fits.
            card_.w("txtnom")->setFocus();
            card_.w<QLineEdit>("txtnom")->setSelection(0, 1);
            card_.type("ñ");
            QCOMPARE(card_.text("txtnom"), "ñ" + QString(49, 'n'));
            card_.press("cbGuardar");
        }));
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

    // An edited note keeps the line breaks it was stored with: CR LF, or LF.
    void noteKeepsItsLineBreaks() {
        const QStringList notes = {"uno\r\ndos\r\ntres", "uno\ndos"};
        std::vector<Contact> book;
        for (const QString& note : notes)
            book.push_back(contact({"Ana", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                    std::nullopt, std::nullopt, note.toStdString(), "1980-03-05"}));
        makeBook(book);
        for (const char* codigo : {"1", "2"}) {
            QVERIFY(card_.run(codigo, [&] {
                card_.press("cbModificar");
                card_.w("txtinfo")->setFocus();
                QTest::keyClick(card_.w("txtinfo"), Qt::Key_End, Qt::ControlModifier);
                card_.type("!");
                card_.press("cbGuardar");
                QCOMPARE(card_.state(), QString("browse"));
            }));
        }
        for (std::size_t i = 0; i < book.size(); ++i)
            QCOMPARE(*stored().at(i)[orv::kMasInfo], (notes[int(i)] + "!").toStdString());
    }

    // A value longer than its box shows its start, not its end.
    void longValueShowsItsStart() {
        makeBook({contact({"Ana", std::nullopt, std::nullopt, std::nullopt,
                           "950 520 716 / 600 111 222 (trabajo)", std::nullopt, std::nullopt,
                           std::nullopt, "1980-03-05"})});
        QVERIFY(card_.run("1", [&] {
            auto* box = card_.w<QLineEdit>("txttel");
            QVERIFY(box->fontMetrics().horizontalAdvance(box->text()) > box->width());
            QVERIFY(box->inputMethodQuery(Qt::ImCursorRectangle).toRect().left() < 10);
        }));
    }

    // A stored text longer than its box's limit is shown whole and survives
    // Modificar + Guardar; typing adds nothing to it, deleting works.
    void longStoredTexts() {
        const std::string name(80, 'N'), mail(150, 'm'),
            info = std::string(150, 'i') + "\r\n" + std::string(150, 'j');
        const Contact tall = contact({name, "Alto", std::nullopt, std::nullopt, std::nullopt, mail,
                                      std::nullopt, info, "1999-09-09"});
        makeBook({tall});
        QVERIFY(card_.run("1", [&] {
            QCOMPARE(card_.text("txtnom").size(), 80);
            card_.press("cbModificar");
            card_.w("txtnom")->setFocus();
            card_.w<QLineEdit>("txtnom")->end(false);
            card_.type("x");
            QCOMPARE(card_.text("txtnom").size(), 80);
            card_.w("txtinfo")->setFocus();
            card_.type("x");
            card_.press("cbGuardar");
            QCOMPARE(card_.state(), QString("browse"));
        }));
        QCOMPARE(storetest::show(stored().at(0)), storetest::show(tall));
        QVERIFY(card_.run("1", [&] {
            card_.press("cbModificar");
            card_.w("txtape")->setFocus();
            card_.w<QLineEdit>("txtape")->end(false);
            QTest::keyClick(card_.w("txtape"), Qt::Key_Backspace);
            card_.press("cbGuardar");
        }));
        Contact shorter = tall;
        shorter[orv::kApellido] = "Alt";
        QCOMPARE(storetest::show(stored().at(0)), storetest::show(shorter));
        QVERIFY(prompts().isEmpty());
    }

    // Another program (the sqlite3 shell) writes Bruno while the card shows
    // or modifies him: the card never stores over, nor deletes, what it did
    // not show; the user decides, and nothing is lost.
    void otherWriter_data() {
        QTest::addColumn<QString>("command");  // pressed after Modificar, or alone
        QTest::addColumn<QString>("shell");    // the other program's write
        QTest::addColumn<QString>("typed");    // into Telefono after Modificar
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QStringList>("prompts");  // each one's start
        QTest::addColumn<QString>("state");        // the card's, after
        QTest::addColumn<QString>("shown");        // Nombre shown after
        QTest::addColumn<QString>("bruno");        // "Telefono|e-mail" stored, "" gone

        const QString tel = "UPDATE Registros SET Telefono = '999' WHERE Codigo = 2";
        const QString mail = "UPDATE Registros SET \"e-mail\" = 'b@otro.es' WHERE Codigo = 2";
        const QString gone = "DELETE FROM Registros WHERE Codigo = 2";
        const QString changed =
            "Este contacto se ha cambiado en otra parte mientras lo modificaba:\n\nTelefono: 999\n"
            "\nDesea guardar lo que ha escrito en su lugar?";
        const QString deleted = "Este contacto se ha borrado en otra parte mientras lo modificaba.";
        const QString goneMsg =
            "Este contacto ya no está en la agenda: se ha borrado en otra parte.";
        const QString changedAsk =
            "Este contacto se ha cambiado en otra parte: ahora se ven sus "
            "datos actuales.\n" +
            kAskDeleteMsg;
        const QString mine = "555|bruno@correo.es";
        QTest::newRow("same field, stored over")
            << "cbGuardar" << tel << "555" << QList<int>{vbYes} << QStringList{changed} << "browse"
            << "Bruno" << mine;
        QTest::newRow("same field, kept to edit")
            << "cbGuardar" << tel << "555" << QList<int>{vbNo} << QStringList{changed} << "edit"
            << "Bruno"
            << "999|bruno@correo.es";
        QTest::newRow("same field, same value")
            << "cbGuardar" << tel << "999" << QList<int>{} << QStringList{} << "browse"
            << "Bruno"
            << "999|bruno@correo.es";
        QTest::newRow("other fields merge")
            << "cbGuardar" << mail << "555" << QList<int>{} << QStringList{} << "browse"
            << "Bruno"
            << "555|b@otro.es";
        QTest::newRow("deleted, stored again")
            << "cbGuardar" << gone << "555" << QList<int>{vbYes} << QStringList{deleted} << "browse"
            << "Bruno" << mine;
        QTest::newRow("deleted, let go")
            << "cbGuardar" << gone << "555" << QList<int>{vbNo} << QStringList{deleted} << "browse"
            << "Ana"
            << "";
        QTest::newRow("Borrar after a change")
            << "cbBorrar" << tel << "" << QList<int>{vbYes, vbYes}
            << QStringList{kAskDeleteMsg, changedAsk} << "browse"
            << "Ana"
            << "";
        QTest::newRow("Borrar after a change, then No")
            << "cbBorrar" << tel << "" << QList<int>{vbYes, vbNo}
            << QStringList{kAskDeleteMsg, changedAsk} << "browse"
            << "Ana"
            << "999|bruno@correo.es";
        QTest::newRow("Modificar of a contact gone")
            << "cbModificar" << gone << "" << QList<int>{vbOK} << QStringList{goneMsg} << "browse"
            << "Ana"
            << "";
        QTest::newRow("Borrar of a contact gone")
            << "cbBorrar" << gone << "" << QList<int>{vbYes, vbOK}
            << QStringList{kAskDeleteMsg, goneMsg} << "browse"
            << "Ana"
            << "";
    }
    void otherWriter() {
        QFETCH(QString, command);
        QFETCH(QString, shell);
        QFETCH(QString, typed);
        QFETCH(QList<int>, answers);
        QFETCH(QStringList, prompts);
        QFETCH(QString, state);
        QFETCH(QString, shown);
        QFETCH(QString, bruno);
        makeBook(kThree);
        const auto other = [&] { QCOMPARE(QProcess::execute("sqlite3", {book_, shell}), 0); };
        QVERIFY(card_.run("2", [&] {
            if (command == "cbGuardar") {
                card_.press("cbModificar");
                other();
                card_.paste("txttel", typed);
            } else {
                other();
            }
            for (int a : answers) MsgBoxSeam::queueAnswer(a);
            card_.press(qPrintable(command));
            QCOMPARE(card_.state(), state);
            QCOMPARE(card_.text("txtnom"), shown);
            if (state == "edit") {
                // The typed number stays to edit; Guardar again stores it,
                // now over what the user has seen.
                QCOMPARE(card_.text("txttel"), typed);
                card_.press("cbGuardar");
                QCOMPARE(card_.state(), QString("browse"));
                bruno = "555|bruno@correo.es";
            }
        }));
        const QStringList p = this->prompts();
        QCOMPARE(p.size(), prompts.size());
        for (int i = 0; i < p.size(); ++i) QVERIFY2(p[i].startsWith(prompts[i]), qPrintable(p[i]));
        QString found;
        for (const Contact& c : storetest::readBook(book_, true))
            if (c[orv::kCodigo] == "2")
                found = QString::fromStdString(c[orv::kTelefono].value_or("") + "|" +
                                               c[orv::kEmail].value_or(""));
        QCOMPARE(found, bruno);
        // The other program's number, stored over, is still in the history.
        if (bruno.startsWith("555") && shell.contains("999")) {
            auto db = orv::Database::open(book_.toStdString());
            bool kept = false;
            for (const auto& e : orv::history::entries(db->handle(), 2))
                kept = kept || e.before[orv::kTelefono] == "999";
            QVERIFY(kept);
        }
    }

    // The close box unloads the card only where Salir could.
    void closeBox() {
        makeBook(kThree);
        QVERIFY(card_.run("1", [&] {
            card_.press("cbModificar");
            card_.window()->close();
            card_.settle();
            QVERIFY(Form::instance("frmfinal") == card_.window());
            QCOMPARE(card_.state(), QString("edit"));
            card_.press("cbCancelar");
            card_.newContact("Zoe", "01011990");
            card_.window()->close();
            card_.settle();
            QVERIFY(Form::instance("frmfinal") == card_.window());
            QCOMPARE(card_.text("txtnom"), QString("Zoe"));
            card_.press("cbCancelar");
            card_.window()->close();
            card_.settle();
            QVERIFY(!Form::instance("frmfinal"));
        }));
        QVERIFY(prompts().isEmpty());
        QCOMPARE(storedNames().size(), 3);
    }
};

QTEST_MAIN(TestCard)
#include "tst_card.moc"
