// The multistatus reader on canned answers: what it takes from each
// response, what it leaves, and the answers it refuses, read whole and one
// byte at a time (a server's answer arrives in pieces of any size).

#include <QTest>

#include "sync/davxml.h"

using namespace orv::sync;
using namespace orv::sync::detail;

namespace {

// One response a line: "href status etag type card flags", "-" for none.
QString summary(const DavResponse& r) {
    auto or_ = [](const QString& s) { return s.isEmpty() ? QStringLiteral("-") : s; };
    QStringList flags;
    if (r.cardTooLarge) flags << "grande";
    if (r.collection) flags << "carpeta";
    if (r.addressBook) flags << "libreta";
    if (!r.displayName.isEmpty()) flags << "nombre=" + r.displayName;
    if (!r.principal.isEmpty()) flags << "principal=" + r.principal;
    if (!r.home.isEmpty()) flags << "casa=" + r.home;
    if (!r.reports.isEmpty()) flags << "informes=" + r.reports.join(',');
    return QStringList{or_(r.href),
                       QString::number(r.status),
                       or_(r.etag),
                       or_(r.contentType),
                       r.addressData ? QString::fromUtf8(*r.addressData) : "-",
                       flags.isEmpty() ? "-" : flags.join(',')}
        .join(' ');
}

struct Outcome {
    QStringList responses;
    QString token, error;
};

Outcome read(const QByteArray& xml, const DavLimits& limits, qsizetype piece) {
    Outcome o;
    MultistatusReader reader(limits, [&](DavResponse& r) {
        o.responses << summary(r);
        return true;
    });
    bool ok = true;
    for (qsizetype at = 0; ok && at < xml.size(); at += piece)
        ok = reader.feed(xml.constData() + at, std::min(piece, xml.size() - at));
    if (ok) reader.finish();
    o.token = reader.syncToken();
    o.error = reader.error();
    return o;
}

const QByteArray kHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

QByteArray multistatus(const QByteArray& inside) {
    return kHead + "<d:multistatus xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:carddav\">" +
           inside + "</d:multistatus>";
}

QByteArray response(const QByteArray& href, const QByteArray& props,
                    const QByteArray& status = "HTTP/1.1 200 OK") {
    return "<d:response><d:href>" + href + "</d:href><d:propstat><d:prop>" + props +
           "</d:prop><d:status>" + status + "</d:status></d:propstat></d:response>";
}

}  // namespace

class TestDavXml : public QObject {
    Q_OBJECT

