// The sync window against a real radicale, on a D-Bus session and GNOME
// keyring of the test's own (tests/keyring/run.sh): the address books found
// and chosen, the first sync with its report and the password kept in the
// keyring, the certificate question, the guard's question with its numbers,
// Cancelar part way through an upload, and the timer through a stand-in
// systemctl. Driven by keys, the questions answered through the message
// seam; ORV_SHOT_DIR keeps pictures of the window.

#include <sqlite3.h>
#include <sys/stat.h>

#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "support/radicale.h"
#include "support/rows.h"
#include "support/storetest.h"
#include "support/uitest.h"
#include "sync/carddav.h"
#include "sync/engine.h"
#include "sync/keyring.h"
#include "sync/trust.h"
#include "ui/desk/desk.h"
#include "ui/desk/frmsincronizar.h"
#include "ui/desk/syncing.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;
namespace ut = orv::uitest;
namespace st = storetest;
using desk::frmsincronizar;
using State = frmsincronizar::State;

namespace {

constexpr int kWait = 60000;  // a sync on a busy machine

State stateOf(Form* f) {
    return static_cast<frmsincronizar*>(f)->state();
}

QString status(Form* f) {
    return ut::child<QLabel>(f, "lblEstado")->text();
}

QString defaultOf(Form* f) {
    QPushButton* b = static_cast<desk::DeskForm*>(f)->defaultButton();
    return b ? b->objectName() : QString();
}

// Types into a box as a user does: the focus there, the text replaced.
void fill(Form* f, const char* box, const QString& text) {
    auto* edit = ut::child<QLineEdit>(f, box);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

orv::sync::CardDavOptions dav(const QUrl& url) {
    return {url, rt::kUser, rt::kPassword, {}, 10000, 100};
}

int cardsOn(const QUrl& url) {
    return int(orv::sync::CardDavClient(dav(url)).list().value.cards.size());
}

std::vector<orv::Contact> people(int n) {
    std::vector<orv::Contact> out;
    for (int i = 0; i < n; ++i)
        out.push_back(st::contact({QStringLiteral("Socio%1").arg(i).toStdString()}));
    return out;
}

}  // namespace

class TestDeskSync : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    QTemporaryDir tools;
    QString book;
    rt::Radicale server;
    int serial = 0;

    // A new address book on the server, with its display name.
    QUrl addressBook(const QString& name) {
        const QUrl url = server.url(QStringLiteral("/ana/%1%2/").arg(name.toLower()).arg(++serial));
        [&] { QVERIFY(!orv::sync::CardDavClient(dav(url)).createAddressBook(name).failed()); }();
        return url;
    }

    // The book synced once with `url` (as orvane-db would), the password kept.
    void syncedWith(const QUrl& url) {
        auto db = orv::Database::open(book.toStdString());
        orv::sync::SyncOptions o;
        o.dav = dav(url);
        QVERIFY(orv::sync::syncBook(db->handle(), o).complete());
        QCOMPARE(orv::sync::keyring::store(orv::sync::originOf(url).toStdString(), "ana",
                                           rt::kPassword.toStdString()),
                 std::string());
    }

