// The sync's decisions without a server: what becomes of one contact given
// the book, the last synced state and the server's card; the guard's count
// of what they would delete; which cards are groups; how a changed field is
// written into the server's card.

#include <QTest>

#include "exchange/vcardmerge.h"
#include "sync/decide.h"
#include "sync/mapping.h"

using namespace orv;
using namespace orv::sync;
using orv::exchange::MappedProperty;
using orv::exchange::mergeVCard;

Q_DECLARE_METATYPE(std::vector<MappedProperty>)
Q_DECLARE_METATYPE(DavErrorKind)

namespace {

// "Nombre|Telefono|e-mail|Mas info|Fecha|Localidad": "~" or a field left
// out is null, "" an empty text; an empty string is no contact at all.
std::optional<Contact> contact(const QString& s) {
    if (s.isEmpty()) return std::nullopt;
    Contact c;
    const std::size_t cols[] = {kNombre, kTelefono, kEmail, kMasInfo, kFecha, kLocalidad};
    const QStringList parts = s.split('|');
    for (qsizetype i = 0; i < parts.size() && i < 6; ++i)
        if (parts[i] != "~") c[cols[i]] = parts[i].toStdString();
    return c;
}

QString shown(const std::optional<Contact>& c) {
    if (!c) return {};
    QStringList parts;
    for (std::size_t col = kNombre; col < kColumnCount; ++col)
        parts << QString::fromStdString((*c)[col].value_or("~"));
    return parts.join('|');
}

const char* opName(Item::Op op) {
    switch (op) {
        case Item::Op::None:
            return "none";
        case Item::Op::Put:
            return "put";
        case Item::Op::PutNew:
            return "new";
        case Item::Op::Delete:
            return "delete";
    }
    return "?";
}

// An item as the engine hands it to decide(): `base` implies a link; a
// linked contact without base is a reserved upload; `server` "=" is the base
// left unfetched (deleted here, unchanged there).
Item itemOf(const QString& base, const QString& book, const QString& server, bool linked) {
    Item it;
    it.uid = "uid-1";
    it.href = "/ab/uid-1.vcf";
    it.base = contact(base);
    if (it.base || linked) it.link = Link{7, it.uid, it.href, "\"e1\"", std::nullopt, std::nullopt};
    if (it.base) it.link->synced = serialize(*it.base);
    it.book = contact(book);
    if (it.book) (*it.book)[kCodigo] = std::string("7");
    if (server == "=") {
        it.serverUnchanged = true;
    } else if (auto s = contact(server)) {
        const std::string text = cardFromContact(*s, it.uid);
        it.server = ServerCard{text, "\"e2\"", contactFromCard(text)};
    }
    return it;
}

}  // namespace

class TestDecide : public QObject {
    Q_OBJECT

  private slots:
    void decisions_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("book");
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("linked");
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>(
            "result");  // Nombre|Apellido|...|Fecha, all ten columns but Codigo
        QTest::addColumn<bool>("bookWrite");
        QTest::addColumn<bool>("news");
        QTest::addColumn<QString>("conflicts");
        QTest::addColumn<bool>("kept");

