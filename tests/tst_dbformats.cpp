// The readers and writers of orvane-db's file formats, called directly:
// dates, CSV, vCard 2.1/3.0/4.0, folding, and the round trips.

#include <QTest>
#include <set>

#include "exchange/csv.h"
#include "exchange/import.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "support/storetest.h"
#include "tools/orvane-db/demo.h"

using namespace orv;
using namespace orv::db;
using namespace orv::exchange;
using storetest::contact;

namespace {

struct Parsed {
    std::vector<Located> contacts;
    std::vector<std::pair<long, std::string>> problems;
    bool ok = false;
};

Parsed parsed(std::string_view text, Format format) {
    const Reading r = readContacts(text, format);
    Parsed p;
    p.contacts = r.contacts;
    for (const Problem& pr : r.problems) p.problems.emplace_back(pr.line, pr.reason);
    p.ok = r.problems.empty();
    return p;
}
Parsed parseCsv(std::string_view text) {
    return parsed(text, Format::Csv);
}
Parsed parseVCards(std::string_view text) {
    return parsed(text, Format::VCard);
}

bool sameContacts(const std::vector<Contact>& expected, const std::vector<Located>& got) {
    bool same = expected.size() == got.size();
    if (!same) qWarning("expected %zu contacts, got %zu", expected.size(), got.size());
    for (std::size_t i = 0; i < std::min(expected.size(), got.size()); ++i) {
        Contact e = expected[i];
        e[kCodigo] = std::nullopt;
        if (e != got[i].contact) {
            qWarning("contact %zu differs:\n  expected %s\n  got      %s", i,
                     qPrintable(storetest::show(e)), qPrintable(storetest::show(got[i].contact)));
            same = false;
        }
    }
    return same;
}

}  // namespace

class TestDbFormats : public QObject {
    Q_OBJECT

