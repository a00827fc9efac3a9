// The two-way sync against a real radicale on loopback: the first sync, a
// sync with nothing to do, changes and deletes on each side (the book's made
// by the sqlite3 shell), conflicts, the server's own properties, faults, and
// syncs killed at each of their steps and then run again.

#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <algorithm>

#include "store/sql.h"
#include "support/radicale.h"
#include "support/storetest.h"
#include "sync/engine.h"
#include "sync/mapping.h"
#include "sync/state.h"
#include "sync/vcardmerge.h"

using namespace orv;
using namespace orv::sync;
using storetest::contact;

namespace {

using rt::unfolded;

// A phone's card: a photo, a company and a second number the book has no field for.
const QByteArray kPhoneCard =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:movil-carlos\r\nFN:Carlos Vega\r\nN:Vega;Carlos;;;\r\n"
    "ORG:Ayuntamiento\r\nTEL;TYPE=CELL:600 000 001\r\nTEL;TYPE=WORK:91 000 00 02\r\n"
    "PHOTO;ENCODING=b;TYPE=JPEG:" +
    QByteArray(200, 'A') + "\r\nEND:VCARD\r\n";

}  // namespace

class TestSync : public QObject {
    Q_OBJECT

    rt::Radicale server_;
    QTemporaryDir dir_;
    int serial_ = 0;
    QUrl url_;      // this test's address book
    QString book_;  // and this test's book

    CardDavOptions dav(const QString& password = rt::kPassword) const {
        return {url_, rt::kUser, password, {}, 10000, 100};
    }

    SyncReport sync(const std::function<void(const char*)>& checkpoint = {}) {
        auto db = Database::open(book_.toStdString());
        SyncOptions o;
        o.dav = dav();
        o.checkpoint = checkpoint;
        return syncBook(db->handle(), o);
    }