        const QString ana1 = "Ana|~|~|~|1|~|~|~|~", ana2 = "Ana|~|~|~|2|~|~|~|~";
        // clang-format off
        QTest::newRow("gone from both") << "Ana|1" << "" << "" << true << "none" << "" << false << false << "" << false;
        QTest::newRow("new here") << "" << "Ana|1" << "" << false << "new" << ana1 << false << false << "" << false;
        QTest::newRow("new there") << "" << "" << "Ana|1" << false << "none" << ana1 << true << true << "" << false;
        QTest::newRow("unchanged on both") << "Ana|1" << "Ana|1" << "Ana|1" << true << "none" << ana1 << false << false << "" << false;
        QTest::newRow("changed here") << "Ana|1" << "Ana|2" << "Ana|1" << true << "put" << ana2 << false << false << "" << false;
        QTest::newRow("changed there") << "Ana|1" << "Ana|1" << "Ana|2" << true << "none" << ana2 << true << true << "" << false;
        QTest::newRow("changed alike on both") << "Ana|1" << "Ana|2" << "Ana|2" << true << "none" << ana2 << false << false << "" << false;
        QTest::newRow("changed on both, other fields")
            << "Ana|1|a@x" << "Ana|2|a@x" << "Ana|1|b@x" << true << "put" << "Ana|~|~|~|2|b@x|~|~|~" << true << true << "" << false;
        QTest::newRow("changed on both, one field: the server's stays, the book's in Mas info")
            << "Ana|1" << "Ana|2" << "Ana|3" << true << "put"
            << "Ana|~|~|~|3|~|~|Conflicto, esta agenda: Telefono: 2|~" << true << true << "Telefono" << false;
        QTest::newRow("a conflict merged again adds no second line")
            << "Ana|1" << "Ana|2|~|Conflicto, esta agenda: Telefono: 2" << "Ana|3" << true << "put"
            << "Ana|~|~|~|3|~|~|Conflicto, esta agenda: Telefono: 2|~" << true << true << "Telefono" << false;
        QTest::newRow("a date in conflict shown as the book shows it")
            << "Ana|1|~|~|1970-01-02" << "Ana|1|~|~|1971-03-04" << "Ana|1|~|~|1972-05-06" << true << "put"
            << "Ana|~|~|~|1|~|~|Conflicto, esta agenda: Fecha de nacimiento: 04/03/1971|1972-05-06" << true << true
            << "Fecha de nacimiento" << false;
        QTest::newRow("emptied here: empty, not null") << "Ana|1" << "Ana|" << "Ana|1" << true << "put"
            << "Ana|~|~|~||~|~|~|~" << false << false << "" << false;
        QTest::newRow("a town given here where there was none")
            << "Ana|1" << "Ana|1|~|~|~|Soria" << "Ana|1" << true << "put" << "Ana|~|~|Soria|1|~|~|~|~"
            << false << false << "" << false;
        QTest::newRow("without a base every difference is a conflict")
            << "" << "Ana|1" << "Ana|2" << true << "put"
            << "Ana|~|~|~|2|~|~|Conflicto, esta agenda: Telefono: 1|~" << true << true << "Telefono" << false;
        QTest::newRow("a reserved upload found on the server") << "" << "Ana|1" << "Ana|1" << true << "none" << ana1 << false << false << "" << false;
        QTest::newRow("deleted here, unchanged there (not fetched)") << "Ana|1" << "" << "=" << true << "delete" << "" << false << false << "" << false;
        QTest::newRow("deleted here, unchanged there") << "Ana|1" << "" << "Ana|1" << true << "delete" << "" << false << false << "" << false;
        QTest::newRow("deleted here, changed there: kept") << "Ana|1" << "" << "Ana|2" << true << "none" << ana2 << true << true << "" << true;
        QTest::newRow("a reserved upload deleted here") << "" << "" << "Ana|1" << true << "delete" << "" << false << false << "" << false;
        QTest::newRow("deleted there, unchanged here") << "Ana|1" << "Ana|1" << "" << true << "none" << "" << true << false << "" << false;
        QTest::newRow("deleted there, changed here: kept") << "Ana|1" << "Ana|2" << "" << true << "new" << ana2 << false << false << "" << true;
        // clang-format on
    }

    void decisions() {
        QFETCH(QString, base);
        QFETCH(QString, book);
        QFETCH(QString, server);
        QFETCH(bool, linked);
        Item it = itemOf(base, book, server, linked);
        decide(it);
        QFETCH(QString, op);
        QFETCH(QString, result);
        QFETCH(bool, bookWrite);
        QFETCH(bool, news);
        QFETCH(QString, conflicts);
        QFETCH(bool, kept);
        QCOMPARE(opName(it.op), op);
        QCOMPARE(shown(it.result), result);
        QCOMPARE(it.bookWrite, bookWrite);
        QCOMPARE(it.news, news);
        QCOMPARE(QString::fromStdString(it.conflicts.empty() ? "" : it.conflicts.front()),
                 conflicts);
        QCOMPARE(it.conflicts.size() > 1, false);
        QCOMPARE(!it.kept.empty(), kept);
        // What goes up reads back as what both sides keep, the card's UID kept.
        QCOMPARE(it.card.empty(), it.op == Item::Op::None || it.op == Item::Op::Delete);
        if (!it.card.empty()) {
            QCOMPARE(shown(contactFromCard(it.card)), result);
            QCOMPARE(cardUid(it.card), "uid-1");
        }
        QCOMPARE(it.etag, it.server ? "\"e2\"" : it.link ? "\"e1\"" : "");
        // Decided again from the same states: the same decision.
        Item again = it;
        decide(again);
        QCOMPARE(opName(again.op), op);
        QCOMPARE(again.card, it.card);
    }

    // The guard counts what the decisions delete; failed items and group
    // cards count for nothing.
    void guard_data() {
        QTest::addColumn<int>("here");
        QTest::addColumn<int>("there");
        QTest::addColumn<int>("book");
        QTest::addColumn<int>("server");
        QTest::addColumn<bool>("serverNew");
        QTest::addColumn<bool>("refused");
        QTest::newRow("nothing deleted") << 0 << 0 << 5 << 5 << false << false;
        QTest::newRow("a few of many here") << 3 << 0 << 20 << 20 << false << false;
        QTest::newRow("all of the book") << 2 << 0 << 2 << 2 << false << true;
        QTest::newRow("over half and over ten here") << 11 << 0 << 20 << 20 << false << true;
        QTest::newRow("over half but only ten") << 10 << 0 << 15 << 15 << false << false;
        QTest::newRow("half of many") << 12 << 0 << 24 << 24 << false << false;
        QTest::newRow("all of the server") << 0 << 3 << 3 << 3 << false << true;
        QTest::newRow("over half and over ten there") << 0 << 11 << 20 << 20 << false << true;
        QTest::newRow("one here from an address book made anew")
            << 1 << 0 << 100 << 100 << true << true;
        QTest::newRow("an address book made anew, nothing here")
            << 0 << 0 << 100 << 100 << true << false;
    }

    void guard() {
        QFETCH(int, here);
        QFETCH(int, there);
        QFETCH(int, book);
        QFETCH(int, server);
        QFETCH(bool, serverNew);
        QFETCH(bool, refused);
        std::vector<Item> items;
        auto add = [&](int n, const char* base, const char* bookSide, const char* serverSide) {
            for (int i = 0; i < n; ++i) {
                items.push_back(itemOf(base, bookSide, serverSide, true));
                decide(items.back());
            }
        };
        add(here, "Ana|1", "Ana|1", "");
        add(there, "Ana|1", "", "=");
        add(1, "Ana|1", "Ana|2", "Ana|3");  // a write, no delete
        add(2, "Ana|1", "Ana|1", "");
        items.back().failed = true;
        items[items.size() - 2].group = true;
        std::size_t writes = 0;
        const PlannedDeletions p = planned(items, book, server, serverNew, writes);
        QCOMPARE(p.here, std::size_t(here));
        QCOMPARE(p.there, std::size_t(there));
        QCOMPARE(writes, std::size_t(here) + 1);
        QCOMPARE(p.bookContacts, std::size_t(book));
        QCOMPARE(p.serverContacts, std::size_t(server));
        QCOMPARE(refusal(p).has_value(), refused);
    }

    void faults_data() {
        QTest::addColumn<DavErrorKind>("kind");
        QTest::addColumn<bool>("stops");  // the whole sync, not only its card
        QTest::addColumn<bool>("lost");   // the request may have been carried out
        QTest::newRow("wrong password") << DavErrorKind::Authentication << true << false;
        QTest::newRow("not found") << DavErrorKind::NotFound << false << false;
        QTest::newRow("changed meanwhile") << DavErrorKind::PreconditionFailed << false << false;
        QTest::newRow("server error") << DavErrorKind::ServerError << true << true;
        QTest::newRow("timeout") << DavErrorKind::Timeout << true << true;
        QTest::newRow("certificate") << DavErrorKind::Tls << true << false;
        QTest::newRow("server down") << DavErrorKind::ServerDown << true << false;
        QTest::newRow("connection broken") << DavErrorKind::Network << true << true;
        QTest::newRow("unreadable answer") << DavErrorKind::Protocol << false << true;
    }

    void faults() {
        QFETCH(DavErrorKind, kind);
        QFETCH(bool, stops);
        QFETCH(bool, lost);
        QCOMPARE(stopsEverything(kind), stops);
        QCOMPARE(answerLost(kind), lost);
    }

    void groupCards_data() {
        QTest::addColumn<QByteArray>("card");
        QTest::addColumn<bool>("group");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("uid");
        const QByteArray head = "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:g1\r\nFN:Familia\r\n";
        QTest::newRow("KIND") << head + "KIND:group\r\nEND:VCARD\r\n"
                              << true << "Familia"
                              << "g1";
        QTest::newRow("any case") << head + "kind:Group\r\nEND:VCARD\r\n"
                                  << true << "Familia"
                                  << "g1";
        QTest::newRow("with a parameter") << head + "KIND;VALUE=text:group\r\nEND:VCARD\r\n"
                                          << true << "Familia"
                                          << "g1";
        QTest::newRow("the older property")
            << QByteArray(
                   "BEGIN:VCARD\nVERSION:3.0\nFN:Fa\n milia\nUID:g2\n"
                   "X-ADDRESSBOOKSERVER-KIND:group\nEND:VCARD\n")
            << true << "Familia"
            << "g2";
        QTest::newRow("a person") << head + "KIND:individual\r\nEND:VCARD\r\n"
                                  << false << "Familia"
                                  << "g1";
        QTest::newRow("no KIND, no FN, no UID")
            << QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nEND:VCARD\r\n") << false << "(sin nombre)"
            << "";
    }

    void groupCards() {
        QFETCH(QByteArray, card);
        QFETCH(bool, group);
        QFETCH(QString, name);
        QFETCH(QString, uid);
        QCOMPARE(isGroupCard(card.toStdString()), group);
        QCOMPARE(QString::fromStdString(cardName(card.toStdString())), name);
        QCOMPARE(QString::fromStdString(cardUid(card.toStdString())), uid);
    }

    // The server's card keeps every line the book has no field for.
    void mergeChangesOnlyMappedLines_data() {
        QTest::addColumn<QByteArray>("card");
        QTest::addColumn<std::vector<MappedProperty>>("mapped");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray photo = "PHOTO;ENCODING=b;TYPE=JPEG:AAAA\r\n BBBB\r\n";
        QTest::newRow("main phone changes, the rest byte for byte")
            << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Lola\r\nORG:Ayuntamiento;Obras\r\n"
               "TEL;TYPE=CELL:600\r\nTEL;TYPE=HOME:91\r\n" +
                   photo + "END:VCARD\r\n"
            << std::vector<MappedProperty>{{"TEL", "601"}, {"FN", "Lola"}}
            << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Lola\r\nORG:Ayuntamiento;Obras\r\n"
               "TEL;TYPE=CELL:601\r\nTEL;TYPE=HOME:91\r\n" +
                   photo + "END:VCARD\r\n";
        QTest::newRow("an equal value keeps its folding, LF becomes CRLF")
            << QByteArray("BEGIN:VCARD\nNOTE:una nota\n  larga\nEND:VCARD\n")
            << std::vector<MappedProperty>{{"NOTE", "una nota larga"}}
            << QByteArray("BEGIN:VCARD\r\nNOTE:una nota\r\n  larga\r\nEND:VCARD\r\n");
        QTest::newRow("missing ones added before END, removed only the first")
            << QByteArray("BEGIN:VCARD\r\nEMAIL:a@x.es\r\nEMAIL:b@x.es\r\nEND:VCARD\r\nX")
            << std::vector<MappedProperty>{{"EMAIL", std::nullopt},
                                           {"BDAY", "1970-05-01"},
                                           {"NOTE", std::nullopt}}
            << QByteArray("BEGIN:VCARD\r\nEMAIL:b@x.es\r\nBDAY:1970-05-01\r\nEND:VCARD\r\nX\r\n");
        QTest::newRow("group, quoted colon and URI scheme kept")
            << QByteArray(
                   "BEGIN:VCARD\r\nitem1.TEL;X-L=\"a:b\";VALUE=uri:tel:+34600\r\n"
                   "IMPP;X-SERVICE-TYPE=ICQ:icq:123\r\nEND:VCARD\r\n")
            << std::vector<MappedProperty>{{"TEL", "+34601"}, {"X-ICQ", "456"}}
            << QByteArray(
                   "BEGIN:VCARD\r\nitem1.TEL;X-L=\"a:b\";VALUE=uri:tel:+34601\r\n"
                   "IMPP;X-SERVICE-TYPE=ICQ:icq:456\r\nEND:VCARD\r\n");
        QTest::newRow("the old value's encoding goes with it, soft line breaks too")
            << QByteArray(
                   "BEGIN:VCARD\r\nVERSION:2.1\r\n"
                   "NOTE;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8;X-A=1:ca=\r\nf=C3=A9\r\n"
                   "END:VCARD\r\n")
            << std::vector<MappedProperty>{{"NOTE", "café"}}
            << QByteArray("BEGIN:VCARD\r\nVERSION:2.1\r\nNOTE;X-A=1:café\r\nEND:VCARD\r\n");
        QTest::newRow("an IMPP that its parameter names ICQ")
            << QByteArray("BEGIN:VCARD\r\nIMPP;X-SERVICE-TYPE=icq:x-apple:123\r\nEND:VCARD\r\n")
            << std::vector<MappedProperty>{{"X-ICQ", "456"}}
            << QByteArray("BEGIN:VCARD\r\nIMPP;X-SERVICE-TYPE=icq:x-apple:456\r\nEND:VCARD\r\n");
        QTest::newRow("an equal address in Latin-1 stays as it came")
            << QByteArray(
                   "BEGIN:VCARD\r\nVERSION:2.1\r\n"
                   "ADR;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:;;Ma=F1ana;Soria;Soria;;\r\n"
                   "END:VCARD\r\n")
            << std::vector<MappedProperty>{{"ADR", ";;Mañana;Soria;Soria;;"}}
            << QByteArray(
                   "BEGIN:VCARD\r\nVERSION:2.1\r\n"
                   "ADR;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:;;Ma=F1ana;Soria;Soria;;\r\n"
                   "END:VCARD\r\n");
        QTest::newRow("an equal address in quoted-printable stays as it came")
            << QByteArray(
                   "BEGIN:VCARD\r\nVERSION:2.1\r\n"
                   "ADR;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:;;Calle "
                   "Mayor=C3=A9;So=\r\nria;Soria;;\r\nEND:VCARD\r\n")
            << std::vector<MappedProperty>{{"ADR", ";;Calle Mayoré;Soria;Soria;;"}}
            << QByteArray(
                   "BEGIN:VCARD\r\nVERSION:2.1\r\n"
                   "ADR;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:;;Calle "
                   "Mayor=C3=A9;So=\r\nria;Soria;;\r\nEND:VCARD\r\n");
        QTest::newRow("a new line folds at 75 octets, never inside a character")
            << QByteArray("BEGIN:VCARD\r\nEND:VCARD\r\n")
            << std::vector<MappedProperty>{{"NOTE", std::string(69, 'a') + "ébc"}}
            << "BEGIN:VCARD\r\nNOTE:" + QByteArray(69, 'a') + "\r\n ébc\r\nEND:VCARD\r\n";
        QTest::newRow("no card: a new 3.0 one")
            << QByteArray()
            << std::vector<MappedProperty>{{"UID", "u1"},
                                           {"FN", "Ana"},
                                           {"N", ";Ana;;;"},
                                           {"TEL", std::nullopt}}
            << QByteArray(
                   "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:u1\r\nFN:Ana\r\nN:;Ana;;;\r\nEND:VCARD\r\n");
    }
    void mergeChangesOnlyMappedLines() {
        QFETCH(QByteArray, card);
        QFETCH(std::vector<MappedProperty>, mapped);
        QFETCH(QByteArray, expected);
        QCOMPARE(QByteArray::fromStdString(mergeVCard(card.toStdString(), mapped)), expected);
    }
};

QTEST_GUILESS_MAIN(TestDecide)
#include "tst_decide.moc"
