// The sync against a CardDAV server made to harm (radicale behind a proxy
// that turns its answers hostile, tests/support/hostile.h), one fault at a
// time: foreign addresses, redirects to another port, deep XML, a gigabyte,
// a million cards, a trickle, endless parts, cards outside the address
// book, escape sequences, and the password's corners. For each: no request
// to another origin, memory and time bounded, a Spanish message, the book
// untouched or changed only by what was sound.

#include <sys/prctl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <sstream>

#include "store/sql.h"
#include "support/hostile.h"
#include "support/storetest.h"
#include "sync/engine.h"
#include "sync/mapping.h"
#include "tools/orvane-db/sync.h"

using namespace orv;
using namespace orv::sync;
using rt::Hostile;
using storetest::contact;

Q_DECLARE_METATYPE(rt::Hostile)

namespace {

// A change made by another program.
void change(const QString& book, const char* text) {
    sql::exec(Database::open(book.toStdString())->handle(), text);
}

struct ToolRun {
    int exitCode = -1;
    QByteArray out, err;
    double seconds = 0;
    qint64 peakKiB = -1;  // -1 when GNU time is missing
};

bool hasRaw(const QByteArray& text) {
    for (const char* raw : {"\x1b", "\x07", "\xc2\x9b", "\xe2\x80\xae"})
        if (text.contains(raw)) return true;
    return false;
}

}  // namespace

class TestDavHostile : public QObject {
    Q_OBJECT

    rt::HostileServer server_;
    QTemporaryDir dir_;
    int serial_ = 0;
    QString bookPath_;  // this test's address book, "/ana/abN/"
    QString book_;      // and its contact book

    CardDavOptions dav(const QUrl& url) const {
        return {url, rt::kUser, rt::kPassword, {}, 3000, 100};
    }

    SyncReport sync(const DavLimits& limits = {}) {
        auto db = Database::open(book_.toStdString());
        SyncOptions o;
        o.dav = dav(server_.url(bookPath_));
        o.dav.limits = limits;
        return syncBook(db->handle(), o);
    }

