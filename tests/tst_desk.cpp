// The desktop's windows (orvane-desk): each state, driven by keys offscreen,
// with the message seam answering their questions; and their look at the
// default and at a 14 pt desktop font (ORV_SHOT_DIR keeps the pictures).

#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAccessible>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "store/history.h"
#include "support/rows.h"
#include "support/storetest.h"
#include "support/uitest.h"
#include "ui/desk/desk.h"
#include "ui/desk/deskform.h"
#include "ui/desk/frmcopia.h"
#include "ui/desk/frmimportar.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;
namespace ut = orv::uitest;
namespace st = storetest;

namespace {

// SQL as another program runs it on the book (the history says "otro programa").
void shell(const QString& book, const char* sql) {
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open(book.toUtf8().constData(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    QVERIFY2(rc == SQLITE_OK, error ? error : "");
    sqlite3_close(db);
}

QStringList names(const QString& book) {
    QStringList out;
    for (const orv::Contact& c : st::readBook(book, true))
        out << QString::fromStdString(*c[orv::kCodigo] + " " + c[orv::kNombre].value_or(""));
    return out;
}

QString writeCards(const QString& path, const QStringList& names) {
    QByteArray text;
    for (const QString& n : names)
        text += "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + n.toUtf8() +
                "\r\nN:" + n.section(' ', 1).toUtf8() + ";" + n.section(' ', 0, 0).toUtf8() +
                ";;;\r\nTEL:600 000 " + QByteArray::number(text.size() % 1000) +
                "\r\nORG:Empresa\r\nEND:VCARD\r\n";
    st::writeFile(path, text);
    return path;
}

using desk::frmimportar;
frmimportar::State stateOf(Form* f) {
    return static_cast<frmimportar*>(f)->state();
}

}  // namespace

class TestDesk : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    QString book;

  private slots:
    void initTestCase() { ut::useDesktopFontFromEnvironment(); }
    void init() {
        ut::initWindows();
        initAssets();
        desk::registerDeskWindows();
        book = ut::makeBookFolder(dir);
        QVERIFY(!book.isEmpty());
    }
    void cleanup() { ut::cleanupWindows(); }

    void arguments_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("error");
        QTest::newRow("borrados") << QStringList{"--borrados"} << "frmborrados" << false;
        QTest::newRow("importar") << QStringList{"--importar"} << "frmimportar" << false;
        QTest::newRow("sincronizar") << QStringList{"--sincronizar"} << "frmsincronizar" << false;
        QTest::newRow("copia") << QStringList{"--copia"} << "frmcopia" << false;
        QTest::newRow("files") << QStringList{"a.vcf", "b.csv"} << "frmimportar" << false;
        QTest::newRow("files elsewhere") << QStringList{"--borrados", "a.vcf"} << "" << true;
        QTest::newRow("nothing") << QStringList{} << "" << true;
        QTest::newRow("unknown") << QStringList{"--nada"} << "" << true;
    }
    void arguments() {
        QFETCH(QStringList, args);
        QFETCH(QString, kind);
        QFETCH(bool, error);
        const desk::Request r = desk::parseArguments(args);
        QCOMPARE(r.kind, kind);
        QCOMPARE(!r.error.isEmpty(), error);
    }

    // What a screen reader reads on each window: the window by its title,
    // and every control the keyboard reaches by a name of its own.
    void everyControlNamed_data() {
        testrows::texts({"kind", "title"}, {{"importar", "frmimportar", "Importar contactos"},
                                            {"borrados", "frmborrados", "Contactos borrados"},
                                            {"sincronizar", "frmsincronizar", "Sincronización"},
                                            {"copia", "frmcopia", "Copia de la agenda"}});
    }
    void everyControlNamed() {
        QFETCH(QString, kind);
        QFETCH(QString, title);
        st::makeBook(book, {st::contact({"Ana", "Ruiz"})});
        Form* form = ut::showStartup(kind);
        QVERIFY(form);
        QAccessibleInterface* window = QAccessible::queryAccessibleInterface(form);
        QCOMPARE(window->role(), QAccessible::Window);
        QCOMPARE(window->text(QAccessible::Name), title);
        int reached = 0;
        for (QWidget* w : form->findChildren<QWidget*>()) {
            if (!(w->focusPolicy() & Qt::TabFocus) || w->focusProxy() || !w->isVisibleTo(form))
                continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            QVERIFY2(a && !a->text(QAccessible::Name).remove('&').trimmed().isEmpty(),
                     qPrintable(kind + ": " + w->objectName() + " has no name"));
            ++reached;
        }
        QVERIFY(reached >= 2);
        ut::key(form, Qt::Key_Escape);
    }

