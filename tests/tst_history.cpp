// Nothing lost: every change kept with its source, a deleted contact back
// with its code, the whole book back to a moment (and that undone), the sync
// that would empty a side stopped, undo killed midway, copies taken while
// another process writes, and the history bounded.

#include <signal.h>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <thread>

#include "store/backup.h"
#include "store/history.h"
#include "store/sql.h"
#include "support/radicale.h"
#include "support/storetest.h"
#include "sync/engine.h"
#include "sync/guard.h"
#include "sync/mapping.h"
#include "sync/state.h"

using namespace orv;
using storetest::contact;
using storetest::runTool;

namespace {

struct Change {
    std::int64_t codigo;
    std::string tipo, origen;
    bool operator==(const Change&) const = default;
};

QString moment(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm:ss.zzz");
}

// A moment with changes neither at it nor just around it.
std::int64_t quietMoment() {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::int64_t t = history::nowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return t;
}

}  // namespace

class TestHistory : public QObject {
    Q_OBJECT

    rt::Radicale server_;
    QTemporaryDir dir_;
    int serial_ = 0;
    QUrl url_;
    QString book_, password_;

    sync::SyncReport sync(bool allow = false) {
        auto db = Database::open(book_.toStdString());
        sync::SyncOptions o;
        o.dav = {url_, rt::kUser, rt::kPassword, {}, 10000, 100};
        o.allowDeletions = allow;
        return sync::syncBook(db->handle(), o);
    }
    sync::CardDavClient client() const {
        return sync::CardDavClient({url_, rt::kUser, rt::kPassword, {}, 10000, 100});
    }
    std::vector<std::string> serverSide() {
        auto c = client();
        QStringList hrefs;
        for (const auto& card : c.list().value.cards) hrefs << card.href;
        std::vector<std::string> all;
        for (const auto& card : c.fetch(hrefs).value.cards)
            all.push_back(sync::serialize(sync::contactFromCard(card.vcard.toStdString())));
        std::sort(all.begin(), all.end());
        return all;
    }
    std::vector<std::string> bookSide() {
        std::vector<std::string> all;
        for (const Contact& c : storetest::readBook(book_)) all.push_back(sync::serialize(c));
        std::sort(all.begin(), all.end());
        return all;
    }
    void shell(const QString& sql) {
        QProcess p;
        p.start("sqlite3", {book_, sql});
        QVERIFY(p.waitForFinished(30000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    }
    void importCards(const QStringList& names, bool copied) {
        QByteArray vcf;
        for (const QString& n : names)
            vcf += "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + n.toUtf8() + "\r\nN:;" + n.toUtf8() +
                   ";;;\r\nEND:VCARD\r\n";
        const QString file = dir_.filePath(QStringLiteral("in%1.vcf").arg(++serial_));
        storetest::writeFile(file, vcf);
        const auto r = runTool({"import", book_, file});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(r.out.contains("Copia de la agenda de antes en "), copied);
    }
    void importCards(const QStringList& names) {
        importCards(names, names.size() > int(backup::kCopyAbove));
    }
    // The card's record set: what "Guardar" and "Borrar" go through.
    void cardSets(std::int64_t code, Col col, const std::string& value) {
        auto db = Database::open(book_.toStdString());
        auto rs = db->openRecordset("Registros");
        QVERIFY(rs->FindCode(code));
        rs->Edit();
        std::vector<std::optional<Value>> v(kColumnCount);
        v[col] = Value(value);
        rs->Update(v);
    }
    void cardDeletes(std::int64_t code) {
        auto db = Database::open(book_.toStdString());
        auto rs = db->openRecordset("Registros");
        QVERIFY(rs->FindCode(code));
        rs->Delete();
    }
    std::vector<Change> changes() {
        auto db = Database::open(book_.toStdString(), false);
        sql::Statement s(db->handle(), "SELECT h.Codigo, h.Tipo, " + history::sourceOf("h") +
                                           " FROM OrvHistoria h ORDER BY h.Id");
        std::vector<Change> out;
        while (s.step())
            out.push_back({s.int64(0), std::string(s.text(1)), std::string(s.text(2))});
        return out;
    }

    void copiesWhileWriting() {
        // A writer with pauses, as programs write: one that never lets go
        // starves every reader of a rollback-journal book, a copy included.
        QString script = ".timeout 10000\n";
        for (int i = 0; i < 150; ++i)
            script +=
                "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                "WHERE i < 10) INSERT INTO Registros (Nombre) SELECT 'Lote' FROM n; "
                "COMMIT;\n.shell sleep 0.03\n";
        const QString file = dir_.filePath("lotes.sql");
        storetest::writeFile(file, script.toUtf8());
        QProcess writer;
        writer.start("sqlite3", {book_, ".read " + file});
        QVERIFY(writer.waitForStarted());
        int copies = 0;
        auto committed = [&] {
            auto db = Database::open(book_.toStdString(), false);
            sql::Statement n(db->handle(), "SELECT count(*) FROM Registros");
            return n.step() ? n.int64(0) : -1;
        };
        do {
            const std::int64_t before = committed();
            const std::string copy =
                dir_.filePath(QStringLiteral("copia%1.mdb").arg(++serial_)).toStdString();
            backup::copy(book_.toStdString(), copy);
            auto db = Database::open(copy, false);
            sql::Statement ok(db->handle(), "PRAGMA integrity_check");
            QVERIFY(ok.step() && ok.text(0) == "ok");
            sql::Statement n(db->handle(), "SELECT count(*) FROM Registros");
            QVERIFY(n.step() && n.int64(0) >= before && n.int64(0) % 10 == 0);
            ++copies;
            writer.waitForFinished(100);  // also notices that it ended
        } while (writer.state() != QProcess::NotRunning || copies < 3);
        QCOMPARE(writer.exitCode(), 0);
        qInfo("%d copies while the shell wrote", copies);

        // A write transaction open elsewhere: the copy is the book before it.
        auto db = Database::open(book_.toStdString());
        sql::WriteTransaction tx(db->handle());
        db->exec("DELETE FROM Registros");
        const auto r = runTool({"backup", book_, dir_.filePath("abierta.mdb")});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.contains("(1500 contactos)"), r.out.constData());
    }