  private slots:
    void answers_data() {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<int>("cardBytes");  // 0: the default limits
        QTest::addColumn<QStringList>("responses");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("error");  // part of the message; empty: read

        const QByteArray etag = "<d:getetag>\"e1\"</d:getetag>";
        QTest::newRow("a listing with its token")
            << multistatus(
                   response("/ab/1.vcf", etag + "<d:getcontenttype>text/vcard</d:getcontenttype>") +
                   response(" /ab/2.vcf\n", "<d:getetag>\"e2\"</d:getetag>") +
                   "<d:sync-token>http://x/ns/sync/7</d:sync-token>")
            << 0 << QStringList{"/ab/1.vcf 0 \"e1\" text/vcard - -", "/ab/2.vcf 0 \"e2\" - - -"}
            << "http://x/ns/sync/7"
            << "";
        QTest::newRow("a 404 propstat brings nothing")
            << multistatus(
                   "<d:response><d:href>/ab/1.vcf</d:href>"
                   "<d:propstat><d:prop>" +
                   etag +
                   "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat>"
                   "<d:propstat><d:prop><d:displayname>X</d:displayname><d:getcontenttype>a</"
                   "d:getcontenttype>"
                   "</d:prop><d:status>HTTP/1.1 404 Not Found</d:status></d:propstat></d:response>")
            << 0 << QStringList{"/ab/1.vcf 0 \"e1\" - - -"} << ""
            << "";
        QTest::newRow("a deleted member: the response's own status")
            << multistatus(
                   "<d:response><d:href>/ab/3.vcf</d:href><d:status>HTTP/1.1 404 Not "
                   "Found</d:status>"
                   "</d:response>")
            << 0 << QStringList{"/ab/3.vcf 404 - - - -"} << ""
            << "";
        QTest::newRow("a card's text: entities, CDATA, CR as &#13;")
            << multistatus(response("/ab/1.vcf", etag +
                                                     "<c:address-data>BEGIN:VCARD&#13;\nFN:A &amp; "
                                                     "<![CDATA[<B>]]>\nEND:VCARD</c:address-data>"))
            << 0 << QStringList{"/ab/1.vcf 0 \"e1\" - BEGIN:VCARD\r\nFN:A & <B>\nEND:VCARD -"} << ""
            << "";
        QTest::newRow("a card past its limit is marked, the next one read")
            << multistatus(response("/ab/1.vcf", "<c:address-data>" + QByteArray(17, 'x') +
                                                     "</c:address-data>") +
                           response("/ab/2.vcf", "<c:address-data>corta</c:address-data>"))
            << 16 << QStringList{"/ab/1.vcf 0 - - - grande", "/ab/2.vcf 0 - - corta -"} << ""
            << "";
        QTest::newRow("any prefix, the default namespace, foreign elements")
            << kHead +
                   "<multistatus xmlns=\"DAV:\" xmlns:x=\"urn:x\"><x:otro><response/></x:otro>"
                   "<response><href>/ab/1.vcf</href><propstat><prop><x:getetag>no</x:getetag>"
                   "<getetag>\"e1\"</getetag></prop><status>HTTP/1.1 200 OK</status>"
                   "<x:status>HTTP/1.1 404 No</x:status></propstat>"
                   "</response></multistatus>"
            << 0 << QStringList{"/ab/1.vcf 0 \"e1\" - - -"} << ""
            << "";
        QTest::newRow("discovery: kinds, names, principal, home, reports")
            << multistatus(response("/ab/", "<d:resourcetype><d:collection/><c:addressbook/></d:resourcetype>"
                                            "<d:displayname>Libreta</d:displayname>"
                                            "<d:current-user-principal><d:href>/ana/</d:href><d:href>/otra/</d:href>"
                                            "</d:current-user-principal>"
                                            "<c:addressbook-home-set><d:href>/casa/</d:href></c:addressbook-home-set>"
                                            "<d:supported-report-set><d:supported-report><d:report><d:sync-collection/>"
                                            "</d:report></d:supported-report></d:supported-report-set>"))
            << 0
            << QStringList{"/ab/ 0 - - - carpeta,libreta,nombre=Libreta,principal=/ana/,casa=/casa/,"
                           "informes=sync-collection"}
            << "" << "";
        QTest::newRow("not a multistatus")
            << kHead + "<d:error xmlns:d=\"DAV:\"/>" << 0 << QStringList{} << ""
            << "no es un multistatus";
        QTest::newRow("malformed")
            << multistatus("<d:response><d:href>/a</d:response>") << 0 << QStringList{} << ""
            << "mal formado";
        QTest::newRow("cut short")
            << kHead + "<d:multistatus xmlns:d=\"DAV:\"><d:response>" << 0 << QStringList{} << ""
            << "termina antes de tiempo";
        QTest::newRow("empty") << QByteArray() << 0 << QStringList{} << ""
                               << "vacía";
        QTest::newRow("a DTD")
            << kHead + "<!DOCTYPE d [<!ENTITY a \"b\">]><d:multistatus xmlns:d=\"DAV:\"/>" << 0
            << QStringList{} << ""
            << "DTD";
        QTest::newRow("nested past the limit")
            << multistatus(QByteArray("<a>").repeated(70) + QByteArray("</a>").repeated(70)) << 0
            << QStringList{} << ""
            << "anida más de 64";
        QTest::newRow("a field past its limit")
            << multistatus(
                   response("/ab/1.vcf", "<d:getetag>" + QByteArray(5000, 'e') + "</d:getetag>"))
            << 0 << QStringList{} << ""
            << "un campo de la respuesta pasa de 4 KiB";
    }