    // Deleted by the shell, then by another: the newest first and chosen,
    // Enter brings it back under its code; the next one is chosen then.
    void restoreDeleted() {
        st::makeBook(book, {st::contact({"Ana", "Ruiz"}), st::contact({"Luis", "Gil"}),
                            st::contact({"Eva", "Sanz"})});
        shell(book, "DELETE FROM Registros WHERE Codigo = 2");
        QTest::qWait(5);
        shell(book, "DELETE FROM Registros WHERE Codigo = 3");
        Form* form = ut::showStartup("frmborrados");
        QVERIFY(form);
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(form);
        QCOMPARE(a->role(), QAccessible::Window);
        QCOMPARE(a->text(QAccessible::Name), QString("Contactos borrados"));
        auto* list = ut::child<QTreeWidget>(form, "lstBorrados");
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(list->currentItem()->text(0), QString("3"));
        QCOMPARE(list->currentItem()->text(1), QString("Eva Sanz"));
        QCOMPARE(list->currentItem()->text(3), QString("otro programa"));
        QCOMPARE(static_cast<desk::DeskForm*>(form)->defaultButton()->objectName(),
                 QString("cbRestaurar"));
        ut::shot(form, "borrados");
        list->setFocus();
        ut::key(form, Qt::Key_Return);
        QCOMPARE(names(book), (QStringList{"1 Ana", "3 Eva"}));
        QCOMPARE(list->currentItem()->text(0), QString("2"));
        QVERIFY(ut::child<QLabel>(form, "lblEstado")->text().contains("Eva Sanz"));
        ut::key(form, Qt::Key_Return);
        QCOMPARE(names(book), (QStringList{"1 Ana", "2 Luis", "3 Eva"}));
        QCOMPARE(list->topLevelItemCount(), 0);
        QVERIFY(!ut::child<QPushButton>(form, "cbRestaurar")->isEnabled());
        QVERIFY(MsgBoxSeam::log().isEmpty());
    }

    // "Deshacer hasta aquí" asks with the numbers; No leaves the book, Yes
    // puts it back as it was before the change chosen.
    void undoChanges() {
        st::makeBook(book, {st::contact({"Ana", "Ruiz"}), st::contact({"Luis", "Gil"})});
        QTest::qWait(5);
        shell(book, "UPDATE Registros SET Nombre = 'Anabel' WHERE Codigo = 1");
        QTest::qWait(5);
        shell(book, "DELETE FROM Registros WHERE Codigo = 2");
        Form* form = ut::showStartup("frmborrados");
        auto* tabs = ut::child<QTabWidget>(form, "tabs");
        auto* changes = ut::child<QTreeWidget>(form, "lstCambios");
        tabs->setCurrentWidget(changes);
        QCOMPARE(static_cast<desk::DeskForm*>(form)->defaultButton()->objectName(),
                 QString("cbDeshacer"));
        // The delete, then the change: choose the change.
        QVERIFY(changes->topLevelItemCount() >= 2);
        QVERIFY(changes->topLevelItem(0)->text(2).contains("baja"));
        changes->setCurrentItem(changes->topLevelItem(1));
        ut::shot(form, "cambios");
        changes->setFocus();
        MsgBoxSeam::queueAnswer(vbNo);
        ut::key(form, Qt::Key_Return);
        QCOMPARE(MsgBoxSeam::log().size(), 1);
        QVERIFY2(
            MsgBoxSeam::log()[0].prompt.contains("se cambiarán 1 contacto y volverán 1 contacto"),
            qPrintable(MsgBoxSeam::log()[0].prompt));
        QCOMPARE(names(book), QStringList{"1 Anabel"});
        MsgBoxSeam::queueAnswer(vbYes);
        ut::key(form, Qt::Key_Return);
        QTRY_COMPARE(names(book), (QStringList{"1 Ana", "2 Luis"}));
        QTRY_VERIFY(ut::child<QLabel>(form, "lblEstado")->text().startsWith("Agenda devuelta"));
        QTRY_VERIFY(tabs->isEnabled());
    }