  private slots:
    void initTestCase() {
        const QString why = server_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        password_ = dir_.filePath("clave");
        storetest::writeFile(password_, rt::kPassword.toUtf8() + "\n");
    }
    void init() {
        url_ = server_.url(QStringLiteral("/ana/libreta%1/").arg(++serial_));
        QVERIFY(!client().createAddressBook("Libreta").failed());
        QDir().mkpath(dir_.filePath(QString::number(serial_)));
        book_ = dir_.filePath(QStringLiteral("%1/orv.mdb").arg(serial_));
        storetest::makeBook(book_, {});
    }

    // An import keeps a copy of the book first when it brings more than 100
    // contacts and at least a tenth of the book; a smaller share of a large
    // book is taken back by the history alone.
    void copyBeforeALargeShare_data() {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("brought");
        QTest::addColumn<bool>("copied");
        QTest::newRow("100 into an empty book") << 0 << 100 << false;
        QTest::newRow("101 into an empty book") << 0 << 101 << true;
        QTest::newRow("150 into 1,500") << 1500 << 150 << true;
        QTest::newRow("150 into 1,501") << 1501 << 150 << false;
    }
    void copyBeforeALargeShare() {
        QFETCH(int, before);
        QFETCH(int, brought);
        QFETCH(bool, copied);
        if (before) {
            QFile::remove(book_);
            const auto made = runTool({"demo", book_, QString::number(before)});
            QVERIFY2(made.exitCode == 0, made.err.constData());
        }
        QStringList names;
        for (int i = 0; i < brought; ++i) names << QStringLiteral("Nueva%1").arg(i);
        importCards(names, copied);
        QCOMPARE(storetest::readBook(book_).size(), std::size_t(before + brought));
    }

