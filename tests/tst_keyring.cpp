// The desktop's keyring, on a D-Bus session and GNOME keyring of the test's
// own (tests/keyring/run.sh): passwords kept, found, replaced and forgotten
// through sync/keyring.h as the Secret Service itself sees them, and
// orvane-db sync --save-password, then later syncs taking the password from
// there, as the timer's do.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "support/radicale.h"
#include "support/storetest.h"
#include "sync/carddav.h"
#include "sync/keyring.h"
#include "sync/trust.h"

using namespace orv::sync;

namespace {

// What secret-tool, another client of the Secret Service, finds.
QByteArray lookedUp(const QString& server, const QString& user) {
    QProcess p;
    p.start("secret-tool", {"lookup", "server", server, "user", user});
    p.waitForFinished(20000);
    return p.readAllStandardOutput();
}

storetest::Run syncRun(const QStringList& args, const QByteArray& bus = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("ORVANE_CARDDAV_PASSWORD");
    if (!bus.isEmpty()) env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
    return storetest::runTool(args, env);
}

}  // namespace

class TestKeyring : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

  private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("no D-Bus session: run through tests/keyring/run.sh");
    }

    void keptFoundReplacedForgotten() {
        const std::string server = "https://dav.example.invalid:443";
        QVERIFY(!keyring::find(server, "ana").password);
        QCOMPARE(keyring::store(server, "ana", "primera ñ"), std::string());
        QCOMPARE(keyring::store(server, "luis", "de luis"), std::string());
        QCOMPARE(keyring::find(server, "ana").password, std::optional<std::string>("primera ñ"));
        QCOMPARE(lookedUp(QString::fromStdString(server), "ana"), QByteArray("primera ñ"));
        QCOMPARE(keyring::store(server, "ana", "segunda"), std::string());
        QCOMPARE(keyring::find(server, "ana").password, std::optional<std::string>("segunda"));
        QCOMPARE(keyring::forget(server, "ana"), std::string());
        QVERIFY(!keyring::find(server, "ana").password);
        QCOMPARE(keyring::find(server, "luis").password, std::optional<std::string>("de luis"));
        QVERIFY(!keyring::find("https://otro.invalid:443", "luis").password);
    }

    // --save-password keeps the password the server took; later syncs with
    // neither file nor variable take it from the keyring; a wrong one kept
    // there is said so, and replaced the same way. Without a keyring, the
    // message says how to give the password.
    void theSyncTakesThePasswordFromTheKeyring() {
        rt::Radicale server;
        const QString why = server.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const QUrl url = server.url("/ana/libreta/");
        QVERIFY(!CardDavClient({url, rt::kUser, rt::kPassword, {}, 10000, 100})
                     .createAddressBook("Libreta")
                     .failed());
        const QString book = dir_.filePath("orv.mdb"), file = dir_.filePath("clave");
        storetest::makeBook(book, {storetest::contact({"Ana"})});
        storetest::writeFile(file, rt::kPassword.toUtf8() + "\n");

        storetest::Run run = syncRun({"sync", book, url.toString(), "--user", rt::kUser,
                                      "--password-file", file, "--save-password"});
        QVERIFY2(run.exitCode == 0 && run.out.contains("guardada en el llavero"),
                 run.err.constData());
        const std::string origin = originOf(url).toStdString();
        QCOMPARE(keyring::find(origin, "ana").password,
                 std::optional<std::string>(rt::kPassword.toStdString()));

        run = syncRun({"sync", book});
        QVERIFY2(run.exitCode == 0 && run.out.contains("Nada que sincronizar"),
                 run.err.constData());

        QCOMPARE(keyring::store(origin, "ana", "mala"), std::string());
        run = syncRun({"sync", book});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("no acepta el usuario ana"), run.err.constData());
        run = syncRun({"sync", book, "--password-file", file, "--save-password"});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QCOMPARE(lookedUp(QString::fromStdString(origin), "ana"), rt::kPassword.toUtf8());

        run = syncRun({"sync", book}, "unix:path=" + dir_.filePath("no-hay-bus").toUtf8());
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("--save-password") && run.err.contains("llavero del escritorio"),
                 run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestKeyring)
#include "tst_keyring.moc"