    // A file opened with the program: its dry run at once, Enter imports,
    // the report says where everything went, and the import is undone.
    void importThenUndo() {
        st::makeBook(book, {st::contact({"Ana", "Ruiz"})});
        const QString file =
            writeCards(dir->filePath("telefono.vcf"), {"Luis Gil", "Eva Sanz", "Ana Ruiz"});
        desk::setFilesToImport({file});
        Form* form = ut::showStartup("frmimportar");
        QVERIFY(form);
        QTRY_COMPARE(stateOf(form), frmimportar::State::Checked);
        auto* summary = ut::child<QLabel>(form, "lblResumen");
        QVERIFY2(summary->text().startsWith("Se importarían 3 contactos."),
                 qPrintable(summary->text()));
        QVERIFY2(summary->text().contains("1 posible repetido"), qPrintable(summary->text()));
        QVERIFY2(summary->text().contains("A «Mas info»: ORG 3."), qPrintable(summary->text()));
        QCOMPARE(names(book), QStringList{"1 Ana"});  // a dry run writes nothing
        QCOMPARE(static_cast<desk::DeskForm*>(form)->defaultButton()->objectName(),
                 QString("cbImportar"));
        ut::shot(form, "importar-simulacion");
        ut::key(form, Qt::Key_Return);
        QTRY_COMPARE(stateOf(form), frmimportar::State::Imported);
        QCOMPARE(names(book), (QStringList{"1 Ana", "2 Luis", "3 Eva", "4 Ana"}));
        QVERIFY(summary->text().startsWith("Importados 3 contactos."));
        QCOMPARE(static_cast<desk::DeskForm*>(form)->defaultButton()->objectName(),
                 QString("cbCancelar"));
        ut::shot(form, "importar-hecho");
        MsgBoxSeam::queueAnswer(vbYes);
        ut::click(ut::child<QPushButton>(form, "cbDeshacer"));
        QCOMPARE(MsgBoxSeam::prompts(),
                 QStringList{"Se quitarán de la agenda los 3 contactos que ha traído esta "
                             "importación. Deshacer la importación?"});
        QCOMPARE(stateOf(form), frmimportar::State::Undone);
        QCOMPARE(names(book), QStringList{"1 Ana"});
        ut::key(form, Qt::Key_Return);  // Cerrar
        QCOMPARE(ut::programEnds(), QList<int>{0});
    }

    // Several files, one after another in the same window; a repeat of the
    // first adds nothing and cannot be imported.
    void severalFiles() {
        st::makeBook(book, {});
        const QString a = writeCards(dir->filePath("a.vcf"), {"Luis Gil"});
        const QString b = writeCards(dir->filePath("b.vcf"), {"Eva Sanz"});
        desk::setFilesToImport({a, b, a});
        Form* form = ut::showStartup("frmimportar");
        auto* file = ut::child<QLabel>(form, "lblArchivo");
        QTRY_COMPARE(stateOf(form), frmimportar::State::Checked);
        QCOMPARE(file->text(), "Archivo 1 de 3: " + a);
        ut::key(form, Qt::Key_Return);
        QTRY_COMPARE(stateOf(form), frmimportar::State::Imported);
        ut::key(form, Qt::Key_Return);  // Siguiente archivo
        QTRY_COMPARE(stateOf(form), frmimportar::State::Checked);
        QCOMPARE(file->text(), "Archivo 2 de 3: " + b);
        ut::key(form, Qt::Key_Return);
        QTRY_COMPARE(stateOf(form), frmimportar::State::Imported);
        ut::key(form, Qt::Key_Return);
        QTRY_COMPARE(stateOf(form), frmimportar::State::Checked);
        QVERIFY(ut::child<QLabel>(form, "lblResumen")
                    ->text()
                    .startsWith("No hay ningún contacto nuevo"));
        QVERIFY(!ut::child<QPushButton>(form, "cbImportar")->isEnabled());
        QCOMPARE(names(book), (QStringList{"1 Luis", "2 Eva"}));
        ut::key(form, Qt::Key_Return);  // Cerrar
        QCOMPARE(ut::programEnds(), QList<int>{0});
    }

