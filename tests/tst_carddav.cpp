// The CardDAV client against a real server (Debian's radicale on a loopback
// port, a temporary storage folder and password file), against small fake
// servers for the faults radicale does not show.

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

#include "support/radicale.h"
#include "support/rows.h"
#include "sync/carddav.h"

using namespace orv::sync;

namespace {

using rt::freePort;
using rt::kPassword;
using rt::kUser;
using rt::Radicale;
using rt::unfolded;

// A loopback server that answers every request with the same bytes; with
// none it keeps silent, with "close" it hangs up.
class CannedServer {
  public:
    explicit CannedServer(QByteArray answer) : answer_(std::move(answer)) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    s->readAll();
                    if (answer_ == "close") {
                        s->abort();
                    } else if (!answer_.isEmpty()) {
                        s->write(answer_);
                        s->disconnectFromHost();
                    }
                });
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }
    void setAnswer(QByteArray answer) { answer_ = std::move(answer); }

  private:
    QByteArray answer_;
    QTcpServer server_;
};

QByteArray card(const QString& uid, const QString& name, const QString& tel) {
    return QStringLiteral(
               "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:%1\r\nFN:%2\r\nN:;%2;;;\r\nTEL:%3\r\nEND:"
               "VCARD\r\n")
        .arg(uid, name, tel)
        .toUtf8();
}

}  // namespace

class TestCardDav : public QObject {
    Q_OBJECT

    Radicale server_;

    CardDavOptions options(const QString& path = "/ana/libreta/") const {
        return {server_.url(path), kUser, kPassword, {}, 10000, 2};
    }

  private slots:
    void initTestCase() {
        const QString why = server_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        CardDavClient client(options());
        DavError made = client.createAddressBook("Libreta");
        QVERIFY2(!made.failed(), qPrintable(made.message));
        DavResult<Listing> empty = client.list();
        QVERIFY2(empty.ok(), qPrintable(empty.error.message));
        QVERIFY(empty.value.cards.empty());
        QVERIFY(!empty.value.syncToken.isEmpty());
        QVERIFY(empty.value.syncCollection);
        QVERIFY(empty.value.multiget);
    }

    // New cards, listing, the incremental listing from a token, multiget,
    // conditional update and delete, and the fallbacks for tokens.
    void cardsTravelBothWays() {
        CardDavClient client(options());
        QHash<QString, QString> etags;
        for (const QString uid : {"uno", "dos", "tres"}) {
            const QString href = client.hrefForUid(uid);
            DavResult<QString> put =
                client.put(href, card(uid, "Persona " + uid, "91 000 00 0" + uid), {});
            QVERIFY2(put.ok(), qPrintable(put.error.message));
            QVERIFY(!put.value.isEmpty());
            etags[href] = put.value;
        }
        // A second "new" card at the same address is refused, not overwritten.
        DavResult<QString> again =
            client.put(client.hrefForUid("uno"), card("uno", "Otra", "1"), {});
        QCOMPARE(again.error.kind, DavErrorKind::PreconditionFailed);

        qint64 listed = 0;
        DavResult<Listing> all = client.list([&](qint64 done, qint64) { listed = done; });
        QVERIFY2(all.ok(), qPrintable(all.error.message));
        QCOMPARE(all.value.cards.size(), std::size_t(3));
        QVERIFY(listed > 0);
        for (const CardInfo& c : all.value.cards) QCOMPARE(c.etag, etags.value(c.href));

        DavResult<Changes> none = client.changesSince(all.value.syncToken);
        QVERIFY2(none.ok(), qPrintable(none.error.message));
        QVERIFY(!none.value.full && none.value.changed.empty() && none.value.removed.isEmpty());
        QCOMPARE(none.value.syncToken, all.value.syncToken);

        const QString uno = client.hrefForUid("uno"), dos = client.hrefForUid("dos"),
                      tres = client.hrefForUid("tres"), cuatro = client.hrefForUid("cuatro");
        DavResult<QString> updated =
            client.put(uno, card("uno", "Persona uno", "600 111 222"), etags[uno]);
        QVERIFY2(updated.ok(), qPrintable(updated.error.message));
        QVERIFY(updated.value != etags[uno]);
        // The etag the update replaced is stale now, for writing and deleting.
        QCOMPARE(client.put(uno, card("uno", "X", "1"), etags[uno]).error.kind,
                 DavErrorKind::PreconditionFailed);
        QCOMPARE(client.remove(uno, etags[uno]).kind, DavErrorKind::PreconditionFailed);
        QVERIFY(!client.remove(dos, etags[dos]).failed());
        QVERIFY(client.put(cuatro, card("cuatro", "Persona cuatro", "4"), {}).ok());

        DavResult<Changes> changes = client.changesSince(all.value.syncToken);
        QVERIFY2(changes.ok(), qPrintable(changes.error.message));
        QVERIFY(!changes.value.full);
        QStringList changed;
        for (const CardInfo& c : changes.value.changed) changed << c.href;
        changed.sort();
        QCOMPARE(changed, QStringList({cuatro, uno}));
        QCOMPARE(changes.value.removed, QStringList{dos});
        QVERIFY(changes.value.syncToken != all.value.syncToken);

        // Three cards in batches of two, and one that is gone.
        QList<qint64> progress;
        DavResult<Fetched> got =
            client.fetch({uno, tres, cuatro, dos}, [&](qint64 done, qint64) { progress << done; });
        QVERIFY2(got.ok(), qPrintable(got.error.message));
        QCOMPARE(progress, QList<qint64>({2, 4}));
        QCOMPARE(got.value.missing, QStringList{dos});
        QCOMPARE(got.value.cards.size(), std::size_t(3));
        for (const DavCard& c : got.value.cards) {
            if (c.href == uno) {
                QCOMPARE(c.etag, updated.value);
                QVERIFY(unfolded(c.vcard).contains("TEL:600 111 222"));
            }
        }

        // A token the server does not know, and none: the whole collection.
        for (const QString& token :
             {QStringLiteral("http://radicale.org/ns/sync/nada"), QString()}) {
            DavResult<Changes> full = client.changesSince(token);
            QVERIFY2(full.ok(), qPrintable(full.error.message));
            QVERIFY(full.value.full);
            QCOMPARE(full.value.changed.size(), std::size_t(3));
            QCOMPARE(full.value.syncToken, changes.value.syncToken);
        }
    }