    // A change made by another program: the sqlite3 shell, where the book's
    // schema lets it write (a schema that names our collation does not).
    void sqlite(const QString& sql) {
        if (!shellWrites_) {
            auto db = Database::open(book_.toStdString());
            sql::exec(db->handle(), sql.toStdString());
            return;
        }
        QProcess p;
        p.start("sqlite3", {book_, sql});
        QVERIFY(p.waitForFinished(10000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    }
    bool shellWrites_ = true;

    std::vector<Card> serverCards() {
        CardDavClient client(dav());
        DavResult<Listing> all = client.list();
        QStringList hrefs;
        for (const CardInfo& c : all.value.cards) hrefs << c.href;
        DavResult<Fetched> got = client.fetch(hrefs);
        if (!all.ok() || !got.ok()) qWarning("the server's cards cannot be read");
        return got.value.cards;
    }
    QString serverToken() { return CardDavClient(dav()).list().value.syncToken; }

    // The server's card of the contact with this Nombre.
    std::optional<Card> cardOf(const std::string& nombre) {
        for (Card& c : serverCards())
            if (contactFromCard(c.vcard.toStdString())[kNombre] == nombre) return c;
        return std::nullopt;
    }

    // Both sides as sorted lists of contacts, to be compared.
    std::vector<std::string> bookSide() {
        std::vector<std::string> all;
        for (const Contact& c : storetest::readBook(book_)) all.push_back(serialize(c));
        std::sort(all.begin(), all.end());
        return all;
    }
    std::vector<std::string> serverSide() {
        std::vector<std::string> all;
        for (const Card& c : serverCards())
            all.push_back(serialize(contactFromCard(c.vcard.toStdString())));
        std::sort(all.begin(), all.end());
        return all;
    }
    void expectBothSidesEqual(std::size_t count) {
        const auto book = bookSide();
        QCOMPARE(book.size(), count);
        QVERIFY(book == serverSide());
    }
    void expectNothingToDo() {
        const QByteArray before = storetest::fileBytes(book_);
        const QString token = serverToken();
        const SyncReport r = sync();
        QVERIFY(r.complete());
        QVERIFY(r.up.empty() && r.down.empty() && r.deletedHere.empty() && r.deletedThere.empty());
        QCOMPARE(storetest::fileBytes(book_), before);
        QCOMPARE(serverToken(), token);
    }

  private slots:
    void initTestCase() {
        const QString why = server_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const QString probe = dir_.filePath("probe.mdb");
        storetest::makeBook(probe, {contact({"Ana"})});
        QProcess p;
        p.start("sqlite3", {probe,
                            "UPDATE Registros SET Telefono = '1' WHERE Nombre = 'Ana';"
                            "INSERT INTO Registros (Nombre) VALUES ('Luis')"});
        QVERIFY(p.waitForFinished(10000));
        shellWrites_ = p.exitCode() == 0;
        if (!shellWrites_)
            qInfo("the sqlite3 shell cannot write these books: changes go through SQL");
    }

    // A new address book and a new book for every test and every row.
    void init() {
        url_ = server_.url(QStringLiteral("/ana/libreta%1/").arg(++serial_));
        const DavError made = CardDavClient(dav()).createAddressBook("Libreta");
        QVERIFY2(!made.failed(), qPrintable(made.message));
        book_ = dir_.filePath(QStringLiteral("orv%1.mdb").arg(serial_));
    }

    // The first sync merges (a contact on both sides is linked, not
    // doubled); the next one with nothing changed transfers and writes
    // nothing; a dry run reports and changes nothing. Through the command,
    // as a user runs it.
    void firstSyncBringsBothSidesTogetherThenNothingToDo() {
        const Contact berta = contact({"Berta", "Gil", "Mayor 1", "Soria", "975 000 000",
                                       std::nullopt, std::nullopt, "amiga", "1970-05-01"});
        storetest::makeBook(book_, {contact({"Ana", "Ruiz", {}, {}, "600 111 222"}), berta});
        CardDavClient client(dav());
        QVERIFY(client
                    .put(client.hrefForUid("berta"),
                         QByteArray::fromStdString(cardFromContact(berta, "berta")), {})
                    .ok());
        QVERIFY(client.put(client.hrefForUid("carlos"), kPhoneCard, {}).ok());

        const QString passwordFile = dir_.filePath("clave");
        storetest::writeFile(passwordFile, rt::kPassword.toUtf8() + "\n");
        storetest::Run run = storetest::runTool(
            {"sync", book_, url_.toString(), "--user", rt::kUser, "--password-file", passwordFile});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QVERIFY2(run.out.contains("Subidos al servidor: 1\n  Ana Ruiz\n"), run.out.constData());
        QVERIFY2(run.out.contains("Traídos a esta agenda: 1\n  Carlos Vega\n"),
                 run.out.constData());
        QVERIFY(!run.out.contains(rt::kPassword.toUtf8()) &&
                !run.err.contains(rt::kPassword.toUtf8()));
        expectBothSidesEqual(3);
        // The second number came in with the rest, not dropped.
        QVERIFY(bookSide() == serverSide());
        bool found = false;
        for (const Contact& c : storetest::readBook(book_))
            found = found || (c[kNombre] == "Carlos" && c[kMasInfo] &&
                              c[kMasInfo]->find("91 000 00 02") != std::string::npos);
        QVERIFY(found);

        // The address and user of the last sync, the password from the environment.
        const QByteArray before = storetest::fileBytes(book_);
        const QDateTime modified = QFileInfo(book_).lastModified();
        const QString token = serverToken();
        qputenv("ORVANE_CARDDAV_PASSWORD", rt::kPassword.toUtf8());
        run = storetest::runTool({"sync", book_});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QVERIFY2(run.out.contains("Nada que sincronizar"), run.out.constData());
        QCOMPARE(storetest::fileBytes(book_), before);
        QCOMPARE(QFileInfo(book_).lastModified(), modified);
        QCOMPARE(serverToken(), token);

        sqlite("UPDATE Registros SET Telefono = '699' WHERE Nombre = 'Ana'");
        const QByteArray changed = storetest::fileBytes(book_);
        run = storetest::runTool({"sync", book_, "--dry-run"});
        qunsetenv("ORVANE_CARDDAV_PASSWORD");
        QVERIFY2(run.out.contains("Se subirían al servidor: 1\n  Ana Ruiz\n"), run.out.constData());
        QCOMPARE(storetest::fileBytes(book_), changed);
        QCOMPARE(serverToken(), token);
    }

    void changesAndDeletesTravel_data() {
        QTest::addColumn<QString>("book");      // "delete" or COLUMN=value, by the sqlite3 shell
        QTest::addColumn<QString>("server");    // "delete" or PROPERTY=value on the card
        QTest::addColumn<bool>("during");       // the server's change comes as the sync writes
        QTest::addColumn<QString>("telefono");  // Ana's after, or "gone"
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("conflictLine");  // expected in Mas info
        QTest::addColumn<int>("kept");

        struct Row {
            const char *name, *book, *server;
            bool during;
            const char *telefono, *email, *conflictLine;
            int kept;
        };
        // clang-format off
        const Row rows[] = {
            {"book changes",                "Telefono=611", "",               false, "611",  "ana@x.es", "", 0},
            {"server changes",              "",             "TEL=711",        false, "711",  "ana@x.es", "", 0},
            {"book deletes",                "delete",       "",               false, "gone", "",         "", 0},
            {"server deletes",              "",             "delete",         false, "gone", "",         "", 0},
            {"deleted here, changed there", "delete",       "TEL=711",        false, "711",  "ana@x.es", "", 1},
            {"changed here, deleted there", "Telefono=611", "delete",         false, "611",  "ana@x.es", "", 1},
            {"both, different fields",      "Telefono=611", "EMAIL=ana@y.es", false, "611",  "ana@y.es", "", 0},
            {"both, the same field",        "Telefono=611", "TEL=711",        false, "711",  "ana@x.es",
             "Conflicto, esta agenda: Telefono: 611", 0},
            {"both, the same value",        "Telefono=611", "TEL=611",        false, "611",  "ana@x.es", "", 0},
            // The upload meets 412: fetched again, merged, sent again.
            {"server changes meanwhile",    "Telefono=611", "EMAIL=ana@y.es", true,  "611",  "ana@y.es", "", 0},
            {"server deletes meanwhile",    "Telefono=611", "delete",         true,  "611",  "ana@x.es", "", 1},
        };
        // clang-format on
        for (const Row& r : rows)
            QTest::newRow(r.name) << r.book << r.server << r.during << r.telefono << r.email
                                  << r.conflictLine << r.kept;
    }
    void changesAndDeletesTravel() {
        QFETCH(QString, book);
        QFETCH(QString, server);
        QFETCH(bool, during);
        QFETCH(QString, telefono);
        QFETCH(QString, email);
        QFETCH(QString, conflictLine);
        QFETCH(int, kept);

        storetest::makeBook(book_, {contact({"Ana", "Ruiz", {}, {}, "600", "ana@x.es", {}, "nota"}),
                                    contact({"Luis", "Mora", {}, {}, "601"})});
        QVERIFY(sync().complete());
        expectBothSidesEqual(2);

        if (book == "delete")
            sqlite("DELETE FROM Registros WHERE Nombre = 'Ana'");
        else if (!book.isEmpty())
            sqlite(QStringLiteral("UPDATE Registros SET \"%1\" = '%2' WHERE Nombre = 'Ana'")
                       .arg(book.section('=', 0, 0), book.section('=', 1)));
        bool changed = server.isEmpty();
        auto changeServer = [&] {
            std::optional<Card> ana = cardOf("Ana");
            CardDavClient client(dav());
            if (!ana) return;
            if (server == "delete") {
                changed = !client.remove(ana->href, ana->etag).failed();
                return;
            }
            const std::string text = mergeVCard(
                ana->vcard.toStdString(),
                {{server.section('=', 0, 0).toStdString(), server.section('=', 1).toStdString()}});
            changed = client.put(ana->href, QByteArray::fromStdString(text), ana->etag).ok();
        };
        if (!server.isEmpty() && !during) changeServer();

        const SyncReport r = sync([&](const char* point) {
            if (during && !changed && std::string_view(point) == "writing") changeServer();
        });
        QVERIFY(changed);
        QVERIFY(r.complete());
        QCOMPARE(r.conflicts.size(), std::size_t(conflictLine.isEmpty() ? 0 : 1));
        QCOMPARE(r.kept.size(), std::size_t(kept));
        expectBothSidesEqual(telefono == "gone" ? 1 : 2);
        for (const Contact& c : storetest::readBook(book_)) {
            if (c[kNombre] != "Ana") {
                QCOMPARE(c[kTelefono], Value("601"));  // the other contact untouched
                continue;
            }
            QCOMPARE(c[kTelefono], Value(telefono.toStdString()));
            QCOMPARE(c[kEmail], Value(email.toStdString()));
            const std::string info =
                conflictLine.isEmpty() ? "nota" : "nota\n" + conflictLine.toStdString();
            QCOMPARE(c[kMasInfo], Value(info));
        }
        expectNothingToDo();
    }

    // The book changes the phone of a card that came from a phone: only that
    // line changes on the server, and nothing comes back twice.
    void serverKeepsWhatTheBookHasNoFieldFor() {
        storetest::makeBook(book_, {});
        CardDavClient client(dav());
        QVERIFY(client.put(client.hrefForUid("carlos"), kPhoneCard, {}).ok());
        QVERIFY(sync().complete());
        sqlite(
            "UPDATE Registros SET Telefono = '600 999 999', \"Mas info\" = \"Mas info\" || "
            "char(10) || 'vecino' WHERE Nombre = 'Carlos'");
        const SyncReport r = sync();
        QVERIFY(r.complete());
        QCOMPARE(r.up.size(), std::size_t(1));
        std::optional<Card> carlos = cardOf("Carlos");
        QVERIFY(carlos);
        const QStringList lines = unfolded(carlos->vcard);
        QVERIFY2(lines.contains("PHOTO;ENCODING=b;TYPE=JPEG:" + QString(200, 'A')),
                 qPrintable(lines.join('\n')));
        QVERIFY(lines.contains("ORG:Ayuntamiento"));
        QVERIFY(lines.contains("TEL;TYPE=CELL:600 999 999"));
        QVERIFY(lines.contains("TEL;TYPE=WORK:91 000 00 02"));
        QVERIFY(lines.contains("UID:movil-carlos"));
        expectBothSidesEqual(1);
        expectNothingToDo();
    }

    // What an import kept with a contact (a phone's photo, its X- lines) goes
    // up with it; what comes down is kept with the contact for an export.
    void keptPropertiesTravel() {
        storetest::makeBook(book_, {});
        const auto imported = storetest::runTool(
            {"import", book_, QStringLiteral(ORV_SOURCE_DIR) + "/tests/data/android-2.1.vcf"});
        QVERIFY2(imported.exitCode == 0, imported.err.constData());
        CardDavClient client(dav());
        QVERIFY(client.put(client.hrefForUid("carlos"), kPhoneCard, {}).ok());
        const SyncReport r = sync();
        for (const std::string& p : r.problems) qWarning("%s", p.c_str());
        QVERIFY2(r.complete(), r.fatal.c_str());
        std::optional<Card> ana = cardOf("Ana");
        QVERIFY(ana);
        const QString card = unfolded(ana->vcard).join('\n');
        // radicale escapes the semicolons of a property it does not know.
        QVERIFY2(QString(card).remove('\\').contains(
                     "X-ANDROID-CUSTOM:vnd.android.cursor.item/relation;Pedro;14;"),
                 qPrintable(card));
        QVERIFY2(card.contains("PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQ"), qPrintable(card));
        const QString out = dir_.filePath(QStringLiteral("export%1.vcf").arg(serial_));
        QCOMPARE(storetest::runTool({"export", book_, out}).exitCode, 0);
        const QStringList exported = unfolded(storetest::fileBytes(out));
        QVERIFY(exported.contains("PHOTO;ENCODING=b;TYPE=JPEG:" + QString(200, 'A')));
        expectNothingToDo();
    }

    void faultsLeaveTheBookUntouched_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("down");
        QTest::addColumn<QString>("says");
        QTest::newRow("wrong password") << ""
                                        << "malo" << false << "contraseña";
        QTest::newRow("wrong address") << "/ana/nada/" << rt::kPassword << false << "No existe";
        QTest::newRow("server down") << "" << rt::kPassword << true << "conexión rechazada";
    }
    void faultsLeaveTheBookUntouched() {
        QFETCH(QString, path);
        QFETCH(QString, password);
        QFETCH(bool, down);
        QFETCH(QString, says);
        storetest::makeBook(book_, {contact({"Ana"})});
        const QByteArray before = storetest::fileBytes(book_);
        QUrl url = url_;
        if (!path.isEmpty()) url.setPath(path);
        if (down) url.setPort(rt::freePort());
        const QString passwordFile = dir_.filePath("clave");
        storetest::writeFile(passwordFile, password.toUtf8());
        const storetest::Run run = storetest::runTool(
            {"sync", book_, url.toString(), "--user", rt::kUser, "--password-file", passwordFile});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("orvane-db: no se ha sincronizado: ") &&
                     run.err.contains(says.toUtf8()),
                 run.err.constData());
        QCOMPARE(storetest::fileBytes(book_), before);
        QVERIFY(serverCards().empty());
    }

