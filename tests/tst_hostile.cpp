// Hostile and odd input through the real windows: search texts full of
// pattern and control characters, pastes past the entry limits, books whose
// rows hold what the card never writes, and files that are no contact book.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "store/engine.h"
#include "support/storetest.h"
#include "support/uifault.h"
#include "support/uitest.h"
#include "ui/orvmod.h"
#include "ui/windows.h"

using namespace orv::ui;
using orv::Contact;
using storetest::contact;
namespace ut = orv::uitest;

namespace {

// The names the results grid lists, in its order.
QStringList listedNames(Form* results) {
    auto* view = results->findChild<QTableView*>("data2");
    QAbstractItemModel* m = view->model();
    int col = 0;
    while (col < m->columnCount() && m->headerData(col, Qt::Horizontal) != "Nombre") ++col;
    while (m->canFetchMore({})) m->fetchMore({});
    QStringList out;
    for (int r = 0; r < m->rowCount(); ++r) out << m->index(r, col).data().toString();
    return out;
}

void sql(const QString& path, const char* text) {
    orv::Database::open(path.toStdString())->exec(text);
}

}  // namespace

class TestHostile : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString book_;
    ut::CardDriver card_;

    QStringList prompts() { return MsgBoxSeam::prompts(); }

  private slots:
    void initTestCase() { registerWindows(); }
    void init() {
        ut::initWindows();
        book_ = ut::makeBookFolder(dir_);
        QVERIFY(!book_.isEmpty());
    }
    void cleanup() {
        ut::cleanupWindows();
        dir_.reset();
    }

    // Whatever is typed into the name search runs without a crash: the list
    // of the names it begins, or the invalid-pattern message and back to
    // the main window.
    void searchTexts_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("listed");  // {"invalid"}: the pattern message
        const QStringList invalid{"invalid"}, all{"all"};
        QTest::newRow("single quote") << "O'" << QStringList{"O'Brien"};
        QTest::newRow("double quote") << "Ana \"" << QStringList{"Ana \"la\" Ruiz"};
        QTest::newRow("lone [") << "[" << invalid;
        QTest::newRow("unclosed [a") << "[a" << invalid;
        QTest::newRow("descending range") << "[z-a]" << invalid;
        // "[]" stands for no character at all; "[!]" for any one.
        QTest::newRow("empty brackets") << "[]" << all;
        QTest::newRow("[!]") << "[!]" << all;
        QTest::newRow("] is ordinary") << "a]" << QStringList{"a]b"};
        QTest::newRow("literal [") << "[[]c" << QStringList{"[corchete]"};
        QTest::newRow("star") << "*" << all;
        QTest::newRow("? then digit") << "?#" << QStringList{"#1", "100% real"};
        QTest::newRow("# is a digit") << "#" << QStringList{"100% real"};
        QTest::newRow("% is ordinary") << "100%" << QStringList{"100% real"};
        QTest::newRow("lone %") << "%" << QStringList();
        QTest::newRow("_ is ordinary") << "guion_" << QStringList{"guion_bajo"};
        QTest::newRow("lone _") << "_" << QStringList();
        QTest::newRow("tab") << "Tab\t" << QStringList{"Tab\there"};
        QTest::newRow("control character") << "ctl\x01" << QStringList{"ctl\x01x"};
        QTest::newRow("emoji") << "😀" << QStringList{"😀 Sonrisa"};
        QTest::newRow("10000 characters") << QString(10000, 'a') << QStringList();
    }
    void searchTexts() {
        QFETCH(QString, typed);
        QFETCH(QStringList, listed);
        const QStringList names = {
            "O'Brien",   "Ana \"la\" Ruiz", "[corchete]", "a]b", "Tab\there", "ctl\x01x",
            "😀 Sonrisa", "100% real",       "guion_bajo", "#1",  "Zoe"};
        std::vector<Contact> rows;
        for (const QString& n : names) rows.push_back(contact({n.toStdString()}));
        storetest::makeBook(book_, rows);
        Form* main = ut::showStartup("frmmain");
        QVERIFY(main);
        auto* box = ut::child<QLineEdit>(main, "txtBuscar");
        box->setFocus();
        box->setText(typed);  // as pasted: Tab and control characters cannot be typed
        const bool bad = listed == QStringList{"invalid"};
        QStringList got;
        bool shown = false;
        // A results window that comes when none should must not hang the test.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [&] {
            shown = shown || Form::instance("frmsecond");
            Form::unloadAll();
        });
        if (bad) {
            MsgBoxSeam::queueAnswer(vbOK);
            guard.start(3000);
        } else {
            ut::whenShown("frmsecond", [&](Form* results) {
                shown = true;
                got = listedNames(results);
                results->Unload();
            });
        }
        ut::key(main, Qt::Key_Return);
        guard.stop();
        QVERIFY(!ut::timedOut());
        if (bad) {
            QVERIFY(!shown);
            QCOMPARE(prompts().size(), 1);
            QVERIFY2(prompts()[0].startsWith(QString("Error %1: ").arg(orv::kErrInvalidPattern)),
                     qPrintable(prompts()[0]));
        } else {
            QVERIFY(shown);
            QVERIFY(prompts().isEmpty());
            if (listed == QStringList{"all"}) {
                QCOMPARE(got.size(), names.size());
            } else {
                got.sort();
                QCOMPARE(got, listed);
            }
        }
        QVERIFY(ut::programEnds().isEmpty());
        QVERIFY(!Form::instance("frmsecond"));
        QTRY_COMPARE(QApplication::activeWindow(), main);
    }

    // A paste longer than a box's limit is cut at the limit.
    void pasteCutAtLimit_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("limit");
        for (const char* b : {"txtnom", "txtape", "txtdom", "txtlocprov", "txttel", "txticq"})
            QTest::newRow(b) << b << 50;
        QTest::newRow("txtmail") << "txtmail" << 100;
        QTest::newRow("txtinfo") << "txtinfo" << 200;
    }
    void pasteCutAtLimit() {
        QFETCH(QString, box);
        QFETCH(int, limit);
        storetest::makeBook(book_, {contact({"Ana"})});
        const QString pasted = QString("ñ😀x").repeated(150);  // surrogate pairs at the cut
        QVERIFY(card_.run("1", [&] {
            card_.press("cbNuevo");
            card_.paste(qPrintable(box), pasted);
            const QString now = card_.text(qPrintable(box));
            QCOMPARE(now.toUcs4().size(), qsizetype(limit));
            QVERIFY(pasted.startsWith(now));
            card_.press("cbCancelar");
        }));
    }

    // Rows the card never writes: nulls everywhere, texts past the entry
    // limits, codes past six digits, dates that are no date. Listed, shown
    // whole, and kept exactly by a change to another field.
    void oddRows() {
        storetest::makeBook(book_, {});
        const std::string longText(300, 'L');
        sql(book_, ("INSERT INTO Registros VALUES (1234567, 'Largo" + longText + "', '" + longText +
                    "', '" + longText + "', '" + longText + "', '" + longText + "', '" + longText +
                    "', '" + longText + "', '" + longText + "', '1999-09-09')")
                       .c_str());
        sql(book_, "INSERT INTO Registros (Codigo) VALUES (7)");
        sql(book_,
            "INSERT INTO Registros (Codigo, Nombre, \"Fecha de nacimiento\") VALUES "
            "(8, 'Fecha rara', 'mañana'), (9, 'Fecha corta', '1980-3-5'), "
            "(10, 'Fecha con hora', '1980-03-05 10:00')");
        const auto before = storetest::readBook(book_, true);

        orvmod::sFiltro = "";
        orvmod::sOrigen = "Registros";
        QStringList names;
        ut::whenShown("frmsecond", [&](Form* results) {
            names = listedNames(results);
            results->Unload();
        });
        Form::Show("frmsecond");
        QCOMPARE(names, (QStringList{"Fecha con hora", "Fecha corta", "Fecha rara",
                                     "Largo" + QString::fromStdString(longText)}));

        // Changing the phone keeps every other long text and the big code.
        QVERIFY(card_.run("1234567", [&] {
            QCOMPARE(card_.text("txtcod").trimmed(), QString("1234567"));
            QCOMPARE(card_.text("txtape").size(), 300);
            QCOMPARE(card_.text("txtinfo").size(), 300);
            card_.press("cbModificar");
            card_.paste("txttel", "555");
            card_.press("cbGuardar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtcod").trimmed(), QString("1234567"));
        }));
        // A row of nulls: the name and the date are asked for, nothing else
        // is written.
        QVERIFY(card_.run("7", [&] {
            QCOMPARE(card_.text("txtcod").trimmed(), QString("7"));
            QCOMPARE(card_.text("txtfnac"), QString("__/__/____"));
            card_.press("cbModificar");
            card_.w("txtnom")->setFocus();
            card_.type("Nadie");
            MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbGuardar");
            card_.type("01012000");
            card_.press("cbGuardar");
            QCOMPARE(card_.state(), QString("browse"));
        }));
        // A date column holding no date shows an empty date box, never the
        // text's digits read as a day; Cancelar keeps it, and Guardar asks
        // for a real date as for a contact without one.
        for (const char* codigo : {"8", "9", "10"}) {
            QVERIFY(card_.run(codigo, [&] {
                QCOMPARE(card_.text("txtfnac"), QString("__/__/____"));
                card_.press("cbModificar");
                card_.press("cbCancelar");
                if (QString(codigo) != "10") return;
                card_.press("cbModificar");
                MsgBoxSeam::queueAnswer(vbOK);
                card_.press("cbGuardar");
                QCOMPARE(card_.state(), QString("edit"));
                card_.type("05031980");
                card_.press("cbGuardar");
                QCOMPARE(card_.state(), QString("browse"));
            }));
        }
        QCOMPARE(prompts(), (QStringList{kDateMsg, kDateMsg}));

        auto want = before;  // in code order: 7, 8, 9, 10, 1234567
        want[0][orv::kNombre] = "Nadie";
        want[0][orv::kFecha] = "2000-01-01";
        want[3][orv::kFecha] = "1980-03-05";
        want[4][orv::kTelefono] = "555";
        const auto now = storetest::readBook(book_, true);
        QCOMPARE(now.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i)
            QCOMPARE(storetest::show(now[i]), storetest::show(want[i]));
    }

    // Files that are no contact book: the engine's message, the end of the
    // program, and the file exactly as it was, from either window.
    void notABook_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("error");
        QByteArray lacking;
        {
            QTemporaryDir d;
            const QString p = d.filePath("x");
            storetest::handMadeBook(p.toStdString(), {"Ana"}, orv::kIcq);
            lacking = storetest::fileBytes(p);
        }
        for (const char* window : {"frmsecond", "frmfinal"}) {
            const QString w(window);
            QTest::newRow(qPrintable(w + ", a column missing"))
                << w << lacking << int(orv::kErrFieldNotFound);
            QTest::newRow(qPrintable(w + ", not a database"))
                << w << QByteArray("Nombre;Apellido\nAna;López\n").repeated(200)
                << int(orv::kErrNotADatabase);
            QTest::newRow(qPrintable(w + ", empty file"))
                << w << QByteArray() << int(orv::kErrTableNotFound);
        }
    }
    void notABook() {
        QFETCH(QString, window);
        QFETCH(QByteArray, bytes);
        QFETCH(int, error);
        storetest::writeFile(book_, bytes);
        orvmod::sFiltro = "a";
        orvmod::sOrigen = "Registros";
        MsgBoxSeam::queueAnswer(vbOK);
        QVERIFY(!Form::Show(window));
        QCOMPARE(prompts().size(), 1);
        QVERIFY2(prompts()[0].startsWith(QString("Error %1: ").arg(error)),
                 qPrintable(prompts()[0]));
        QCOMPARE(ut::programEnds(), QList<int>{1});
        QCOMPARE(storetest::fileBytes(book_), bytes);
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), QStringList{"orv.mdb"});
    }
};

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