    void faultsHaveAKindAndASpanishMessage_data() {
        QTest::addColumn<QString>("server");  // radicale, down or canned
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<DavErrorKind>("kind");
        QTest::addColumn<QString>("says");

        QTest::newRow("wrong password")
            << "radicale"
            << "/ana/libreta/"
            << "malo" << QByteArray() << DavErrorKind::Authentication << "contraseña";
        QTest::newRow("wrong address")
            << "radicale"
            << "/ana/nada/" << kPassword << QByteArray() << DavErrorKind::NotFound << "No existe";
        QTest::newRow("a folder, no address book") << "radicale"
                                                   << "/ana/" << kPassword << QByteArray()
                                                   << DavErrorKind::NotFound << "no es una libreta";
        QTest::newRow("server down")
            << "down"
            << "/" << kPassword << QByteArray() << DavErrorKind::ServerDown << "conexión rechazada";
        QTest::newRow("silent server")
            << "canned"
            << "/" << kPassword << QByteArray() << DavErrorKind::Timeout << "no ha respondido";
        QTest::newRow("hangs up") << "canned"
                                  << "/" << kPassword << QByteArray("close")
                                  << DavErrorKind::Network << "cortado";
        QTest::newRow("server error")
            << "canned"
            << "/" << kPassword
            << QByteArray("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")
            << DavErrorKind::ServerError << "503";
        QTest::newRow("a web page")
            << "canned"
            << "/" << kPassword
            << QByteArray(
                   "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 6\r\n\r\n<html>")
            << DavErrorKind::Protocol << "no es una libreta";
        QTest::newRow("unreadable multistatus")
            << "canned"
            << "/" << kPassword
            << QByteArray("HTTP/1.1 207 Multi-Status\r\nContent-Length: 14\r\n\r\n<d:multistatus")
            << DavErrorKind::Protocol << "el documento XML termina antes de tiempo";
        // Taken once for a written card: the connection broke before the end
        // of the answer's headers.
        QTest::newRow("cut inside the headers")
            << "canned"
            << "/" << kPassword << QByteArray("HTTP/1.1 201 Created\r\nETag: \"1\"\r\nConten")
            << DavErrorKind::Network << "cortado";
    }
    void faultsHaveAKindAndASpanishMessage() {
        QFETCH(QString, server);
        QFETCH(QString, path);
        QFETCH(QString, password);
        QFETCH(QByteArray, answer);
        QFETCH(DavErrorKind, kind);
        QFETCH(QString, says);

        std::unique_ptr<CannedServer> canned;
        CardDavOptions o = options(path);
        o.password = password;
        o.timeoutMs = 500;
        if (server == "down") {
            o.collection.setPort(freePort());
        } else if (server == "canned") {
            canned = std::make_unique<CannedServer>(answer);
            o.collection.setPort(canned->port());
        }
        CardDavClient client(o);
        const DavResult<Listing> got = client.list();
        QCOMPARE(got.error.kind, kind);
        QVERIFY2(got.error.message.contains(says), qPrintable(got.error.message));
        QVERIFY(!got.error.message.contains(password));
        // Qt's own English never reaches the user.
        for (const char* english : {"Premature", "Connection", "closed", "server", "Unknown"})
            QVERIFY2(!got.error.message.contains(english), qPrintable(got.error.message));
        // Writes report the same way as the listing.
        if (server != "radicale" ? kind != DavErrorKind::Protocol : path == "/ana/libreta/")
            QCOMPARE(client.put(client.hrefForUid("x"), card("x", "X", "1"), {}).error.kind, kind);
    }