    void putCard(const QString& uid, const Contact& c, const std::string& extra = {}) {
        CardDavClient client(dav(server_.direct(bookPath_)));
        std::string text = cardFromContact(c, uid.toStdString());
        text.insert(text.rfind("END:VCARD"), extra);
        const DavResult<QString> put =
            client.put(client.hrefForUid(uid), QByteArray::fromStdString(text), {});
        QVERIFY2(put.ok(), qPrintable(put.error.message));
    }

    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const Contact& c : storetest::readBook(book_)) out.push_back(c[kNombre].value_or(""));
        std::sort(out.begin(), out.end());
        return out;
    }

    // orvane-db as a user runs it, under GNU time for its peak memory, while
    // this process's event loop serves the proxy.
    ToolRun tool(const QStringList& args) {
        ToolRun r;
        const QString timeFile = dir_.filePath("time");
        QFile::remove(timeFile);
        const bool timed = QFile::exists("/usr/bin/time");
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVANE_CARDDAV_PASSWORD", rt::kPassword);
        env.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        p.setProcessEnvironment(env);
        QEventLoop loop;
        QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        if (timed)
            p.start("/usr/bin/time", QStringList{"-f", "%M", "-o", timeFile, ORV_DB_TOOL} + args);
        else
            p.start(ORV_DB_TOOL, args);
        loop.exec();
        r.seconds = clock.elapsed() / 1000.0;
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        if (timed)
            r.peakKiB = storetest::fileBytes(timeFile).trimmed().split('\n').last().toLongLong();
        return r;
    }

    void expectNothingElsewhere() {
        QCOMPARE(server_.requestsElsewhere(), 0);
        QCOMPARE(server_.passwordsElsewhere(), 0);
    }

  private slots:
    void initTestCase() {
        const QString why = server_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }

    // A new address book with two cards, and a new book with two contacts.
    void init() {
        server_.setMode(Hostile::None);
        server_.forget();
        bookPath_ = QStringLiteral("/ana/ab%1/").arg(++serial_);
        const DavError made =
            CardDavClient(dav(server_.direct(bookPath_))).createAddressBook("Libreta");
        QVERIFY2(!made.failed(), qPrintable(made.message));
        putCard("zoe", contact({"Zoe"}));
        putCard("yago", contact({"Yago"}));
        book_ = dir_.filePath(QStringLiteral("orv%1.mdb").arg(serial_));
        storetest::makeBook(book_, {contact({"Ana", {}, {}, {}, "600"}), contact({"Luis"})});
    }

    void cleanup() { server_.setMode(Hostile::None); }

    // 1. Cards listed on another origin are neither fetched nor written:
    // the book's own contacts go up to the address book's origin, and an
    // edit and a delete later go there too.
    void foreignHrefsAreNeverFollowed() {
        server_.setMode(Hostile::ForeignHrefs);
        SyncReport r = sync();
        QVERIFY2(r.fatal.empty(), r.fatal.c_str());
        QCOMPARE(r.leftOut.size(), std::size_t(2));
        QVERIFY2(r.leftOut[0].find("127.0.0.2") != std::string::npos &&
                     r.leftOut[0].find("fuera de la libreta") != std::string::npos,
                 r.leftOut[0].c_str());
        QCOMPARE(names(), (std::vector<std::string>{"Ana", "Luis"}));
        change(book_,
               "UPDATE Registros SET Telefono = '611' WHERE Nombre = 'Ana';"
               "DELETE FROM Registros WHERE Nombre = 'Luis'");
        r = sync();
        QVERIFY2(r.fatal.empty(), r.fatal.c_str());
        expectNothingElsewhere();
    }

    // 1. Discovery that points at another origin is refused, naming both;
    // the same address given by the user is used.
    void foreignDiscoveryIsRefused() {
        server_.setMode(Hostile::ForeignHome);
        book_ += ".nuevo";
        storetest::makeBook(book_, {});
        ToolRun run = tool({"sync", book_, server_.url("/").toString(), "--user", rt::kUser});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("lleva a otro servidor") && run.err.contains("127.0.0.2") &&
                     run.err.contains(server_.url("/").host().toUtf8()),
                 run.err.constData());
        expectNothingElsewhere();
        server_.setMode(Hostile::None);
        run = tool({"sync", book_, server_.elsewhere(bookPath_).toString(), "--user", rt::kUser,
                    "--allow-http"});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QVERIFY(server_.requestsElsewhere() > 0);
    }

    // 2. A redirect to another port of the same host is not followed.
    void redirectToAnotherPortIsRefused() {
        server_.setMode(Hostile::RedirectPort);
        book_ += ".nuevo";
        storetest::makeBook(book_, {});
        const ToolRun run = tool({"sync", book_, server_.url("/").toString(), "--user", rt::kUser});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("lleva a otro servidor") &&
                     run.err.contains(server_.otherPort("/").authority().toUtf8()),
                 run.err.constData());
        expectNothingElsewhere();
    }

    // 3, 4, 5. Answers made to crash, exhaust or hold the sync: each ends
    // it with a message naming its limit, in bounded time, the book as it was.
    void hostileAnswersStopTheSync_data() {
        QTest::addColumn<Hostile>("mode");
        QTest::addColumn<QString>("says");
        QTest::newRow("deep XML") << Hostile::DeepXml << "anida más de 64 elementos";
        QTest::newRow("a trickle") << Hostile::Trickle << "no ha terminado de responder";
        QTest::newRow("endless parts") << Hostile::Endless507 << "en más de 50 partes";
    }
    void hostileAnswersStopTheSync() {
        QFETCH(Hostile, mode);
        QFETCH(QString, says);
        QVERIFY(sync().complete());
        change(book_, "UPDATE Registros SET Telefono = '611' WHERE Nombre = 'Ana'");
        const QByteArray before = storetest::fileBytes(book_);
        const int requests = server_.proxy().requests();
        server_.setMode(mode, bookPath_);
        DavLimits limits;
        limits.requestMs = 1500;
        limits.rounds = 50;
        QElapsedTimer clock;
        clock.start();
        const SyncReport r = sync(limits);
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(QString::fromStdString(r.fatal).contains(says), r.fatal.c_str());
        QCOMPARE(storetest::fileBytes(book_), before);
        QVERIFY(server_.proxy().requests() - requests <= 55);
        expectNothingElsewhere();
    }

    // 4. A gigabyte, and a million cards: refused at their limits, in a
    // process that stays under 200 MiB, the book as it was.
    void hugeAnswersStayBounded_data() {
        QTest::addColumn<Hostile>("mode");
        QTest::addColumn<QString>("says");
        QTest::newRow("1 GiB") << Hostile::HugeAnswer << "pasa de 64 MiB";
        QTest::newRow("1,000,000 cards") << Hostile::MillionHrefs << "más de 100000 tarjetas";
    }
    void hugeAnswersStayBounded() {
        QFETCH(Hostile, mode);
        QFETCH(QString, says);
        QVERIFY(sync().complete());
        const QByteArray before = storetest::fileBytes(book_);
        server_.setMode(mode, bookPath_);
        const int requests = server_.proxy().requests();
        const ToolRun run = tool({"sync", book_});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
        QVERIFY2(run.seconds < 60, qPrintable(QString::number(run.seconds)));
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps what was freed
        if (run.peakKiB >= 0)
            QVERIFY2(run.peakKiB < 200 * 1024, qPrintable(QString::number(run.peakKiB)));
#endif
        qInfo("%s: %.1f s, peak %lld KiB", QTest::currentDataTag(), run.seconds, run.peakKiB);
        QVERIFY(server_.proxy().requests() - requests <= 3);
        QCOMPARE(storetest::fileBytes(book_), before);
        expectNothingElsewhere();
    }

    // 4. Cards larger than the limit are left out and named; the rest comes in.
    void tooLargeCardsAreLeftOut() {
        const std::string note = "NOTE:" + std::string(300000, 'x') + "\r\n";
        putCard("grande1", contact({"Grande"}), note);
        putCard("grande2", contact({"Enorme"}), note);
        DavLimits limits;
        limits.cardBytes = 64 << 10;
        const SyncReport r = sync(limits);
        QVERIFY2(r.fatal.empty(), r.fatal.c_str());
        QCOMPARE(r.leftOut.size(), std::size_t(2));
        QVERIFY2(r.leftOut[0].find("pasa de 64 KiB") != std::string::npos, r.leftOut[0].c_str());
        QCOMPARE(names(), (std::vector<std::string>{"Ana", "Luis", "Yago", "Zoe"}));
        QVERIFY(QFileInfo(book_).size() < 1 << 20);
    }

    // 6. Cards listed outside the address book are neither stored nor written.
    void outsideHrefsAreNeverWritten() {
        server_.setMode(Hostile::OutsideHrefs, bookPath_);
        SyncReport r = sync();
        QVERIFY2(r.fatal.empty(), r.fatal.c_str());
        QCOMPARE(r.leftOut.size(), std::size_t(2));
        QCOMPARE(names(), (std::vector<std::string>{"Ana", "Luis", "Yago", "Zoe"}));
        change(book_, "UPDATE Registros SET Telefono = '1'");
        r = sync();
        QVERIFY2(r.fatal.empty(), r.fatal.c_str());
        for (const rt::ProxiedRequest& q : server_.proxy().log())
            QVERIFY2(!q.path.contains("other") && !q.body.contains("other"), q.path.constData());
        expectNothingElsewhere();
    }

    // 7. Nothing from the server reaches the terminal raw: a reason phrase
    // with escape sequences, address-book names with C1 controls and a
    // right-to-left override.
    void serverTextReachesTheTerminalEscaped() {
        QVERIFY(sync().complete());
        server_.setMode(Hostile::Escapes);
        ToolRun run = tool({"sync", book_});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(!hasRaw(run.err) && run.err.contains("\\x1B]0;pwned\\x07"), run.err.constData());
        server_.setMode(Hostile::None);
        for (const char* name : {"Casa\xc2\x85\xc2\x9b", "Trabajo\xe2\x80\xaegpj.exe"}) {
            CardDavClient client(dav(server_.direct(
                QStringLiteral("/ana/n%1-%2/").arg(serial_).arg(qHash(QByteArray(name))))));
            QVERIFY(!client.createAddressBook(QString::fromUtf8(name)).failed());
        }
        book_ += ".nuevo";
        storetest::makeBook(book_, {});
        run = tool({"sync", book_, server_.url("/").toString(), "--user", rt::kUser});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(!hasRaw(run.err) && run.err.contains("Casa\\u0085\\u009B") &&
                     run.err.contains("Trabajo\\u202Egpj.exe"),
                 run.err.constData());
    }

    // 9. Trust on first use, as ssh does: a certificate no authority of this
    // machine signed stops the sync with its fingerprint and nothing sent;
    // accepted by it, it is remembered; another one later stops the sync
    // showing both, even signed by an authority; one signed by the CA given
    // with --ca-file needs nothing remembered.
    void certificatesAreTrustedOnFirstUse() {
        rt::FaultProxy tls(server_.direct("/").port(), true);
        QVERIFY2(tls.error().isEmpty(), qPrintable(tls.error()));
        const QStringList args = {"sync", book_, tls.url(server_.direct(bookPath_)).toString(),
                                  "--user", rt::kUser};
        const QString first = rt::opensslFingerprint(tls.certFile());
        QVERIFY(!first.isEmpty());
        ToolRun run = tool(args);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(("huella SHA-256: " + first).toUtf8()) &&
                     run.err.contains("firmado por él mismo") && run.err.contains("--fingerprint"),
                 run.err.constData());
        QCOMPARE(tls.requests(), 0);  // nothing sent, the password least of all
        run = tool(args + QStringList{"--fingerprint", QString(64, '0')});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("no es la de este certificado"), run.err.constData());
        run = tool(args + QStringList{"--fingerprint", first.toLower().remove(':')});
        QVERIFY2(run.exitCode == 0 && run.err.contains("certificado aceptado"),
                 run.err.constData());
        const QString store = dir_.filePath("config/orvane/certificados");
        QVERIFY(storetest::fileBytes(store).contains(first.toUtf8()));
        QCOMPARE(QFileInfo(store).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        run = tool({"sync", book_});
        QVERIFY2(run.exitCode == 0, run.err.constData());

        QTemporaryDir other;
        QVERIFY(rt::makeCertificate(other.path()).isEmpty());
        QVERIFY(
            tls.setCertificate(other.filePath("cert.pem"), other.filePath("key.pem")).isEmpty());
        const QString second = rt::opensslFingerprint(other.filePath("cert.pem"));
        const int requests = tls.requests();
        run = tool({"sync", book_});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("ha cambiado") && run.err.contains(first.toUtf8()) &&
                     run.err.contains(second.toUtf8()),
                 run.err.constData());
        QCOMPARE(tls.requests(), requests);
        run = tool({"sync", book_, "--fingerprint", second});
        QVERIFY2(run.exitCode == 0, run.err.constData());

        QTemporaryDir ca;
        QVERIFY(rt::makeAuthority(ca.path()).isEmpty());
        QVERIFY(rt::makeSignedCertificate(ca.path(), ca.path()).isEmpty());
        QVERIFY(tls.setCertificate(ca.filePath("cert.pem"), ca.filePath("key.pem")).isEmpty());
        const QString third = rt::opensslFingerprint(ca.filePath("cert.pem"));
        // The client on its own refuses it too while another one is accepted.
        {
            auto db = Database::open(book_.toStdString());
            SyncOptions o;
            o.dav = dav(tls.url(server_.direct(bookPath_)));
            o.dav.caFile = ca.filePath("ca.pem");
            o.dav.pinnedFingerprint = second;
            const SyncReport r = syncBook(db->handle(), o);
            QVERIFY2(r.fatal.find("no es el que se aceptó") != std::string::npos, r.fatal.c_str());
        }
        const QString withCa = ca.filePath("ca.pem");
        run = tool({"sync", book_, "--ca-file", withCa});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(second.toUtf8()) && run.err.contains(third.toUtf8()),
                 run.err.constData());
        run = tool({"sync", book_, "--ca-file", withCa, "--fingerprint", third});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QVERIFY(!storetest::fileBytes(store).contains(QByteArray::number(tls.port())));
        run = tool({"sync", book_, "--ca-file", withCa});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        expectNothingElsewhere();
    }

    // 8. The password's corners: never taken from, nor echoed with, an
    // address; a password file others may read, or of another user, is
    // refused; the process is not dumpable once it may hold one.
    void thePasswordStaysOutOfCorners() {
        const QString secret = "clave-secreta-1";
        for (const QString& url :
             {"https://ana:" + secret + "@bad host/ab/",
              "http://ana%3A" + secret + "@127.0.0.1/ab/", "ana:" + secret + "@127.0.0.1/ab/"}) {
            const ToolRun run = tool({"sync", book_, url});
            QCOMPARE(run.exitCode, 2);
            QVERIFY2(
                !run.err.contains(secret.toUtf8()) && run.err.contains("usuario o una contraseña"),
                run.err.constData());
        }
        const QString file = dir_.filePath("clave");
        storetest::writeFile(file, secret.toUtf8());
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        const QStringList args = {"sync",   book_,     server_.url(bookPath_).toString(),
                                  "--user", rt::kUser, "--password-file",
                                  file};
        ToolRun run = tool(args);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("0604") && run.err.contains("chmod 600"), run.err.constData());
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
        if (::geteuid() == 0) {
            QVERIFY(::chown(QFile::encodeName(file).constData(), 65534, 65534) == 0);
            run = tool(args);
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains("de otro usuario"), run.err.constData());
        }
        // In this process: the command makes it undumpable before anything else.
        std::ostringstream out, err;
        QCOMPARE(::prctl(PR_GET_DUMPABLE), 1);
        try {
            db::syncCommand({{book_.toStdString(), "http://127.0.0.1:1/"}, {}}, {out, err});
        } catch (const std::exception&) {
        }
        QCOMPARE(::prctl(PR_GET_DUMPABLE), 0);
    }
};

QTEST_GUILESS_MAIN(TestDavHostile)
#include "tst_davhostile.moc"