    void answers() {
        QFETCH(QByteArray, xml);
        QFETCH(int, cardBytes);
        QFETCH(QStringList, responses);
        QFETCH(QString, token);
        QFETCH(QString, error);
        DavLimits limits;
        if (cardBytes) limits.cardBytes = cardBytes;
        for (qsizetype piece : {xml.size() + 1, qsizetype(1), qsizetype(7)}) {
            const Outcome o = read(xml, limits, piece);
            QVERIFY2(error.isEmpty() ? o.error.isEmpty() : o.error.contains(error),
                     qPrintable(QString::number(piece) + ": " + o.error));
            if (!error.isEmpty()) continue;
            QCOMPARE(o.responses, responses);
            QCOMPARE(o.token, token);
        }
    }

    // What the guard lets through to the XML reader: text past its limit
    // ends in a mark, entities and UTF-8 characters are never cut, a tag past
    // its limit stops the reading. Whole and in pieces alike.
    void guardKeepsTheReaderBounded_data() {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QByteArray>("seen");  // empty: refused
        const QByteArray mark = "<?orv-elided?>";
        QTest::newRow("text within its limit")
            << QByteArray("<a x='>'>12345678</a>") << QByteArray("<a x='>'>12345678</a>");
        QTest::newRow("text past its limit") << "<a>" + QByteArray(50, 'x') + "</a><b>1</b>"
                                             << "<a>" + QByteArray(10, 'x') + mark + "</a><b>1</b>";
        QTest::newRow("an entity at the edge")
            << QByteArray("<a>12345678&amp;9</a>") << "<a>12345678" + mark + "</a>";
        QTest::newRow("a character at the edge")
            << QByteArray("<a>123456789\xc3\xb1</a>") << "<a>123456789" + mark + "</a>";
        QTest::newRow("CDATA past its limit")
            << "<a><![CDATA[" + QByteArray(20, 'c') + "]]></a>"
            << "<a><![CDATA[" + QByteArray(10, 'c') + "]]>" + mark + "</a>";
        QTest::newRow("a tag past its limit")
            << "<a b=\"" + QByteArray(40, 'b') + "\"/>" << QByteArray();
        QTest::newRow("a tag that never ends") << "<a " + QByteArray(40, 'b') << QByteArray();
    }
    void guardKeepsTheReaderBounded() {
        QFETCH(QByteArray, xml);
        QFETCH(QByteArray, seen);
        for (qsizetype piece : {xml.size() + 1, qsizetype(1), qsizetype(7)}) {
            XmlGuard guard(10, 32);
            QByteArray out;
            bool ok = true;
            for (qsizetype at = 0; ok && at < xml.size(); at += piece)
                ok = guard.pass(xml.constData() + at, std::min(piece, xml.size() - at), out);
            QCOMPARE(ok ? out : QByteArray(), seen);
        }
    }

    // A response the caller refuses stops the reading with its reason.
    void stopsWhereTheCallerSays() {
        DavLimits limits;
        int seen = 0;
        MultistatusReader reader(limits, [&](DavResponse&) { return ++seen < 2; });
        reader.stopReason = "demasiadas";
        const QByteArray xml =
            multistatus(response("/1", "") + response("/2", "") + response("/3", ""));
        QVERIFY(!reader.feed(xml.constData(), xml.size()) || !reader.finish());
        QCOMPARE(seen, 2);
        QCOMPARE(reader.error(), "demasiadas");
    }
};

QTEST_GUILESS_MAIN(TestDavXml)
#include "tst_davxml.moc"