    // A server without sync-collection is listed by PROPFIND, whatever way
    // it spells hrefs, skipping what is no card; an href elsewhere (another
    // port, outside the collection, walking out of it) is refused and named.
    void withoutSyncTokensCardsAreListedByEtag() {
        CannedServer server({});
        const QByteArray origin = "http://127.0.0.1:" + QByteArray::number(server.port());
        auto card = [](const QByteArray& href) {
            return "<response><href>" + href +
                   "</href><propstat><prop><getetag>\"1\"</getetag><getcontenttype>text/vcard; "
                   "charset=utf-8</getcontenttype></prop><status>HTTP/1.1 200 OK</status>"
                   "</propstat><propstat><prop><sync-token/></prop>"
                   "<status>HTTP/1.1 404 Not Found</status></propstat></response>";
        };
        const QList<QByteArray> elsewhere = {"http://127.0.0.1/libreta/otro-puerto.vcf",
                                             "/otra/c0.vcf", "/libreta/../otra/c1.vcf",
                                             "/libreta/%2e%2E/otra/c2.vcf", "/libreta/x%2Fy.vcf"};
        QByteArray xml =
            "<?xml version='1.0'?><multistatus xmlns='DAV:' "
            "xmlns:C='urn:ietf:params:xml:ns:carddav'>"
            "<response><href>/libreta/</href><propstat><prop><resourcetype><collection/>"
            "<C:addressbook/></resourcetype><supported-report-set><supported-report><report>"
            "<C:addressbook-multiget/></report></supported-report></supported-report-set></prop>"
            "<status>HTTP/1.1 200 OK</status></propstat></response>" +
            card(origin + "/libreta/a%20b.vcf") +
            "<response><href>/libreta/sub/</href><propstat><prop><resourcetype><collection/>"
            "</resourcetype></prop><status>HTTP/1.1 200 OK</status></propstat></response>"
            "<response><href>/libreta/foto.jpg</href><propstat><prop><getetag>\"2\"</getetag>"
            "<getcontenttype>image/jpeg</getcontenttype></prop><status>HTTP/1.1 200 OK</status>"
            "</propstat></response>";
        for (const QByteArray& href : elsewhere) xml += card(href);
        xml += "</multistatus>";
        server.setAnswer(
            "HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\n"
            "Content-Length: " +
            QByteArray::number(xml.size()) + "\r\n\r\n" + xml);
        CardDavOptions o = options("/libreta");
        o.collection.setPort(server.port());
        CardDavClient client(o);
        DavResult<Listing> got = client.list();
        QVERIFY2(got.ok(), qPrintable(got.error.message));
        QVERIFY(!got.value.syncCollection && got.value.multiget && got.value.syncToken.isEmpty());
        QCOMPARE(got.value.cards.size(), std::size_t(1));
        QCOMPARE(got.value.cards[0].href, "/libreta/a%20b.vcf");
        QCOMPARE(got.value.cards[0].etag, "\"1\"");
        QCOMPARE(got.value.refused.size(), elsewhere.size());
        // And none of them is ever written.
        for (const QByteArray& href : elsewhere) {
            const DavError e = client.remove(QString::fromUtf8(href), "\"1\"");
            QVERIFY2(e.message.contains("no es una tarjeta de la libreta"), qPrintable(e.message));
        }
    }