    // A stand-in systemctl first on the PATH: it logs its arguments, keeps
    // the timer's state in a file, and answers as a machine with no user
    // session when a file "sin-sesion" is beside it.
    void fakeSystemctl() {
        const QString script = tools.filePath("systemctl");
        st::writeFile(script, QStringLiteral(R"(#!/bin/sh
d=%1
echo "$*" >> "$d/log"
[ "$2" = show-environment ] && [ -e "$d/sin-sesion" ] && exit 1
case "$2" in
  is-enabled) [ -e "$d/enabled" ] && { echo enabled; exit 0; }; echo disabled; exit 1;;
  enable) touch "$d/enabled";;
  disable) rm -f "$d/enabled";;
esac
exit 0
)")
                                  .arg(tools.path())
                                  .toUtf8());
        QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }

    // As the window is opened again from the desktop, on the same book.
    void reopen() {
        ut::cleanupWindows();
        ut::initWindows();
        AppPathSeam::set(dir->path());
    }

  private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("no D-Bus session: run through tests/keyring/run.sh");
        ut::useDesktopFontFromEnvironment();
        const QString why = server.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        fakeSystemctl();
        qputenv("PATH", tools.path().toUtf8() + ":" + qgetenv("PATH"));
        desk::setSyncToolForTests(ORV_DB_TOOL);
    }
    void init() {
        ut::initWindows();
        initAssets();
        desk::registerDeskWindows();
        book = ut::makeBookFolder(dir);
        QVERIFY(!book.isEmpty());
        QFile::remove(tools.filePath("log"));
        QFile::remove(tools.filePath("enabled"));
        QFile::remove(tools.filePath("sin-sesion"));
    }
    void cleanup() { ut::cleanupWindows(); }

    // The server's address, user and password; Enter finds the address
    // books, the arrow chooses one, Enter syncs it: the report, the password
    // kept in the keyring and gone from its box. Opened again, the window
    // knows the address book, the password comes from the keyring, and
    // Enter syncs again.
    void findChooseAndSync() {
        st::makeBook(book, {st::contact({"Ana", "Ruiz"}), st::contact({"Luis", "Gil"})});
        const QUrl personal = addressBook("Personal"), trabajo = addressBook("Trabajo");
        Form* f = ut::showStartup("frmsincronizar");
        QVERIFY(f);
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(f);
        QCOMPARE(a->role(), QAccessible::Window);
        QCOMPARE(a->text(QAccessible::Name), QString("Sincronización"));
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        QCOMPARE(ut::child<QLabel>(f, "lblUltima")->text(),
                 QString("Esta agenda no se ha sincronizado nunca."));
        QCOMPARE(defaultOf(f), QString("cbBuscar"));
        fill(f, "txtServidor", server.url("/").toString());
        fill(f, "txtUsuario", rt::kUser);
        fill(f, "txtClave", rt::kPassword);
        ut::shot(f, "sincronizar-datos");
        ut::key(f, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Found, kWait);
        auto* list = ut::child<QTreeWidget>(f, "lstLibretas");
        QVERIFY2(list->topLevelItemCount() >= 2, qPrintable(status(f)));
        QVERIFY(list->hasFocus());
        QCOMPARE(defaultOf(f), QString("cbSincronizar"));
        QTreeWidgetItem* work = list->findItems("Trabajo", Qt::MatchExactly).value(0);
        QVERIFY(work);
        while (list->currentItem() != work) ut::key(f, Qt::Key_Down);
        ut::shot(f, "sincronizar-libretas");
        ut::key(f, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Synced, kWait);
        QVERIFY2(status(f).startsWith("Sincronización completa: 2 subidos al servidor."),
                 qPrintable(status(f)));
        QVERIFY(status(f).contains("guardada en el llavero"));
        QVERIFY(ut::child<QPlainTextEdit>(f, "txtInforme")
                    ->toPlainText()
                    .startsWith("Subidos al servidor: 2\n  "));
        QCOMPARE(ut::child<QLineEdit>(f, "txtClave")->text(), QString());
        QVERIFY(ut::child<QLabel>(f, "lblUltima")->text().startsWith("Última sincronización: "));
        QCOMPARE(defaultOf(f), QString("cbCerrar"));
        QCOMPARE(cardsOn(trabajo), 2);
        QCOMPARE(cardsOn(personal), 0);
        QCOMPARE(
            orv::sync::keyring::find(orv::sync::originOf(trabajo).toStdString(), "ana").password,
            std::optional<std::string>(rt::kPassword.toStdString()));
        ut::shot(f, "sincronizar-hecho");
        QVERIFY(MsgBoxSeam::log().isEmpty());
        ut::key(f, Qt::Key_Return);  // Cerrar
        QCOMPARE(ut::programEnds(), QList<int>{0});

        reopen();
        f = ut::showStartup("frmsincronizar");
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        QCOMPARE(ut::child<QLineEdit>(f, "txtUsuario")->text(), rt::kUser);
        QCOMPARE(ut::child<QLineEdit>(f, "txtClave")->placeholderText(),
                 QString("guardada en el llavero"));
        QCOMPARE(defaultOf(f), QString("cbSincronizar"));
        ut::key(f, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Synced, kWait);
        QVERIFY2(status(f).startsWith("Nada que sincronizar"), qPrintable(status(f)));
    }

    // A server whose certificate no system trusts: its fingerprint and a
    // question whose Enter answer is No; Yes remembers it where orvane-db
    // looks, and the address books are found.
    void certificateQuestion() {
        rt::Radicale tls(true);
        const QString why = tls.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        st::makeBook(book, {});
        Form* f = ut::showStartup("frmsincronizar");
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        fill(f, "txtServidor", tls.url("/").toString());
        fill(f, "txtUsuario", rt::kUser);
        fill(f, "txtClave", rt::kPassword);
        MsgBoxSeam::queueAnswer(vbNo);
        ut::key(f, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Failed, kWait);
        QCOMPARE(MsgBoxSeam::log().size(), 1);
        const MsgBoxSeam::Record asked = MsgBoxSeam::log()[0];
        QCOMPARE(asked.style, vbYesNo + vbDefaultButton2);
        const QString fingerprint = rt::opensslFingerprint(tls.certFile());
        QVERIFY(!fingerprint.isEmpty());
        QVERIFY2(asked.prompt.contains("no lo reconoce este equipo") &&
                     asked.prompt.contains("Huella SHA-256: " + fingerprint) &&
                     asked.prompt.endsWith("Acepta este certificado y lo recuerda para " +
                                           orv::sync::originOf(tls.url("/")) + "?"),
                 qPrintable(asked.prompt));
        QCOMPARE(status(f), QString("Certificado no aceptado: no se ha sincronizado."));
        QCOMPARE(orv::sync::TrustStore().accepted(tls.url("/")), QString());

        MsgBoxSeam::queueAnswer(vbYes);
        ut::key(f, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(stateOf(f) == State::Found || stateOf(f) == State::Failed, kWait);
        QCOMPARE(MsgBoxSeam::log().size(), 2);
        QCOMPARE(orv::sync::TrustStore().accepted(tls.url("/")), fingerprint);
        // Radicale has no address book for ana yet: found none, said so.
        QVERIFY2(status(f).contains("ninguna libreta"), qPrintable(status(f)));
    }

    // Every card deleted on the server: the guard's question with its
    // numbers, No as the Enter answer; No leaves both sides, Yes goes on.
    void guardQuestion() {
        const QUrl url = addressBook("Libreta");
        st::makeBook(book, people(12));
        syncedWith(url);
        orv::sync::CardDavClient c(dav(url));
        for (const auto& card : c.list().value.cards) QVERIFY(!c.remove(card.href, {}).failed());
        Form* f = ut::showStartup("frmsincronizar");
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        MsgBoxSeam::queueAnswer(vbNo);
        ut::key(f, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Failed, kWait);
        QCOMPARE(MsgBoxSeam::log().size(), 1);
        QCOMPARE(MsgBoxSeam::log()[0].style, vbYesNo + vbDefaultButton2);
        QCOMPARE(MsgBoxSeam::log()[0].prompt,
                 QString("Esta sincronización borraría 12 contactos de los 12 de esta agenda (la "
                         "libreta del servidor se ha vaciado o sustituido). Todavía no se ha "
                         "cambiado nada en ningún lado. Borrarlos de todos modos?"));
        QCOMPARE(st::readBook(book).size(), std::size_t(12));
        MsgBoxSeam::queueAnswer(vbYes);
        ut::key(f, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(stateOf(f) != State::Syncing, kWait);
        QVERIFY2(status(f).startsWith("Sincronización completa: 12 borrados en esta agenda."),
                 qPrintable(status(f)));
        QCOMPARE(st::readBook(book).size(), std::size_t(0));
    }

    // Esc while the contacts go up: it stops between two cards, what went
    // up stays recorded, and the next sync sends the rest once. Esc before
    // anything is written changes nothing.
    void cancelPartWay() {
        const QUrl url = addressBook("Libreta");
        st::makeBook(book, people(1));
        syncedWith(url);
        {
            auto db = orv::Database::open(book.toStdString());
            QCOMPARE(sqlite3_exec(db->handle(),
                                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                  "WHERE i < 299) INSERT INTO Registros (Nombre) SELECT 'Nuevo' "
                                  "|| i FROM n",
                                  nullptr, nullptr, nullptr),
                     SQLITE_OK);
        }
        Form* f = ut::showStartup("frmsincronizar");
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        ut::key(f, Qt::Key_Return);
        auto* line = ut::child<QLabel>(f, "lblProgreso");
        QTRY_VERIFY_WITH_TIMEOUT(line->text().startsWith("Enviando cambios: "), kWait);
        QCOMPARE(ut::child<QPushButton>(f, "cbCerrar")->text(), QString("Cancelar"));
        QVERIFY(!ut::child<QLineEdit>(f, "txtServidor")->isEnabled());
        ut::shot(f, "sincronizar-progreso");
        ut::key(f, Qt::Key_Escape);
        QTRY_VERIFY_WITH_TIMEOUT(stateOf(f) != State::Syncing, kWait);
        QCOMPARE(stateOf(f), State::Synced);
        QVERIFY2(status(f).startsWith("Sincronización cancelada a medias"), qPrintable(status(f)));
        const int sent = cardsOn(url);
        QVERIFY2(sent > 1 && sent < 300, qPrintable(QString::number(sent)));

        ut::click(ut::child<QPushButton>(f, "cbSincronizar"));
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Synced, kWait);
        QVERIFY2(status(f).startsWith("Sincronización completa: ") &&
                     status(f).contains(
                         QString(" subidos al servidor").prepend(QString::number(300 - sent))),
                 qPrintable(status(f)));
        QCOMPARE(cardsOn(url), 300);

        ut::click(ut::child<QPushButton>(f, "cbSincronizar"));
        ut::key(f, Qt::Key_Escape);
        QTRY_VERIFY_WITH_TIMEOUT(stateOf(f) != State::Syncing, kWait);
        QCOMPARE(status(f), QString("Cancelado: no se ha cambiado nada en ningún lado."));
    }

    // "Sincronizar cada 15 minutos": both units written for the owner alone,
    // running the installed orvane-db on this book, and the timer enabled;
    // without a user session of systemd, the reason in Spanish.
    void timer() {
        const QUrl url = addressBook("Libreta");
        st::makeBook(book, people(2));
        syncedWith(url);
        Form* f = ut::showStartup("frmsincronizar");
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        auto* box = ut::child<QCheckBox>(f, "chkCada15");
        QVERIFY(!box->isChecked());
        box->setFocus();
        ut::key(f, Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        QVERIFY2(box->isChecked(), qPrintable(status(f)));
        QVERIFY(MsgBoxSeam::log().isEmpty());
        const QString units = qEnvironmentVariable("XDG_CONFIG_HOME") + "/systemd/user/";
        const QByteArray service = st::fileBytes(units + "orvane-sync.service");
        QVERIFY2(service.contains("\nExecStart=" + QByteArray(ORV_DB_TOOL) + " sync " +
                                  QFileInfo(book).canonicalFilePath().toUtf8() + "\n"),
                 service.constData());
        QVERIFY(st::fileBytes(units + "orvane-sync.timer").contains("OnCalendar=*:0/15\n"));
        struct stat sb {};
        QCOMPARE(::stat(QFile::encodeName(units + "orvane-sync.timer").constData(), &sb), 0);
        QCOMPARE(sb.st_mode & 0777, 0600u);
        const QByteArray log = st::fileBytes(tools.filePath("log"));
        QVERIFY2(log.contains("--user daemon-reload\n--user enable --now orvane-sync.timer\n"),
                 log.constData());
        QVERIFY(status(f).contains("cada 15 minutos"));

        ut::key(f, Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        QVERIFY(!box->isChecked());
        QVERIFY(st::fileBytes(tools.filePath("log")).contains("--user disable --now"));

        st::writeFile(tools.filePath("sin-sesion"), "");
        reopen();
        f = ut::showStartup("frmsincronizar");
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f), State::Ready, kWait);
        box = ut::child<QCheckBox>(f, "chkCada15");
        MsgBoxSeam::queueAnswer(vbOK);
        box->setFocus();
        ut::key(f, Qt::Key_Space);
        QCOMPARE(MsgBoxSeam::prompts(),
                 QStringList{"No se puede sincronizar cada 15 minutos: este escritorio no tiene "
                             "una sesión de systemd del usuario (systemctl --user no responde). "
                             "Sincronice con «Sincronizar ahora» cuando quiera."});
        QVERIFY(!box->isChecked());
    }

    // Addresses refused before anything is sent.
    void addresses_data() {
        testrows::texts(
            {"address", "user", "problem"},
            {{"empty", "", "ana", "Escriba la dirección del servidor."},
             {"password in it", "https://ana:x@dav.example.org/", "ana",
              "La dirección lleva un usuario o una contraseña, que nunca van en ella: quítelos y "
              "escriba el usuario en su casilla."},
             {"clear text", "http://dav.example.org/", "ana",
              "La contraseña de ana viajaría sin cifrar a dav.example.org: use una dirección "
              "https://."},
             {"other scheme", "ftp://dav.example.org/", "",
              "Dirección no válida: ftp://dav.example.org/ (debe empezar por https:// o http://)."},
             {"no scheme: https", "dav.example.org", "ana", ""},
             {"loopback in clear", "http://127.0.0.1:5232/", "ana", ""}});
    }
    void addresses() {
        QFETCH(QString, address);
        QFETCH(QString, user);
        QFETCH(QString, problem);
        QCOMPARE(desk::addressProblem(address, user), problem);
    }
};

QTEST_MAIN(TestDeskSync)
#include "tst_desksync.moc"