    // The card, import, the sync and the sqlite3 shell each leave their name.
    void everyChangeKeptWithItsSource() {
        importCards({"Ana"});
        cardSets(1, kTelefono, "600");
        shell("UPDATE Registros SET \"e-mail\" = 'ana@x.es' WHERE Codigo = 1");
        auto c = client();
        QVERIFY(c.put(c.hrefForUid("luis"),
                      QByteArray::fromStdString(sync::cardFromContact(contact({"Luis"}), "luis")),
                      {})
                    .ok());
        QVERIFY(sync().complete());
        cardDeletes(1);
        const std::vector<Change> want = {{1, "alta", history::kImport},
                                          {1, "cambio", history::kCard},
                                          {1, "cambio", history::kOther},
                                          {2, "alta", history::kSync},
                                          {1, "baja", history::kCard}};
        QVERIFY(changes() == want);
        // No source is left behind for the next program to be named by.
        shell("INSERT INTO Registros (Nombre) VALUES ('Eva')");
        QCOMPARE(changes().back(), (Change{3, "alta", history::kOther}));
        // A few rows are labelled one by one, many as one range: both read the same.
        QStringList many;
        for (int i = 0; i < 70; ++i) many << QStringLiteral("P%1").arg(i);
        importCards(many);
        shell("UPDATE Registros SET ICQ = '1' WHERE Codigo = 4");
        const auto all = changes();
        QCOMPARE(all.size(), want.size() + 72);
        for (std::size_t i = want.size() + 1; i < all.size() - 1; ++i)
            QCOMPARE(all[i].origen, std::string(history::kImport));
        QCOMPARE(all.back(), (Change{4, "cambio", history::kOther}));

        const auto r = runTool({"history", book_, "1"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(
            r.out.contains("cambio  tarjeta  1 Ana\n    Telefono: ") && r.out.contains(" → 600\n"),
            r.out.constData());
        QVERIFY(r.out.contains("e-mail: (nada) → ana@x.es"));
        QVERIFY(runTool({"history", book_, "--deleted"}).out.startsWith("1  Ana  borrado el "));

        // Labelled as one range, the rows leave the writer its own last insert.
        auto db = Database::open(book_.toStdString());
        sql::WriteTransaction tx(db->handle());
        history::label(tx, history::kImport);
        for (int i = 0; i < 70; ++i) db->exec("INSERT INTO Registros (Nombre) VALUES ('Q')");
        const sqlite3_int64 last = sqlite3_last_insert_rowid(db->handle());
        tx.commit();
        QCOMPARE(sqlite3_last_insert_rowid(db->handle()), last);
    }

    // Back under its own code with every field; a code is never given twice.
    void deletedContactRestored() {
        const auto awkward = storetest::awkwardContacts();
        storetest::makeBook(book_ + ".x", awkward);
        QFile::remove(book_);
        QVERIFY(QFile::rename(book_ + ".x", book_));
        const auto before = storetest::readBook(book_, true);
        const std::int64_t code = std::stoll(*before[2][kCodigo]);
        cardDeletes(code);
        shell("INSERT INTO Registros (Nombre) VALUES ('Nuevo')");
        auto r = runTool({"restore", book_, QString::number(code)});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        auto after = storetest::readBook(book_, true);
        after.pop_back();  // Nuevo, under a code of its own
        QVERIFY(after == before);
        QVERIFY(std::stoll(*storetest::readBook(book_, true).back()[kCodigo]) >
                std::stoll(*before.back()[kCodigo]));
        // A living contact needs a moment; at that moment it is as it was.
        QCOMPARE(runTool({"restore", book_, QString::number(code)}).exitCode, 1);
        const std::int64_t t = quietMoment();
        shell(QStringLiteral("UPDATE Registros SET Nombre = 'Otro' WHERE Codigo = %1").arg(code));
        r = runTool({"restore", book_, QString::number(code), "--at", moment(t)});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(storetest::readBook(book_, true)[2] == before[2]);
        QCOMPARE(changes().back().origen, std::string(history::kRestore));
    }

    // Imports, card edits, deletes and a two-way sync; undo gives back the
    // book of the moment row for row, the sync takes it to the server, and
    // the undo itself can be undone.
    void undoGivesTheBookOfThatMoment() {
        QStringList many;
        for (int i = 0; i < 150; ++i) many << QStringLiteral("Persona%1").arg(i);
        importCards(many);
        QCOMPARE(QDir(QFileInfo(book_).dir().filePath("copias")).entryList(QDir::Files).size(), 1);
        cardSets(3, kApellido, "Gil");
        QVERIFY(sync().complete());
        auto c = client();
        QVERIFY(c.put(c.hrefForUid("m"),
                      QByteArray::fromStdString(sync::cardFromContact(contact({"Marta"}), "m")), {})
                    .ok());
        cardDeletes(4);
        QVERIFY(sync().complete());
        const std::int64_t t = quietMoment();
        const auto atT = storetest::readBook(book_, true);

        importCards({"Tarde1", "Tarde2"});
        cardSets(5, kTelefono, "611");
        cardDeletes(6);
        shell(
            "DELETE FROM Registros WHERE Codigo BETWEEN 10 AND 19;"
            "UPDATE Registros SET ICQ = '1' WHERE Codigo = 7");
        QVERIFY(sync().complete());
        const auto later = storetest::readBook(book_, true);

        auto r = runTool({"undo", book_, "--to", moment(t), "--dry-run"});
        QVERIFY2(r.out.contains("2 quitados, 2 cambiados, 11 devueltos"), r.out.constData());
        QVERIFY(storetest::readBook(book_, true) == later);
        const std::int64_t u = quietMoment();
        r = runTool({"undo", book_, "--to", moment(t)});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(storetest::readBook(book_, true) == atT);
        QVERIFY(sync().complete());
        QVERIFY(bookSide() == serverSide());

        QVERIFY(runTool({"undo", book_, "--to", moment(u)}).exitCode == 0);
        QVERIFY(storetest::readBook(book_, true) == later);
    }

    void guardDecides_data() {
        QTest::addColumn<int>("here");
        QTest::addColumn<int>("book");
        QTest::addColumn<int>("there");
        QTest::addColumn<int>("server");
        QTest::addColumn<bool>("fresh");
        QTest::addColumn<QString>("says");  // empty: the sync goes on
        QTest::newRow("nothing") << 0 << 0 << 0 << 0 << false << "";
        QTest::newRow("one of many") << 1 << 50 << 1 << 50 << false << "";
        QTest::newRow("the only one")
            << 1 << 1 << 0 << 1 << false << "borraría 1 contacto de los 1";
        QTest::newRow("half of 40") << 20 << 40 << 0 << 40 << false << "";
        QTest::newRow("over half of 40")
            << 21 << 40 << 0 << 40 << false << "21 contactos de los 40";
        QTest::newRow("over half but few") << 6 << 10 << 0 << 10 << false << "";
        QTest::newRow("server emptied") << 10 << 10 << 0 << 10 << false << "vaciado o sustituido";
        QTest::newRow("book emptied") << 0 << 0 << 30 << 30 << false << "esta agenda se ha vaciado";
        QTest::newRow("server made anew") << 3 << 10 << 0 << 10 << true << "es nueva";
    }
    void guardDecides() {
        QFETCH(int, here);
        QFETCH(int, book);
        QFETCH(int, there);
        QFETCH(int, server);
        QFETCH(bool, fresh);
        QFETCH(QString, says);
        const auto why = sync::refusal(
            {std::size_t(here), std::size_t(book), std::size_t(there), std::size_t(server), fresh});
        QCOMPARE(why.has_value(), !says.isEmpty());
        if (why) QVERIFY2(QString::fromStdString(*why).contains(says), why->c_str());
    }

    // On a real server: both sides untouched until the option is given.
    void guardStopsAnEmptiedSide_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("every card deleted on the server") << "server";
        QTest::newRow("DELETE FROM Registros in the shell") << "shell";
        QTest::newRow("address book made anew") << "anew";
    }
    void guardStopsAnEmptiedSide() {
        QFETCH(QString, how);
        QStringList names;
        for (int i = 0; i < 12; ++i) names << QStringLiteral("Socio%1").arg(i);
        importCards(names);
        QVERIFY(sync().complete());
        auto c = client();
        if (how == "shell") shell("DELETE FROM Registros");
        if (how == "server")
            for (const auto& card : c.list().value.cards)
                QVERIFY(!c.remove(card.href, {}).failed());
        if (how == "anew") {
            QVERIFY(!c.remove(url_.path(), {}).failed());
            QVERIFY(!c.createAddressBook("Libreta").failed());
            for (const QString& n : names.mid(0, 5))
                QVERIFY(c.put(c.hrefForUid("x" + n),
                              QByteArray::fromStdString(sync::cardFromContact(
                                  contact({n.toStdString()}), ("x" + n).toStdString())),
                              {})
                            .ok());
        }
        Database::open(book_.toStdString());  // the sort keys of the shell's change made
        const QByteArray book = storetest::fileBytes(book_);
        const auto server = serverSide();
        const auto r = runTool({"sync", book_, "--password-file", password_});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("de los 12") && r.err.contains("--allow-deletions"),
                 r.err.constData());
        QCOMPARE(storetest::fileBytes(book_), book);
        QVERIFY(serverSide() == server);

        QVERIFY(sync(true).complete());
        QVERIFY(bookSide() == serverSide());
        QCOMPARE(bookSide().size(), how == "anew" ? std::size_t(5) : std::size_t(0));
    }