    // A server's href is a path of a card directly in the collection, on its
    // origin; anything else is none.
    void hrefsArePathsOnTheCollectionsOrigin_data() {
        // An empty path: refused.
        testrows::texts({"href", "path"},
                        {{"a path", "/libreta/a.vcf", "/libreta/a.vcf"},
                         {"relative", "a.vcf", "/libreta/a.vcf"},
                         {"full address, as spelt", "http://127.0.0.1:8080/libreta/a%20b.vcf",
                          "/libreta/a%20b.vcf"},
                         {"scheme and host in capitals", "HTTP://127.0.0.1:8080/libreta/a.vcf",
                          "/libreta/a.vcf"},
                         {"another port", "http://127.0.0.1/libreta/a.vcf", ""},
                         {"https", "https://127.0.0.1:8080/libreta/a.vcf", ""},
                         {"another host", "http://127.0.0.2:8080/libreta/a.vcf", ""},
                         {"no scheme, another host", "//127.0.0.2:8080/libreta/a.vcf", ""},
                         {"another folder", "/otra/a.vcf", ""},
                         {"walking out", "/libreta/../otra/a.vcf", ""},
                         {"walking out, encoded", "/libreta/%2e%2E/otra/a.vcf", ""},
                         {"an encoded slash", "/libreta/a%2Fb.vcf", ""},
                         {"dots inside a name", "/libreta/a..b.vcf", "/libreta/a..b.vcf"},
                         {"the parent, as a name", "/libreta/..", ""},
                         {"an encoded backslash", "/libreta/a%5Cb.vcf", ""},
                         {"deeper", "/libreta/sub/a.vcf", ""},
                         {"the collection itself", "/libreta/", ""},
                         {"a query", "/libreta/a.vcf?x=1", ""}});
    }
    void hrefsArePathsOnTheCollectionsOrigin() {
        QFETCH(QString, href);
        QFETCH(QString, path);
        const CardDavClient client({QUrl("http://127.0.0.1:8080/libreta"), {}, {}, {}, 1000, 10});
        QCOMPARE(client.memberPath(href).value_or(QString()), path);
    }

    // xandikos lists its reports without the <report> wrapper: sync tokens
    // and multiget are still seen.
    void reportsWithOrWithoutTheirWrapper_data() {
        QTest::addColumn<QByteArray>("reports");
        QTest::newRow("wrapped") << QByteArray(
            "<supported-report><report><sync-collection/></report></supported-report>"
            "<supported-report><report><C:addressbook-multiget/></report></supported-report>");
        QTest::newRow("unwrapped") << QByteArray(
            "<supported-report><sync-collection/></supported-report>"
            "<supported-report><C:addressbook-multiget/></supported-report>");
    }
    void reportsWithOrWithoutTheirWrapper() {
        QFETCH(QByteArray, reports);
        const QByteArray xml =
            "<?xml version='1.0'?><multistatus xmlns='DAV:' "
            "xmlns:C='urn:ietf:params:xml:ns:carddav'><response><href>/libreta/</href><propstat>"
            "<prop><resourcetype><collection/><C:addressbook/></resourcetype>"
            "<supported-report-set>" +
            reports +
            "</supported-report-set><sync-token>t1</sync-token></prop>"
            "<status>HTTP/1.1 200 OK</status></propstat></response></multistatus>";
        CannedServer server(
            "HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\n"
            "Content-Length: " +
            QByteArray::number(xml.size()) + "\r\n\r\n" + xml);
        CardDavOptions o = options("/libreta/");
        o.collection.setPort(server.port());
        DavResult<Listing> got = CardDavClient(o).list();
        QVERIFY2(got.ok(), qPrintable(got.error.message));
        QVERIFY(got.value.syncCollection && got.value.multiget);
    }

    // HTTPS: a certificate the system does not trust is refused, and trusted
    // once its CA file is given; an unreadable CA file is said so.
    void httpsTrustsOnlyWhatItIsTold() {
        Radicale tls(true);
        const QString why = tls.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        CardDavOptions o{tls.url("/ana/segura/"), kUser, kPassword, {}, 10000, 100};

        DavResult<Listing> refused = CardDavClient(o).list();
        QCOMPARE(refused.error.kind, DavErrorKind::Tls);
        QVERIFY2(refused.error.message.contains("firmado por él mismo"),
                 qPrintable(refused.error.message));

        o.caFile = tls.certFile();
        o.collection = tls.url("/ana/segura/");
        CardDavClient trusted(o);
        DavError made = trusted.createAddressBook("Segura");
        QVERIFY2(!made.failed(), qPrintable(made.message));
        DavResult<Listing> listed = trusted.list();
        QVERIFY2(listed.ok(), qPrintable(listed.error.message));

        o.caFile = QDir::temp().filePath("no-existe-orvane.pem");
        DavResult<Listing> noFile = CardDavClient(o).list();
        QCOMPARE(noFile.error.kind, DavErrorKind::Tls);
        QVERIFY(noFile.error.message.contains("no-existe-orvane.pem"));
    }
};

QTEST_GUILESS_MAIN(TestCardDav)
#include "tst_carddav.moc"