    // A sync killed at each of its steps, then run again: both sides end
    // equal, nothing doubled or lost.
    void killedMidwayThenRunAgain_data() {
        QTest::addColumn<QString>("point");
        for (const char* p : {"reserved", "put", "server-done", "before-commit"})
            QTest::newRow(p) << p;
    }
    void killedMidwayThenRunAgain() {
        QFETCH(QString, point);
        storetest::makeBook(
            book_, {contact({"Ana", {}, {}, {}, "600"}), contact({"Luis", {}, {}, {}, "601"})});
        QVERIFY(sync().complete());
        sqlite(
            "INSERT INTO Registros (Nombre) VALUES ('Nuevo1'), ('Nuevo2');"
            "UPDATE Registros SET Telefono = '611' WHERE Nombre = 'Luis'");
        CardDavClient client(dav());
        std::optional<Card> ana = cardOf("Ana");
        QVERIFY(ana);
        QVERIFY(client
                    .put(ana->href,
                         QByteArray::fromStdString(
                             mergeVCard(ana->vcard.toStdString(), {{"TEL", "700"}})),
                         ana->etag)
                    .ok());
        QVERIFY(client
                    .put(client.hrefForUid("zoe"),
                         QByteArray::fromStdString(cardFromContact(contact({"Zoe"}), "zoe")), {})
                    .ok());

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVANE_CARDDAV_PASSWORD", rt::kPassword);
        child.setProcessEnvironment(env);
        child.start(ORV_SYNC_CHILD, {book_, url_.toString(), rt::kUser, point});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        QVERIFY(sync().complete());
        expectBothSidesEqual(5);
        for (const Contact& c : storetest::readBook(book_)) {
            if (c[kNombre] == "Ana") QCOMPARE(c[kTelefono], Value("700"));
            if (c[kNombre] == "Luis") QCOMPARE(c[kTelefono], Value("611"));
        }
        expectNothingToDo();
    }
};

QTEST_GUILESS_MAIN(TestSync)
#include "tst_sync.moc"