    // Killed at any point, an undo leaves the book wholly before or after.
    void undoKilledIsWhollyBeforeOrAfter() {
        QVERIFY(runTool({"demo", book_ + ".demo", "40000"}).exitCode == 0);
        QFile::remove(book_);
        QVERIFY(QFile::rename(book_ + ".demo", book_));
        const std::int64_t t = quietMoment();
        shell("DELETE FROM Registros WHERE Codigo % 2 = 0; UPDATE Registros SET ICQ = 'x'");
        const auto before = storetest::readBook(book_, true);
        const QByteArray pristine = storetest::fileBytes(book_);
        QVERIFY(runTool({"undo", book_, "--to", moment(t)}).exitCode == 0);
        const auto after = storetest::readBook(book_, true);
        int wholeBefore = 0, wholeAfter = 0;
        for (int delay : {2, 50, 150, 300, 500, 800, 1100, 1500, 2000, 2600}) {
            storetest::writeFile(book_, pristine);
            QFile::remove(book_ + "-journal");
            QProcess p;
            p.start(ORV_DB_TOOL, {"undo", book_, "--to", moment(t)});
            QVERIFY(p.waitForStarted());
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
            p.waitForFinished();
            auto db = Database::open(book_.toStdString());
            sql::Statement ok(db->handle(), "PRAGMA integrity_check");
            QVERIFY(ok.step() && ok.text(0) == "ok");
            const auto now = storetest::readBook(book_, true);
            QVERIFY(now == before || now == after);
            (now == before ? wholeBefore : wholeAfter)++;
        }
        qInfo("killed undo: %d wholly before, %d wholly after", wholeBefore, wholeAfter);
    }