    // Cancelar while a long file is read, and while it is written: nothing
    // comes in; a file that cannot be read says why.
    void cancelAndFailures() {
        st::makeBook(book, {});
        QStringList many;
        for (int i = 0; i < 40000; ++i) many << QString("Nombre%1 Apellido%1").arg(i);
        const QString big = writeCards(dir->filePath("muchos.vcf"), many);
        desk::setFilesToImport({big, dir->filePath("no-existe.vcf")});
        Form* form = ut::showStartup("frmimportar");
        ut::key(form, Qt::Key_Escape);  // Cancelar, at once
        QTRY_COMPARE(stateOf(form), frmimportar::State::Failed);
        QCOMPARE(ut::child<QLabel>(form, "lblResumen")->text(),
                 QString("Cancelado: no se ha importado nada."));
        QVERIFY(ut::programEnds().isEmpty());
        ut::key(form, Qt::Key_Return);  // Siguiente archivo
        QTRY_COMPARE(stateOf(form), frmimportar::State::Failed);
        QVERIFY(ut::child<QLabel>(form, "lblResumen")->text().startsWith("No se puede leer"));
        QCOMPARE(names(book), QStringList{});
    }

    // A copy where the user says, whole, with its report; never over a file.
    void copyOfTheBook() {
        st::makeBook(book, {st::contact({"Ana", "Ruiz"}), st::contact({"Luis", "Gil"})});
        Form* form = ut::showStartup("frmcopia");
        QVERIFY(form);
        QCOMPARE(QAccessible::queryAccessibleInterface(form)->text(QAccessible::Name),
                 QString("Copia de la agenda"));
        auto* dest = ut::child<QLineEdit>(form, "txtDestino");
        QVERIFY(dest->hasFocus());
        QVERIFY2(QFileInfo(dest->text()).fileName().startsWith("agenda-"),
                 qPrintable(dest->text()));
        QCOMPARE(static_cast<desk::DeskForm*>(form)->defaultButton()->objectName(),
                 QString("cbCopiar"));
        const QString to = dir->filePath("copia.mdb");
        dest->selectAll();
        QTest::keyClicks(dest, to);
        ut::shot(form, "copia");
        ut::key(form, Qt::Key_Return);
        auto state = [form] { return static_cast<desk::frmcopia*>(form)->state(); };
        QTRY_COMPARE(state(), desk::frmcopia::State::Copied);
        QCOMPARE(names(to), names(book));
        auto* status = ut::child<QLabel>(form, "lblEstado");
        QVERIFY2(status->text().startsWith("Copia hecha en " + to + " (2 contactos)."),
                 qPrintable(status->text()));
        ut::shot(form, "copia-hecha");
        ut::click(ut::child<QPushButton>(form, "cbCopiar"));
        QCOMPARE(state(), desk::frmcopia::State::Failed);
        QVERIFY2(status->text().startsWith("Ya existe " + to), qPrintable(status->text()));
        QCOMPARE(names(to), names(book));
        ut::key(form, Qt::Key_Escape);
        QCOMPARE(ut::programEnds(), QList<int>{0});
    }

    void emptyHistory() {
        st::makeBook(book, {});
        Form* form = ut::showStartup("frmborrados");
        QCOMPARE(ut::child<QTreeWidget>(form, "lstBorrados")->topLevelItemCount(), 0);
        QCOMPARE(ut::child<QLabel>(form, "lblEstado")->text(),
                 QString("No hay contactos borrados en la historia de la agenda."));
        ut::key(form, Qt::Key_Escape);
        QCOMPARE(ut::programEnds(), QList<int>{0});
    }

    // An import, a copy or a sync never takes the processor from the windows.
    void tasksRunBelowTheWindows() {
        orv::ui::desk::Task task;
        std::atomic<int> nice{-100};
        QSignalSpy done(&task, &orv::ui::desk::Task::finished);
        task.start([&](orv::ui::desk::Task&) { nice = getpriority(PRIO_PROCESS, gettid()); });
        QVERIFY(done.wait());
        QCOMPARE(nice.load(), std::min(getpriority(PRIO_PROCESS, gettid()) + 10, 19));
    }
};

QTEST_MAIN(TestDesk)
#include "tst_desk.moc"