  private slots:
    void importedDates_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("iso");
        // Each text and its ISO date ("" when refused): the forms read, then
        // what is refused (no such day, ambiguous or year-less forms, junk).
        const char* const cases[][2] = {
            {"21/03/1975", "1975-03-21"},
            {"1/3/1975", "1975-03-01"},
            {"1975-03-21", "1975-03-21"},
            {"19750321", "1975-03-21"},
            {"1975-03-21 00:00:00", "1975-03-21"},
            {"21/03/1975 00:00:00", "1975-03-21"},
            {"1975-03-21T10:20:30Z", "1975-03-21"},
            {"19750321T102030+0100", "1975-03-21"},
            {"29/02/2000", "2000-02-29"},
            {" 1975-03-21 ", "1975-03-21"},
            {"31/04/1975", ""},
            {"29/02/1900", ""},
            {"21/03/75", ""},
            {"03/21/1975", ""},
            {"1975-3-21", ""},
            {"0999-01-01", ""},
            {"1975-03-21 25:00:00", ""},
            {"1975-03-21 hola", ""},
            {"--03-21", ""},
            {"", ""},
        };
        for (const auto& c : cases)
            QTest::newRow(*c[0] ? c[0] : "(empty)") << QString(c[0]) << QString(c[1]);
    }
    void importedDates() {
        QFETCH(QString, text);
        QFETCH(QString, iso);
        auto got = isoFromImported(text.toStdString());
        QCOMPARE(got ? QString::fromStdString(*got) : QString(), iso);
    }

    void csvRecordsAndLineNumbers() {
        const std::string text = "a,\"b,c\",\"d\"\"e\"\r\n\"multi\nline\",,\"\"\n\nlast\r\n";
        CsvReader reader(text);
        CsvRecord rec;
        std::string error;
        QVERIFY(reader.next(rec, error));
        QVERIFY(error.empty());
        QCOMPARE(rec.line, 1);
        QVERIFY((rec.fields == std::vector<Value>{"a", "b,c", "d\"e"}));
        QVERIFY(reader.next(rec, error));
        QCOMPARE(rec.line, 2);
        // Empty unquoted is null, quoted empty is the empty string.
        QVERIFY((rec.fields == std::vector<Value>{"multi\nline", std::nullopt, ""}));
        QVERIFY(reader.next(rec, error));
        QCOMPARE(rec.line, 5);
        QVERIFY((rec.fields == std::vector<Value>{"last"}));
        QVERIFY(!reader.next(rec, error));

        CsvReader broken("\"ab\"c,d\nok\n\"never closed\nx");
        QVERIFY(broken.next(rec, error));
        QVERIFY(!error.empty());
        QCOMPARE(rec.line, 1);
        QVERIFY(broken.next(rec, error));  // reading goes on at the next line
        QVERIFY(error.empty());
        QVERIFY((rec.fields == std::vector<Value>{"ok"}));
        QVERIFY(broken.next(rec, error));
        QVERIFY(!error.empty());
        QCOMPARE(rec.line, 3);
        QVERIFY(!broken.next(rec, error));
    }

    void csvHeaderMapsColumnsByName() {
        auto p = parseCsv(
            "\xEF\xBB\xBF"
            "Apellido;fecha de nacimiento;Nombre;Codigo\r\n"
            "Muñoz;21/03/1975;Begoña;17\r\n"
            ";;\"\";\r\n");
        QVERIFY(p.ok);
        QCOMPARE(p.contacts.size(), std::size_t(2));
        const Contact& c = p.contacts[0].contact;
        QCOMPARE(*c[kNombre], std::string("Begoña"));
        QCOMPARE(*c[kApellido], std::string("Muñoz"));
        QCOMPARE(*c[kFecha], std::string("1975-03-21"));
        QVERIFY(!c[kCodigo]);  // codes are the store's own
        QVERIFY(!c[kDomicilio] && !c[kMasInfo]);
        const Contact& d = p.contacts[1].contact;
        QCOMPARE(*d[kNombre], std::string());
        QVERIFY(!d[kApellido] && !d[kFecha]);
        QCOMPARE(p.contacts[1].line, 3);
    }

    void csvProblemsNameTheirLine() {
        auto unknown = parseCsv("Nombre,Edad,Apellido\nAna,30,Ruiz\n");
        QVERIFY(!unknown.ok);
        QCOMPARE(unknown.problems.size(), std::size_t(1));
        QCOMPARE(unknown.problems[0].first, 1);
        QVERIFY(unknown.problems[0].second.find("\"Edad\"") != std::string::npos);

        auto twice = parseCsv("Nombre,nombre\nAna,Eva\n");
        QVERIFY(!twice.ok);

        auto rows = parseCsv(
            "Nombre,Mas info,Fecha de nacimiento\n"
            "Ana,\"dos\nlíneas\",01/01/1990\n"
            "Eva,x,31/02/1990\n"
            "Pío,solo dos\n"
            "Raúl,\"sin cerrar,01/01/1990\n");
        QVERIFY(!rows.ok);
        QCOMPARE(rows.contacts.size(), std::size_t(1));
        QCOMPARE(rows.problems.size(), std::size_t(3));
        QCOMPARE(rows.problems[0].first, 4);  // after a record of two lines
        QVERIFY(rows.problems[0].second.find("31/02/1990") != std::string::npos);
        QCOMPARE(rows.problems[1].first, 5);
        QCOMPARE(rows.problems[2].first, 6);

        // Not UTF-8: the windows-1252 spreadsheets write.
        auto latin1 = parseCsv(
            "Nombre\nPe\xF1"
            "a\n");
        QVERIFY(latin1.ok);
        QCOMPARE(*latin1.contacts[0].contact[kNombre], std::string("Peña"));

        QVERIFY(!parseCsv("").ok);
    }

    // What `mdb-export -D '%Y-%m-%d' -T '%Y-%m-%d %H:%M:%S' orv.mdb Registros`
    // writes: a plain header, numbers bare, texts and dates double-quoted,
    // nulls as nothing, LF line ends, memo line breaks as they are.
    void csvInTheShapeMdbExportWrites() {
        auto p = parseCsv(
            "Codigo,Nombre,Apellido,Domicilio,Localidad/Provincia,Telefono,e-mail,ICQ,Mas info,"
            "Fecha de nacimiento\n"
            "1,\"Álvaro\",\"Muñoz\",\"C/ Mayor, 5\",\"Madrid/Madrid\",\"91 555 12 34\","
            "\"alvaro@correo.es\",\"123456\",\"Línea 1\r\nLínea \"\"2\"\"\",\"1975-03-21 "
            "00:00:00\"\n"
            "2,\"Begoña\",,,,,,,,\n"
            "3,\"\",\"\",,,,,,,\"2001-12-31\"\n");
        QVERIFY(p.ok);
        QCOMPARE(p.contacts.size(), std::size_t(3));
        QVERIFY(sameContacts(
            {contact({"Álvaro", "Muñoz", "C/ Mayor, 5", "Madrid/Madrid", "91 555 12 34",
                      "alvaro@correo.es", "123456", "Línea 1\nLínea \"2\"", "1975-03-21"}),
             contact({"Begoña", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt, std::nullopt, std::nullopt, std::nullopt}),
             contact({"", "", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt, "2001-12-31"})},
            p.contacts));
    }

    void vcard21QuotedPrintableAndCharsets() {
        const std::string text =
            "BEGIN:VCARD\r\n"
            "VERSION:2.1\r\n"
            "N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Mu=C3=B1oz;Bego=C3=B1a;;;\r\n"
            "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Bego=C3=B1a Mu=C3=B1oz\r\n"
            "TEL;CELL;PREF:600111222\r\n"
            "TEL;HOME;VOICE:915551234\r\n"
            "item1.EMAIL;INTERNET:begona@correo.es\r\n"
            "ADR;HOME;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:;;Calle Mayor 5;Alcal=C3=A1 de "
            "Henares;Madrid;28801;Espa=C3=B1a\r\n"
            "NOTE;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Primera l=C3=ADnea=0D=0ASegunda l=\r\n"
            "=C3=ADnea, muy larga=\r\n"
            " y con un blanco al empezar\r\n"
            "X-ICQ:123456\r\n"
            "BDAY:19750321\r\n"
            "PHOTO;ENCODING=BASE64;TYPE=JPEG:/9j/4AAQ\r\n"
            " SkZJRg==\r\n"
            "\r\n"
            "END:VCARD\r\n"
            "BEGIN:VCARD\r\n"
            "VERSION:2.1\r\n"
            "N;CHARSET=ISO-8859-1:Ib\xE1\xF1"
            "ez;\xCD\xF1igo\r\n"
            "NOTE;CHARSET=windows-1252;QUOTED-PRINTABLE:Debe 5 =80 =96 =BFvale?\r\n"
            "TEL;WORK:  944 000 000\r\n"
            "END:VCARD\r\n"
            "BEGIN:VCARD\r\n"
            "VERSION:2.1\r\n"
            "N:Pe\xF1"
            "a;Jos\xE9\r\n"
            "END:VCARD\r\n";
        auto p = parseVCards(text);
        QVERIFY(p.ok);
        QVERIFY(sameContacts(
            {contact({"Begoña", "Muñoz", "Calle Mayor 5", "28801 Alcalá de Henares/Madrid",
                      "600111222", "begona@correo.es", "123456",
                      "Primera línea\nSegunda línea, muy larga y con un blanco al "
                      "empezar\nPaís: España\nTeléfono (casa): 915551234",
                      "1975-03-21"}),
             contact({"Íñigo", "Ibáñez", std::nullopt, std::nullopt, "  944 000 000", std::nullopt,
                      std::nullopt, "Debe 5 € – ¿vale?", std::nullopt}),
             // No CHARSET in 2.1: the writer's 8-bit set, read as windows-1252.
             contact({"José", "Peña"})},
            p.contacts));
        QCOMPARE(p.contacts[1].line, 18);
    }

    void vcard30FoldingAndEscapes() {
        const std::string text =
            "BEGIN:VCARD\n"
            "VERSION:3.0\n"
            "N:Pérez\\, hijo;José;Luis;Sr.;\n"
            "FN:José Luis Pérez\n"
            "ADR;TYPE=home:;Piso 3º;Plaza de España\\, 1;Sevilla;;;\n"
            "ADR;TYPE=work:;;Calle Larga 2;Écija;Sevilla;;\n"
            "TEL;TYPE=CELL,VOICE:+34 600 000 000\n"
            "TEL;VALUE=uri:tel:+34-91-555-0000\n"
            "EMAIL;TYPE=INTERNET,PREF:jl@ejemplo.com\n"
            "EMAIL;TYPE=INTERNET:otro@ejemplo.com\n"
            "NOTE:Punto y coma\\; coma\\, barra \\\\ y\\nsalto; camino C:\\dir. Cami\xC3\n"
            " \xB3n pleg\n"
            "\tado\n"
            "BDAY:1980-01-01\n"
            "BDAY:1981-02-02\n"
            "ORG:Empresa\n"
            "END:VCARD\n"
            "BEGIN:VCARD\n"
            "VERSION:3.0\n"
            "FN:Nadie\n"
            "END:VCARD\n";
        auto p = parseVCards(text);
        QVERIFY(p.ok);
        QCOMPARE(p.contacts.size(), std::size_t(2));
        QCOMPARE(p.contacts[1].line, 18);
        QVERIFY(sameContacts(
            {contact(
                 {"José Luis", "Pérez, hijo", "Plaza de España, 1, Piso 3º", "Sevilla",
                  "+34 600 000 000", "jl@ejemplo.com", std::nullopt,
                  "Punto y coma; coma, barra \\ y\nsalto; camino C:\\dir. Camión plegado\n"
                  "Tratamiento: Sr.\nEmpresa: Empresa\n"
                  "Dirección (trabajo): Calle Larga 2, Écija, Sevilla\nTeléfono: +34-91-555-0000\n"
                  "e-mail: otro@ejemplo.com\n"
                  "Fecha de nacimiento: 02/02/1981",
                  "1980-01-01"}),
             // FN alone: the full name is the name.
             contact({"Nadie"})},
            p.contacts));
    }

    void vcard40ImppTelUriAndBirthdays() {
        const std::string text =
            "BEGIN:VCARD\r\n"
            "VERSION:4.0\r\n"
            "N:Gómez;Ángela;;;\r\n"
            "FN:Ángela Gómez\r\n"
            "TEL;VALUE=uri;TYPE=\"cell,voice\";PREF=1:tel:+34-600-123-456\r\n"
            "IMPP;PREF=1:icq:987654\r\n"
            "IMPP:xmpp:angela@example.com\r\n"
            "BDAY:--0321\r\n"
            "EMAIL:angela@ejemplo.com\r\n"
            "END:VCARD\r\n"
            "BEGIN:VCARD\r\n"
            "VERSION:4.0\r\n"
            "FN:Íñigo de la Fuente Ordóñez\r\n"
            "BDAY:19700102T000000Z\r\n"
            "IMPP;X-SERVICE-TYPE=ICQ:aim:11111\r\n"
            "END:VCARD\r\n"
            "BEGIN:VCARD\r\n"
            "VERSION:4.0\r\n"
            "N:Ruiz;Eva;;;\r\n"
            "BDAY;VALUE=text:hacia 1900\r\n"
            "BDAY:--12-24\r\n"
            "NOTE:nota\r\n"
            "END:VCARD\r\n";
        auto p = parseVCards(text);
        QVERIFY(p.ok);
        QVERIFY(sameContacts(
            {contact({"Ángela", "Gómez", std::nullopt, std::nullopt, "+34-600-123-456",
                      "angela@ejemplo.com", "987654",
                      "Mensajería (xmpp): xmpp:angela@example.com\nFecha de nacimiento: 21/03",
                      std::nullopt}),
             contact({"Íñigo de la Fuente Ordóñez", std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt, std::nullopt, "11111", std::nullopt, "1970-01-02"}),
             contact({"Eva", "Ruiz", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt,
                      "nota\nFecha de nacimiento: hacia 1900\nFecha de nacimiento: 24/12",
                      std::nullopt})},
            p.contacts));
    }

    // A card we wrote, then edited elsewhere: a field filled in since wins
    // over our note that it was null.
    void vcardNullNoteYieldsToFilledFields() {
        auto p = parseVCards(
            "BEGIN:VCARD\nVERSION:3.0\nN:;Ana;;;\nFN:Ana\nADR:;;;Soria;;;\n"
            "X-ORVANE-NULL:Nombre,Apellido,Domicilio\nEND:VCARD\n");
        QVERIFY(p.ok);
        QVERIFY(sameContacts({contact({"Ana", std::nullopt, std::nullopt, "Soria"})}, p.contacts));
    }

    void vcardProblemsNameTheCard() {
        auto noEnd = parseVCards(
            "BEGIN:VCARD\nVERSION:3.0\nFN:Ana\nEND:VCARD\n\nBEGIN:VCARD\nVERSION:3.0\nFN:Eva\n");
        QVERIFY(!noEnd.ok);
        QCOMPARE(noEnd.contacts.size(), std::size_t(1));
        QCOMPARE(noEnd.problems.size(), std::size_t(1));
        QCOMPARE(noEnd.problems[0].first, 6);

        auto charset = parseVCards("BEGIN:VCARD\nVERSION:2.1\nN;CHARSET=KOI8-R:x;y\nEND:VCARD\n");
        QVERIFY(!charset.ok);
        QCOMPARE(charset.problems[0].first, 1);
        QVERIFY(charset.problems[0].second.find("KOI8-R") != std::string::npos);

        auto notUtf8 = parseVCards(
            "BEGIN:VCARD\nVERSION:3.0\nN:Pe\xF1"
            "a;Ana\nEND:VCARD\n");
        QVERIFY(!notUtf8.ok);

        auto noColon = parseVCards("BEGIN:VCARD\nVERSION:3.0\nFN:Ana\nsuelta\nEND:VCARD\n");
        QVERIFY(!noColon.ok);
        QVERIFY(noColon.problems[0].second.find("línea 4") != std::string::npos);

        auto stray = parseVCards("Nombre,Apellido\nAna,Ruiz\n");
        QVERIFY(!stray.ok);
        QCOMPARE(stray.problems.size(), std::size_t(1));
        QCOMPARE(stray.problems[0].first, 1);

        // What an empty book exports: no card, and nothing wrong.
        auto empty = parseVCards("\r\n");
        QVERIFY(empty.ok && empty.contacts.empty());
    }

    void foldingKeepsCharactersWhole() {
        for (int shift = 0; shift < 4; ++shift) {
            const std::string line =
                "NOTE:" + std::string(shift, 'x') + storetest::chars("ñá€𝄞", 150);
            const std::string folded = foldLine(line);
            QVERIFY(folded.size() > 3 && folded.substr(folded.size() - 2) == "\r\n");
            std::string unfolded;
            std::size_t pos = 0;
            bool first = true;
            while (pos < folded.size()) {
                std::size_t end = folded.find("\r\n", pos);
                std::string physical = folded.substr(pos, end - pos);
                QVERIFY2(physical.size() <= 75, physical.c_str());
                QVERIFY(validUtf8(physical));
                if (!first) {
                    QCOMPARE(physical[0], ' ');
                    physical.erase(0, 1);
                }
                unfolded += physical;
                first = false;
                pos = end + 2;
            }
            QCOMPARE(unfolded, line);
        }
    }

    void roundTrips_data() {
        QTest::addColumn<bool>("vcard");
        QTest::addColumn<bool>("demo");
        QTest::newRow("csv, awkward contacts") << false << false;
        QTest::newRow("vcard, awkward contacts") << true << false;
        QTest::newRow("csv, generated contacts") << false << true;
        QTest::newRow("vcard, generated contacts") << true << true;
    }
    void roundTrips() {
        QFETCH(bool, vcard);
        QFETCH(bool, demo);
        std::vector<Contact> contacts;
        if (demo) {
            DemoGenerator gen(7);
            for (std::uint64_t i = 0; i < 2000; ++i) contacts.push_back(gen.contact(i));
        } else {
            contacts = storetest::awkwardContacts();
        }
        std::string text = vcard ? std::string() : csvHeader();
        for (Contact c : contacts) {
            c[kCodigo] = "42";
            text += vcard ? vcardFromContact(c) : csvRecord(c);
        }
        if (vcard) {
            // Every line ends in CRLF and no bare CR or LF hides inside one,
            // which other readers would take for a line end.
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '\r') QVERIFY(i + 1 < text.size() && text[i + 1] == '\n');
                if (text[i] == '\n') QVERIFY(i > 0 && text[i - 1] == '\r');
            }
        }
        auto p = vcard ? parseVCards(text) : parseCsv(text);
        for (const auto& [line, why] : p.problems) qWarning("%ld: %s", line, why.c_str());
        QVERIFY(p.ok);
        // What comes back is what went out, stored clean (names trimmed, LF).
        for (Contact& c : contacts) cleanContact(c);
        QVERIFY(sameContacts(contacts, p.contacts));
    }

    void demoContactsAreRealisticAndRepeatable() {
        DemoGenerator a(5), b(5), other(6);
        std::set<std::string> names;
        int nulls = 0, empties = 0, lower = 0, lowerAccent = 0, dates = 0, differ = 0;
        for (std::uint64_t i = 0; i < 5000; ++i) {
            const Contact c = a.contact(i);
            QVERIFY(c == b.contact(i));
            differ += c != other.contact(i);
            QCOMPARE(c[kNombre], DemoGenerator::nameChoices()[a.nameOf(i)]);
            if (!c[kNombre])
                ++nulls;
            else if (c[kNombre]->empty())
                ++empties;
            else if (c[kNombre]->front() >= 'a')
                ++lower;
            else if (static_cast<unsigned char>((*c[kNombre])[1]) >= 0xA0)
                ++lowerAccent;  // "á", "í", "é"... as the first letter
            if (c[kNombre]) names.insert(*c[kNombre]);
            if (c[kFecha]) {
                ++dates;
                QCOMPARE(isoFromImported(*c[kFecha]), c[kFecha]);
            }
            for (const Value& v : c)
                if (v) QVERIFY(validUtf8(*v));
        }
        QVERIFY(differ > 4900);
        QVERIFY(nulls > 0 && empties > 0 && lower > 50 && lowerAccent > 0 && dates > 3500);
        for (const char* n : {"Álvaro", "Íñigo", "Begoña", "José Luis"})
            QVERIFY2(names.count(n), n);
    }
};

QTEST_APPLESS_MAIN(TestDbFormats)
#include "tst_dbformats.moc"