    // Every copy sound and holding every contact committed before it began,
    // with whole transactions only, while the shell writes in batches of 10.
    void backupWhileAnotherProcessWrites() {
        try {
            copiesWhileWriting();
        } catch (const EngineError& e) {
            QFAIL(e.what());
        }
    }
    // forget leaves no byte of a person in the book's folder: not in the
    // book, its history, its kept card, a copy that held them, the journal
    // or WAL; only the history's line that the code was forgotten, and when.
    // The next sync deletes the card on the server as any delete. A person
    // already deleted is forgotten the same way.
    void forgetLeavesNoByte() {
        QStringList crowd;
        for (int i = 0; i < 150; ++i) crowd << QStringLiteral("Vecino%1").arg(i);
        importCards(crowd);
        const QString vcf = dir_.filePath("zacarias.vcf");
        QByteArray photo;
        for (int i = 0; i < 400; ++i) photo += "FOTOZQ";
        storetest::writeFile(vcf,
                             "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Olvidadizo;Zacarías;;;\r\n"
                             "FN:Zacarías Olvidadizo\r\nTEL:699 111 222\r\nNOTE:nota "
                             "secretísima\r\nPHOTO;ENCODING=b;TYPE=JPEG:" +
                                 photo + "\r\nEND:VCARD\r\n");
        QVERIFY(runTool({"import", book_, vcf}).exitCode == 0);
        const std::int64_t zac = 151, eva = 152;
        cardSets(zac, kTelefono, "611 999 888");
        shell(
            "UPDATE Registros SET \"Mas info\" = 'cambiada después' WHERE Codigo = 151;"
            "INSERT INTO Registros (Nombre, Apellido, \"e-mail\") VALUES ('Evarista', "
            "'Borrabien', 'evarista@ejemplo.es')");
        QVERIFY(sync().complete());
        QCOMPARE(serverSide().size(), std::size_t(152));
        // Another program that does not zero what it deletes (SQLite's own
        // default) leaves an old value in the file's free pages.
        shell(
            "PRAGMA secure_delete = OFF; UPDATE Registros SET ICQ = replace(hex(zeroblob("
            "2000)), '00', 'nota larga') WHERE Codigo = 151; UPDATE Registros SET ICQ = NULL "
            "WHERE Codigo = 151");
        QVERIFY(runTool({"backup", book_}).exitCode == 0);
        cardDeletes(eva);  // the other one is already deleted
        QVERIFY(runTool({"backup", book_}).exitCode == 0);
        const QString folder = QFileInfo(book_).path();
        // A file of the user's in copias/ that holds them too is named, not touched.
        const QString mine = folder + "/copias/orv-mia.mdb";
        QVERIFY(QFile::copy(book_, mine));
        const QByteArray mineBefore = storetest::fileBytes(mine);

        const QByteArray traces[] = {"Olvidadizo",       "Zacar",     "699 111 222",
                                     "611 999 888",      "secret",    "FOTOZQFOTOZQ",
                                     "cambiada después", "Evarista",  "Borrabien",
                                     "evarista@",        "nota larga"};
        const auto found = [&] {
            QStringList where;
            QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString f = it.next();
                if (f == mine) continue;
                const QByteArray bytes = storetest::fileBytes(f);
                for (const QByteArray& t : traces)
                    if (bytes.contains(t)) where << QFileInfo(f).fileName() + ": " + t;
            }
            return where;
        };
        QVERIFY(found().size() > 10);

