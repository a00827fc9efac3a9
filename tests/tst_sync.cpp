// The two-way sync against real servers on loopback (radicale and
// xandikos, each in turn), directly or through a proxy that fails requests: the first sync, a
// sync with nothing to do, changes and deletes on each side (the book's made
// by the sqlite3 shell), conflicts, the server's own properties, faults, and
// syncs killed at each of their steps and then run again.

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <map>
#include <memory>
#include <random>

#include "exchange/vcardmerge.h"
#include "store/history.h"
#include "store/sql.h"
#include "support/davserver.h"
#include "support/faultproxy.h"
#include "support/storetest.h"
#include "sync/engine.h"
#include "sync/mapping.h"
#include "sync/state.h"

using namespace orv;
using namespace orv::sync;
using orv::exchange::MappedProperty;
using orv::exchange::mergeVCard;
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

    rt::DavServer server_;
    QTemporaryDir dir_;
    int serial_ = 0;
    QUrl url_;      // this test's address book
    QString book_;  // and this test's book

    CardDavOptions dav() const {
        return {url_, server_.user(), server_.password(), {}, 10000, 100};
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

    std::vector<DavCard> serverCards() {
        CardDavClient client(dav());
        DavResult<Listing> all = client.list();
        QStringList hrefs;
        for (const CardInfo& c : all.value.cards) hrefs << c.href;
        DavResult<Fetched> got = client.fetch(hrefs);
        if (!all.ok() || !got.ok()) qWarning("the server's cards cannot be read");
        return got.value.cards;
    }
    // The command's arguments with the server's user and password file (a
    // server that asks no password gets neither).
    QStringList withUser(QStringList args, const QString& passwordFile) const {
        if (!server_.user().isEmpty())
            args << "--user" << server_.user() << "--password-file" << passwordFile;
        return args;
    }

    QString serverToken() { return CardDavClient(dav()).list().value.syncToken; }

    // The server's card of the contact with this Nombre.
    std::optional<DavCard> cardOf(const std::string& nombre) {
        for (DavCard& c : serverCards())
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
        for (const DavCard& c : serverCards())
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

    SyncReport syncAt(const QUrl& url, bool otherAddressBook = false, const QString& caFile = {}) {
        auto db = Database::open(book_.toStdString());
        SyncOptions o;
        o.dav = dav();
        o.dav.collection = url;
        o.dav.caFile = caFile;
        o.dav.timeoutMs = 3000;
        o.otherAddressBook = otherAddressBook;
        return syncBook(db->handle(), o);
    }
    void putCard(const QString& uid, const QByteArray& text) {
        CardDavClient client(dav());
        const DavResult<QString> put = client.put(client.hrefForUid(uid), text, {});
        QVERIFY2(put.ok(), qPrintable(put.error.message));
    }
    void editServer(const std::string& nombre, const std::string& property,
                    const std::optional<std::string>& value) {
        std::optional<DavCard> c = cardOf(nombre);
        QVERIFY(c);
        CardDavClient client(dav());
        if (!value) {
            QVERIFY(!client.remove(c->href, c->etag).failed());
            return;
        }
        QVERIFY(client
                    .put(c->href,
                         QByteArray::fromStdString(
                             mergeVCard(c->vcard.toStdString(), {{property, value}})),
                         c->etag)
                    .ok());
    }
    // Back at the direct address (which only rewrites the address kept),
    // then a sync with nothing to do.
    void backDirectThenNothingToDo() {
        const SyncReport r = sync();
        QVERIFY(r.complete() && r.up.empty() && r.down.empty() && r.deletedHere.empty());
        expectNothingToDo();
    }
    std::string bookValue(const std::string& nombre, std::size_t col) {
        for (const Contact& c : storetest::readBook(book_))
            if (c[kNombre] == nombre) return c[col].value_or("(null)");
        return "(gone)";
    }

  public:
    explicit TestSync(const QString& kind) : server_(kind) {}

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
        url_ = server_.bookUrl(QStringLiteral("libreta%1").arg(++serial_));
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
        storetest::Run run =
            storetest::runTool(withUser({"sync", book_, url_.toString()}, passwordFile));
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
        QTest::addColumn<bool>("bookDuring");   // the book's change comes as the sync runs
        QTest::addColumn<QString>("telefono");  // Ana's after, or "gone"
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("conflictLine");  // expected in Mas info
        QTest::addColumn<int>("kept");

        struct Row {
            const char *name, *book, *server;
            bool during;
            const char *telefono, *email, *conflictLine;
            int kept;
            bool bookDuring = false;
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
            // The book's change lands while the sync talks to the server.
            {"deleted here meanwhile, changed there", "delete", "TEL=711",    false, "711",  "ana@x.es", "", 1, true},
            {"deleted here meanwhile",      "delete",       "",               false, "gone", "",         "", 0, true},
            {"changed here meanwhile, the same field there", "Telefono=611", "TEL=711", false, "711", "ana@x.es",
             "Conflicto, esta agenda: Telefono: 611", 0, true},
            {"changed here meanwhile, another field there", "Telefono=611", "EMAIL=ana@y.es", false, "611",
             "ana@y.es", "", 0, true},
        };
        // clang-format on
        for (const Row& r : rows)
            QTest::newRow(r.name) << r.book << r.server << r.during << r.bookDuring << r.telefono
                                  << r.email << r.conflictLine << r.kept;
    }
    void changesAndDeletesTravel() {
        QFETCH(QString, book);
        QFETCH(QString, server);
        QFETCH(bool, during);
        QFETCH(bool, bookDuring);
        QFETCH(QString, telefono);
        QFETCH(QString, email);
        QFETCH(QString, conflictLine);
        QFETCH(int, kept);

        storetest::makeBook(book_, {contact({"Ana", "Ruiz", {}, {}, "600", "ana@x.es", {}, "nota"}),
                                    contact({"Luis", "Mora", {}, {}, "601"})});
        QVERIFY(sync().complete());
        expectBothSidesEqual(2);

        auto changeBook = [&] {
            if (book == "delete")
                sqlite("DELETE FROM Registros WHERE Nombre = 'Ana'");
            else if (!book.isEmpty())
                sqlite(QStringLiteral("UPDATE Registros SET \"%1\" = '%2' WHERE Nombre = 'Ana'")
                           .arg(book.section('=', 0, 0), book.section('=', 1)));
        };
        if (!bookDuring) changeBook();
        bool changed = server.isEmpty();
        auto changeServer = [&] {
            std::optional<DavCard> ana = cardOf("Ana");
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

        SyncReport r = sync([&](const char* point) {
            if (during && !changed && std::string_view(point) == "writing") changeServer();
            if (bookDuring && std::string_view(point) == "server-done") changeBook();
        });
        QVERIFY(changed);
        QVERIFY(r.complete());
        if (bookDuring) {
            // What the book did meanwhile travels with the next sync.
            const SyncReport next = sync();
            QVERIFY(next.complete());
        }
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
        std::optional<DavCard> carlos = cardOf("Carlos");
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
        std::optional<DavCard> ana = cardOf("Ana");
        QVERIFY(ana);
        const QString card = unfolded(ana->vcard).join('\n');
        // radicale escapes the semicolons of a property it does not know.
        QVERIFY2(QString(card).remove('\\').contains(
                     "X-ANDROID-CUSTOM:vnd.android.cursor.item/relation;Pedro;14;"),
                 qPrintable(card));
        QVERIFY2(card.contains(QRegularExpression(
                     "(^|\\n)PHOTO;[^:\\n]*ENCODING=b[^:\\n]*:/9j/4AAQSkZJRgABAQ")),
                 qPrintable(card));
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
        QTest::newRow("wrong address")
            << "/ana/nada/libreta/" << rt::kPassword << false << "No existe|ninguna libreta";
        QTest::newRow("server down") << "" << rt::kPassword << true << "conexión rechazada";
    }
    void faultsLeaveTheBookUntouched() {
        QFETCH(QString, path);
        QFETCH(QString, password);
        QFETCH(bool, down);
        QFETCH(QString, says);
        if (server_.user().isEmpty() && password == "malo") QSKIP("this server asks no password");
        storetest::makeBook(book_, {contact({"Ana"})});
        const QByteArray before = storetest::fileBytes(book_);
        QUrl url = url_;
        if (!path.isEmpty()) url.setPath(path);
        if (down) url.setPort(rt::freePort());
        const QString passwordFile = dir_.filePath("clave");
        storetest::writeFile(passwordFile, password.toUtf8());
        const storetest::Run run =
            storetest::runTool(withUser({"sync", book_, url.toString()}, passwordFile));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("orvane-db: no se ha sincronizado: ") &&
                     QString::fromUtf8(run.err).contains(QRegularExpression(says)),
                 run.err.constData());
        QCOMPARE(storetest::fileBytes(book_), before);
        QVERIFY(serverCards().empty());
    }

    // A group card (as phones and other servers write them) stays out of the
    // book, is named once, and the sync completes and keeps its token. A
    // card handed back with bare LF line ends still has its UID read.
    void groupCardsStayOutAndLfCardsKeepTheirUid() {
        storetest::makeBook(book_, {contact({"Ana"})});
        putCard("grupo",
                "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:grupo\r\nKIND:group\r\nFN:Familia\r\n"
                "MEMBER:urn:uuid:lf-uid\r\nEND:VCARD\r\n");
        putCard("viejo",
                "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:viejo\r\nFN:Amigos\r\nN:Amigos;;;;\r\n"
                "X-ADDRESSBOOKSERVER-KIND:group\r\nEND:VCARD\r\n");
        putCard("lf-uid", "BEGIN:VCARD\nVERSION:3.0\nUID:lf-uid\nFN:Lola\nN:;Lola;;;\nEND:VCARD\n");
        SyncReport r = sync();
        QVERIFY2(r.complete(), r.problems.empty() ? r.fatal.c_str() : r.problems[0].c_str());
        std::sort(r.groups.begin(), r.groups.end());
        QCOMPARE(r.groups, (std::vector<std::string>{"Amigos", "Familia"}));
        QCOMPARE(storetest::readBook(book_).size(), std::size_t(2));
        auto db = Database::open(book_.toStdString());
        sql::Statement uid(db->handle(), "SELECT count(*) FROM OrvSync WHERE Uid = 'lf-uid'");
        QVERIFY(uid.step() && uid.int64(0) == 1);
        db.reset();
        // The server's token is used (xandikos writes its reports unwrapped).
        QVERIFY(CardDavClient(dav()).list().value.syncCollection);
        // Named once: the next syncs say nothing of them and change nothing.
        r = sync();
        QVERIFY(r.complete() && r.groups.empty());
        expectNothingToDo();
    }

    // The same address book reached by another address keeps its state:
    // what was deleted on the server stays deleted, nothing comes twice.
    // Another address book is refused unless asked for.
    void oneAddressBookIsOneIdentity_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("localhost") << "localhost";
        QTest::newRow("a proxy, another port") << "proxy";
        QTest::newRow("https, through a proxy") << "https";
        QTest::newRow("another address book") << "other";
        QTest::newRow("another, asked for") << "other, asked";
    }
    void oneAddressBookIsOneIdentity() {
        QFETCH(QString, how);
        storetest::makeBook(
            book_, {contact({"Ana", {}, {}, {}, "600"}), contact({"Luis", {}, {}, {}, "601"})});
        QVERIFY(sync().complete());
        editServer("Luis", "", std::nullopt);
        sqlite("UPDATE Registros SET Telefono = '611' WHERE Nombre = 'Ana'");
        const QUrl first = url_;
        std::unique_ptr<rt::FaultProxy> proxy;
        QUrl url = url_;
        if (how == "localhost") url.setHost("localhost");
        if (how == "proxy" || how == "https") {
            proxy = std::make_unique<rt::FaultProxy>(url_.port(), how == "https");
            QVERIFY2(proxy->error().isEmpty(), qPrintable(proxy->error()));
            url = proxy->url(url_);
        }
        if (how.startsWith("other")) {
            url = server_.bookUrl(QStringLiteral("otra%1").arg(serial_));
            url_ = url;
            QVERIFY(!CardDavClient(dav()).createAddressBook("Otra").failed());
            putCard("zoe", QByteArray::fromStdString(cardFromContact(contact({"Zoe"}), "zoe")));
        }
        const QByteArray before = storetest::fileBytes(book_);
        const SyncReport r =
            syncAt(url, how == "other, asked", proxy ? proxy->certFile() : QString());
        if (how == "other") {
            QVERIFY(r.otherBook);
            QVERIFY2(r.fatal.find("otra libreta") != std::string::npos, r.fatal.c_str());
            QCOMPARE(storetest::fileBytes(book_), before);
            return;
        }
        QVERIFY2(r.complete(), r.fatal.c_str());
        if (how == "other, asked") {
            // Merged by content: its own card comes in, ours go up.
            expectBothSidesEqual(3);
            return;
        }
        QCOMPARE(r.deletedHere.size(), std::size_t(1));
        QCOMPARE(bookValue("Luis", kNombre), "(gone)");
        QCOMPARE(bookValue("Ana", kTelefono), "611");
        url_ = first;
        expectBothSidesEqual(1);
        // And back at the first address: still the same book.
        backDirectThenNothingToDo();
    }

    // One fault on the first PUT or DELETE of a sync (through the proxy):
    // the sync says it did not finish (a delay aside), names the contact,
    // and the next one, after another edit here, ends equal with no
    // conflict and nothing doubled.
    void aFaultedWriteIsRetried_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("fault");
        // (Their answers have no body to cut, or none that says its length:
        // a body cut is the random test's.)
        for (rt::Fault f : {rt::Fault::ResetBefore, rt::Fault::ResetAfter, rt::Fault::CutHeaders,
                            rt::Fault::Status500, rt::Fault::Status503, rt::Fault::Delay})
            QTest::addRow("PUT, %s", rt::faultName(f)) << QByteArray("PUT") << int(f);
        for (rt::Fault f : {rt::Fault::ResetAfter, rt::Fault::CutHeaders, rt::Fault::Status503})
            QTest::addRow("DELETE, %s", rt::faultName(f)) << QByteArray("DELETE") << int(f);
    }
    void aFaultedWriteIsRetried() {
        QFETCH(QByteArray, method);
        QFETCH(int, fault);
        storetest::makeBook(book_, {contact({"Ana", "Ruiz", {}, {}, "600"}),
                                    contact({"Luis", "Mora", {}, {}, "601"})});
        QVERIFY(sync().complete());
        if (method == "PUT")
            sqlite(
                "UPDATE Registros SET Telefono = '611' WHERE Nombre = 'Ana';"
                "INSERT INTO Registros (Nombre) VALUES ('Nuevo')");
        else
            sqlite("DELETE FROM Registros WHERE Nombre = 'Ana'");
        rt::FaultProxy proxy(url_.port());
        // Every attempt at the first such request fails (Qt sends a request
        // again by itself when a connection drops before its answer).
        QByteArray path;
        proxy.setRule([&](const rt::ProxiedRequest& r) {
            if (r.method != method || (!path.isEmpty() && r.path != path)) return rt::Fault::None;
            path = r.path;
            return rt::Fault(fault);
        });
        SyncReport r = syncAt(proxy.url(url_));
        QVERIFY(!path.isEmpty());
        if (rt::Fault(fault) == rt::Fault::Delay) {
            QVERIFY(r.complete());
        } else {
            QVERIFY2(!r.complete(), "a faulted write was taken as done");
            QVERIFY(!r.problems.empty());
            QVERIFY2(r.problems[0].rfind("Ana Ruiz: ", 0) == 0, r.problems[0].c_str());
        }
        if (method == "PUT") sqlite("UPDATE Registros SET Telefono = '622' WHERE Nombre = 'Ana'");
        proxy.clear();
        r = syncAt(proxy.url(url_));
        QVERIFY2(r.complete(), r.problems.empty() ? r.fatal.c_str() : r.problems[0].c_str());
        QVERIFY(r.conflicts.empty());
        expectBothSidesEqual(method == "PUT" ? 3 : 1);
        if (method == "PUT") QCOMPARE(bookValue("Ana", kTelefono), "622");
        backDirectThenNothingToDo();
    }

    // 30 syncs through a proxy failing a fifth of the requests at random
    // (seeded), with changes on both sides between them; then clean syncs
    // bring both sides to the same contacts, none doubled, none lost.
    void thirtyFaultedSyncsEndEqual() {
        storetest::makeBook(book_, {contact({"Base", {}, {}, {}, "0"})});
        QVERIFY(sync().complete());
        rt::FaultProxy proxy(url_.port());
        proxy.delayMs = 100;
        proxy.setRandom(20261207, 0.2);
        std::map<std::string, std::string> phones{{"Base", "0"}};  // what must hold at the end
        int incomplete = 0;
        for (int round = 0; round < 30; ++round) {
            const std::string here = storetest::numbered("Libro", round);
            const std::string there = storetest::numbered("Serv", round);
            sqlite(QStringLiteral("INSERT INTO Registros (Nombre, Telefono) VALUES ('%1', '%2')")
                       .arg(QString::fromStdString(here))
                       .arg(round));
            phones[here] = std::to_string(round);
            putCard(QString::fromStdString(there),
                    QByteArray::fromStdString(cardFromContact(
                        contact({there, {}, {}, {}, std::to_string(round)}), there)));
            phones[there] = std::to_string(round);
            if (round % 3 == 2) {  // an edit here of one synced some rounds ago
                const std::string who = storetest::numbered("Libro", round - 2);
                sqlite(QStringLiteral("UPDATE Registros SET Telefono = 'e%1' WHERE Nombre = '%2'")
                           .arg(round)
                           .arg(QString::fromStdString(who)));
                phones[who] = storetest::numbered("e", round);
            }
            if (round % 5 == 2) {  // a delete and an edit on the server
                const std::string gone = storetest::numbered("Serv", round - 2);
                editServer(gone, "", std::nullopt);
                phones.erase(gone);
                // (One the book leaves alone, and only once the server has it.)
                const std::string who = storetest::numbered("Libro", round - 1);
                std::optional<DavCard> c = (round - 1) % 3 ? cardOf(who) : std::nullopt;
                if (c && CardDavClient(dav())
                             .put(c->href,
                                  QByteArray::fromStdString(
                                      mergeVCard(c->vcard.toStdString(),
                                                 {{"TEL", storetest::numbered("s", round)}})),
                                  c->etag)
                             .ok())
                    phones[who] = storetest::numbered("s", round);
            }
            if (round % 5 == 4 && bookValue(storetest::numbered("Serv", round - 3), kNombre) !=
                                      "(gone)") {  // a delete here of one come down
                const std::string who = storetest::numbered("Serv", round - 3);
                sqlite(QStringLiteral("DELETE FROM Registros WHERE Nombre = '%1'")
                           .arg(QString::fromStdString(who)));
                phones.erase(who);
            }
            incomplete += !syncAt(proxy.url(url_)).complete();
        }
        qInfo("%d of %d requests faulted, %d syncs incomplete", proxy.faults(), proxy.requests(),
              incomplete);
        QVERIFY(proxy.faults() > 10);
        proxy.clear();
        SyncReport r = syncAt(proxy.url(url_));
        if (!r.complete()) r = syncAt(proxy.url(url_));
        QVERIFY2(r.complete(), r.problems.empty() ? r.fatal.c_str() : r.problems[0].c_str());
        std::map<std::string, int> names;
        for (const Contact& c : storetest::readBook(book_)) ++names[c[kNombre].value_or("")];
        for (const auto& [nombre, n] : names)
            if (n != 1 || !phones.count(nombre))
                qWarning("in the book %d times: %s", n, nombre.c_str());
        expectBothSidesEqual(phones.size());
        for (const auto& [nombre, phone] : phones) QCOMPARE(bookValue(nombre, kTelefono), phone);
        backDirectThenNothingToDo();
    }

    // From the server's address alone (the well-known address, the user's
    // principal, its address books): one book is synced; the choice is
    // remembered when a second appears; a new book with several to choose
    // from lists them and asks, then takes --address-book. A password is
    // never sent in clear off this machine.
    void discoveryFindsTheAddressBooks() {
        rt::DavServer fresh(server_.kind());
        const QString why = fresh.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        auto make = [&](const QString& path, const QString& name) {
            url_ = fresh.bookUrl(path);
            const DavError made = CardDavClient(dav()).createAddressBook(name);
            QVERIFY2(!made.failed(), qPrintable(made.message));
        };
        make("personal", "Personal");
        const QString server = fresh.url("/").toString();
        const QString passwordFile = dir_.filePath("clave");
        storetest::writeFile(passwordFile, rt::kPassword.toUtf8());
        storetest::makeBook(book_, {contact({"Ana"})});
        storetest::Run run = storetest::runTool(withUser({"sync", book_, server}, passwordFile));
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QVERIFY2(run.out.contains("Subidos al servidor: 1"), run.out.constData());

        make("trabajo", "Trabajo");
        run = storetest::runTool(withUser({"sync", book_, server}, passwordFile));
        QVERIFY2(run.exitCode == 0 && run.out.contains("Nada que sincronizar"),
                 run.err.constData());

        const QString other = dir_.filePath(QStringLiteral("otra%1.mdb").arg(serial_));
        storetest::makeBook(other, {});
        run = storetest::runTool(withUser({"sync", other, server}, passwordFile));
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(
            run.err.contains("--address-book") &&
                run.err.contains("Personal  " + fresh.bookUrl("personal").toString().toUtf8()) &&
                run.err.contains("Trabajo"),
            run.err.constData());
        run = storetest::runTool(
            withUser({"sync", other, server, "--address-book", "trabajo"}, passwordFile));
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QVERIFY2(run.out.contains("Nada que sincronizar"), run.out.constData());
        url_ = fresh.bookUrl("trabajo");
        QCOMPARE(storetest::readBook(other).size(), std::size_t(0));

        // Basic authentication over plain http, off loopback: refused.
        run = storetest::runTool({"sync", other, "http://agenda.example.invalid/", "--user", "ana",
                                  "--password-file", passwordFile});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("sin cifrar") && run.err.contains("--allow-http"),
                 run.err.constData());
    }

    // A sync killed at each of its steps, then run again: both sides end
    // equal, nothing doubled or lost.
    void killedMidwayThenRunAgain_data() {
        QTest::addColumn<QString>("point");
        for (const char* p : {"reserved", "writing", "put", "server-done", "before-commit"})
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
        std::optional<DavCard> ana = cardOf("Ana");
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
        child.start(ORV_SYNC_CHILD, {book_, url_.toString(), server_.user(), point});
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

    // The book's writes (the sqlite3 shell, another process) land at random
    // moments while a sync runs, some of them through a slow server: nothing
    // is lost on either side. Each contact's number is appended to, never
    // overwritten, so whatever is lost shows; a delete must not win over the
    // server's change unless it deleted the version that carried it.
    void writesAtRandomMomentsLoseNothing() {
        if (server_.xandikos()) QSKIP("radicale is enough for the race");
        std::mt19937 random(20261208);
        constexpr int kTries = 40, kContacts = 12;
        rt::FaultProxy proxy(url_.port());
        proxy.delayMs = 40;
        int span = 200;  // ms over which the writes spread: about one sync
        int kept = 0, deletedThen = 0;
        for (int t = 0; t < kTries; ++t) {
            url_ = server_.bookUrl(QStringLiteral("azar%1").arg(t));
            QVERIFY(!CardDavClient(dav()).createAddressBook("Azar").failed());
            book_ = dir_.filePath(QStringLiteral("azar%1.mdb").arg(t));
            std::vector<Contact> start;
            for (int i = 0; i < kContacts; ++i)
                start.push_back(contact({storetest::numbered("P", i),
                                         {},
                                         {},
                                         {},
                                         storetest::numbered("T", i),
                                         storetest::numbered("e", i)}));
            storetest::makeBook(book_, start);
            QVERIFY(sync().complete());

            // The phone's side: some numbers changed on the server.
            std::vector<bool> there(kContacts);
            CardDavClient client(dav());
            for (const DavCard& c : serverCards()) {
                const std::string nombre = *contactFromCard(c.vcard.toStdString())[kNombre];
                const int i = std::stoi(nombre.substr(1));
                if (!(there[i] = random() % 2)) continue;
                const std::string card =
                    mergeVCard(c.vcard.toStdString(), {{"TEL", storetest::numbered("S", i)}});
                QVERIFY(client.put(c.href, QByteArray::fromStdString(card), c.etag).ok());
            }
            // The book's side, at random moments while the sync runs.
            enum What { Nothing, Delete, Phone, Mail };
            std::vector<What> here(kContacts);
            std::vector<std::unique_ptr<QProcess>> writers;
            std::size_t started = 0;
            for (int i = 0; i < kContacts; ++i) {
                here[i] = static_cast<What>(random() % 4);
                const QString who = QString::number(i + 1);  // its Codigo
                const QString sql =
                    here[i] == Delete  ? "DELETE FROM Registros WHERE Codigo = " + who
                    : here[i] == Phone ? "UPDATE Registros SET Telefono = Telefono || ' B" +
                                             QString::number(i) + "' WHERE Codigo = " + who
                    : here[i] == Mail ? "UPDATE Registros SET \"e-mail\" = \"e-mail\" || ' b" +
                                            QString::number(i) + "' WHERE Codigo = " + who
                                      : QString();
                if (sql.isEmpty()) continue;
                writers.push_back(std::make_unique<QProcess>());
                QProcess* w = writers.back().get();
                QTimer::singleShot(static_cast<int>(random() % span), [this, w, sql, &started] {
                    w->start("sqlite3", {"-cmd", ".timeout 20000", book_, sql});
                    ++started;
                });
            }
            const bool slow = t % 4 == 3;
            QElapsedTimer clock;
            clock.start();
            const SyncReport first = syncAt(slow ? proxy.url(url_) : url_);
            if (!slow) span = std::max(50, static_cast<int>(clock.elapsed()));
            QTRY_COMPARE_WITH_TIMEOUT(started, writers.size(), 5000);
            for (auto& w : writers) {
                if (w->state() != QProcess::NotRunning) QVERIFY(w->waitForFinished(20000));
                QCOMPARE(w->exitCode(), 0);
            }
            QVERIFY2(first.complete(), first.fatal.c_str());
            const SyncReport second = sync();
            QVERIFY2(second.complete(), second.fatal.c_str());
            expectNothingToDo();
            QVERIFY(bookSide() == serverSide());

            // Every change on one side or the other, or both, is there.
            std::vector<std::string> conflicts = first.conflicts;
            conflicts.insert(conflicts.end(), second.conflicts.begin(), second.conflicts.end());
            auto db = Database::open(book_.toStdString());
            for (int i = 0; i < kContacts; ++i) {
                const std::string n = std::to_string(i);
                std::optional<Contact> now;
                for (const Contact& c : storetest::readBook(book_))
                    if (c[kNombre] == "P" + n) now = c;
                if (here[i] == Delete) {
                    // Which version the delete took away.
                    bool oldVersion = false;
                    for (const auto& e : history::entries(db->handle(), i + 1))
                        if (e.tipo == "baja") oldVersion = e.before[kTelefono] == "T" + n;
                    const bool mustStay = there[i] && oldVersion;
                    QVERIFY2(now.has_value() == mustStay, ("P" + n).c_str());
                    kept += mustStay;
                    deletedThen += there[i] && !oldVersion;
                    if (!now) continue;
                }
                QVERIFY2(now, ("P" + n).c_str());
                const std::string all = now->at(kTelefono).value_or("") + "|" +
                                        now->at(kEmail).value_or("") + "|" +
                                        now->at(kMasInfo).value_or("");
                const auto has = [&](const std::string& what) {
                    return all.find(what) != std::string::npos;
                };
                QVERIFY2(!there[i] || has("S" + n), all.c_str());
                QVERIFY2(here[i] != Phone || has("B" + n), all.c_str());
                QVERIFY2(here[i] != Mail || has("b" + n), all.c_str());
                if (has("Conflicto")) {
                    bool named = false;
                    for (const std::string& line : conflicts)
                        named = named || line.rfind("P" + n + ":", 0) == 0;
                    QVERIFY2(named, all.c_str());
                }
            }
        }
        qInfo("%d deletes kept against the server's change, %d deleted after it came", kept,
              deletedThen);
    }
};

// Every test against each server in turn.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int failed = 0;
    for (const QString& kind : rt::davServers()) {
        qInfo("---- %s", qPrintable(kind));
        TestSync test(kind);
        failed += QTest::qExec(&test, argc, argv);
    }
    return failed;
}
#include "tst_sync.moc"