        // Without a terminal it asks for --yes and changes nothing.
        const std::int64_t beforeForget = quietMoment();
        const QByteArray before = storetest::fileBytes(book_);
        auto r = runTool({"forget", book_, "151"});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("añada --yes"), r.err.constData());
        QCOMPARE(storetest::fileBytes(book_), before);

        r = runTool({"forget", book_, "151", "--yes"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.startsWith("Contacto 151 (Zacarías Olvidadizo) olvidado: borrados su "
                                  "ficha, "),
                 r.out.constData());
        QVERIFY2(r.out.contains("La próxima sincronización lo borrará también del servidor") &&
                     r.out.contains("limpiadas: 3 (2 lo tenían)"),
                 r.out.constData());
        QVERIFY2(r.err.contains("orv-mia.mdb: no es una copia hecha por orvane-db"),
                 r.err.constData());
        r = runTool({"forget", book_, "152", "--yes"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.startsWith("Contacto 152 (Evarista Borrabien) olvidado: borrados "),
                 r.out.constData());
        const QStringList left = found();
        QVERIFY2(left.isEmpty(), qPrintable(left.join('\n')));
        QCOMPARE(storetest::fileBytes(mine), mineBefore);

        // Only the line that each was forgotten.
        for (std::int64_t code : {zac, eva}) {
            r = runTool({"history", book_, QString::number(code)});
            QVERIFY2(r.out.endsWith("  olvido  " + QByteArray::number(code) +
                                    " (sus datos se han borrado)\n") &&
                         r.out.count('\n') == 1,
                     r.out.constData());
            QCOMPARE(runTool({"restore", book_, QString::number(code)}).exitCode, 1);
        }
        const auto rest = changes();
        QVERIFY(std::none_of(rest.begin(), rest.end(), [](const Change& c) {
            return (c.codigo == 151 || c.codigo == 152) && c.tipo != history::kForgotten;
        }));
        // Going back to before they were forgotten brings no empty contact
        // under their codes.
        r = runTool({"undo", book_, "--to", moment(beforeForget)});
        QVERIFY2(r.exitCode == 0 && r.out.contains(": 0 quitados, 0 cambiados, 0 devueltos"),
                 r.out.constData());
        {
            auto db = Database::open(book_.toStdString(), false);
            sql::Statement n(db->handle(), "SELECT count(*) FROM Registros WHERE Codigo >= 151");
            QVERIFY(n.step() && n.int64(0) == 0);
        }

        // The next sync deletes them on the server, as any delete.
        const auto report = sync();
        QVERIFY(report.complete());
        QCOMPARE(serverSide().size(), std::size_t(150));
        // Not a second time, and not a code that never was.
        r = runTool({"forget", book_, "999", "--yes"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("no hay ningún contacto con el código 999"), r.err.constData());
    }

    // A year's changes kept, older ones dropped at the next write; the last
    // seven copies kept.
    void historyAndCopiesBounded() {
        importCards({"Ana"});
        const std::int64_t old = history::nowMs() - history::kKeptMs - 1000;
        shell(QStringLiteral("UPDATE OrvHistoria SET Momento = %1; INSERT INTO Registros "
                             "(Nombre) VALUES ('Eva')")
                  .arg(old));
        QCOMPARE(changes().size(), std::size_t(2));
        Database::open(book_.toStdString());
        QCOMPARE(changes().size(), std::size_t(1));
        const auto r = runTool({"check", book_});
        QVERIFY2(r.out.contains("Historia: 1 cambio, "), r.out.constData());

        std::vector<std::string> made;
        for (int i = 0; i < 9; ++i) made.push_back(backup::keepCopy(book_.toStdString()));
        const QStringList left =
            QDir(QFileInfo(book_).dir().filePath("copias")).entryList(QDir::Files, QDir::Name);
        QCOMPARE(left.size(), backup::kKeptCopies);
        QCOMPARE(left.last(), QFileInfo(QString::fromStdString(made.back())).fileName());
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
