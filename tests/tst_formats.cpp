// LDIF and abook's own file, read into the book's fields and "Mas info";
// and what every format shares: dates, text encodings, telling a format
// from its file, clean texts, and our writers read back by our readers.

#include <QTest>
#include <set>

#include "exchange/csv.h"
#include "exchange/import.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "support/formattest.h"
#include "support/storetest.h"
#include "tools/orvane-db/demo.h"

using namespace orv;
using namespace orv::db;
using namespace orv::exchange;
using std::nullopt;
using storetest::contact;

namespace {

std::vector<formattest::Case> cases() {
    return {
        {"abook file",
         Format::Abook,
         "# abook addressbook file\n\n[format]\nprogram=abook\nversion=0.6.1\n\n[0]\n"
         "name=Begoña Muñoz\nemail=begona@correo.es,bm@trabajo.es\naddress=Calle Mayor 5\n"
         "address2=3º B\ncity=Alcalá de Henares\nstate=Madrid\nzip=28801\ncountry=España\n"
         "phone=915551234\nworkphone=913000000\nmobile=600111222\nnick=Bego\n"
         "url=https://bego.es\nnotes=Amiga\nanniversary=1975-03-21\ngroups=amigos,uni\n\n[1]\n"
         "name=Talleres García\nphone=944000000\n",
         {contact({"Begoña Muñoz", nullopt, "Calle Mayor 5, 3º B", "28801 Alcalá de Henares/Madrid",
                   "915551234", "begona@correo.es", nullopt,
                   "Amiga\nApodo: Bego\nPaís: España\nTeléfono (trabajo): 913000000\n"
                   "Teléfono (móvil): 600111222\ne-mail: bm@trabajo.es\nWeb: https://bego.es\n"
                   "Aniversario: 21/03/1975\nCategorías: amigos, uni",
                   nullopt}),
          contact({"Talleres García", nullopt, nullopt, nullopt, "944000000"})}},
        // What abook --convert --outformat ldif wrote, and a Thunderbird entry and list.
        {"ldif",
         Format::Ldif,
         "version: 1\n"
         "dn:: Y249QmVnb8OxYSBNdcOxb3osbWFpbD1iZWdvbmFAY29ycmVvLmVz\n"
         "cn:: QmVnb8OxYSBNdcOxb3o=\nmail: begona@correo.es\nmail: bm@trabajo.es\n"
         "streetaddress: Calle Mayor 5\nlocality:: QWxjYWzDoSBkZSBIZW5hcmVz\nst: Madrid\n"
         "postalcode: 28801\nhomephone: 915551234\ncellphone: 600111222\n"
         "xmozillanickname: Bego\ndescription: Amiga\nobjectclass: top\nobjectclass: person\n\n"
         "dn: cn=Eva Gil,mail=eva@x.es\nobjectclass: top\nobjectclass: person\n"
         "givenName: Eva\nsn: Gil\ncn: Eva Gil\nmail: eva@x.es\ntelephoneNumber: 91 000\n"
         "mobile: 600 000\nstreet: Gran V\n ía 1\nl: Madrid\npostalCode: 28013\n"
         "o: Acme\nbirthyear: 1990\nbirthmonth: 02\nbirthday: 03\n\n"
         "dn: cn=Amigos\nobjectclass: top\nobjectclass: groupOfNames\ncn: Amigos\n"
         "member: cn=Eva Gil,mail=eva@x.es\n",
         {contact({"Begoña Muñoz", nullopt, "Calle Mayor 5", "28801 Alcalá de Henares/Madrid",
                   "915551234", "begona@correo.es", nullopt,
                   "Amiga\nApodo: Bego\nTeléfono (móvil): 600111222\ne-mail: bm@trabajo.es",
                   nullopt}),
          contact({"Eva", "Gil", "Gran Vía 1", "28013 Madrid", "91 000", "eva@x.es", nullopt,
                   "Empresa: Acme\nTeléfono (móvil): 600 000", "1990-02-03"})},
         1},
        {"a bad LDIF entry spoils only itself",
         Format::Ldif,
         "dn: cn=a\ncn: Ana\nroto\n\ndn: cn=b\ncn:: %%%\n\ndn: cn=c\ncn: Eva\n",
         {contact({"Eva"})},
         0,
         {8},
         {1, 5}},
        {"a bad abook record",
         Format::Abook,
         "[0]\nname=Ana\nsuelta\n",
         {contact({"Ana"})},
         0,
         {},
         {3}},
    };
}

}  // namespace

class TestFormats : public QObject {
    Q_OBJECT

  private slots:
    void reads_data() { formattest::addRows(cases()); }
    void reads() { formattest::checkRow(cases()); }

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

    void formatsFromFiles() {
        QCOMPARE(formatFromPath("/home/a/.abook/addressbook"), std::optional(Format::Abook));
        QCOMPARE(formatFromPath("libreta.LDIF"), std::optional(Format::Ldif));
        QCOMPARE(formatFromText("\n\nBEGIN:VCARD\r\n"), std::optional(Format::VCard));
        QCOMPARE(formatFromText("version: 1\ndn: cn=x\n"), std::optional(Format::Ldif));
        QCOMPARE(formatFromText("# abook addressbook file\n"), std::optional(Format::Abook));
        QCOMPARE(formatFromText("Nombre,Apellido\n"), std::nullopt);
    }

    void encodings() {
        const std::u16string text = u"Nombre\nJos\u00E9 \U0001D11E\n";
        std::string be = "\xFE\xFF";
        for (char16_t u : text) be += {static_cast<char>(u >> 8), static_cast<char>(u & 0xFF)};
        QCOMPARE(decodeText(be), std::optional<std::string>("Nombre\nJosé 𝄞\n"));
        QCOMPARE(decodeText("\xEF\xBB\xBFPe\xC3\xB1"
                            "a"),
                 std::optional<std::string>("Peña"));
        QCOMPARE(decodeText("Pe\xF1"
                            "a \x80"),
                 std::optional<std::string>("Peña €"));
        QVERIFY(!decodeText(std::string_view("\xFF\xFE\x00\xD8", 4)));  // an unpaired surrogate
        QVERIFY(!decodeText("\xFF\xFEx"));                              // cut in half
    }

    void cleanTexts() {
        QCOMPARE(cleanText("e\xCC\x81 n\xCC\x83"), std::string("é ñ"));
        using namespace std::literals;
        QCOMPARE(cleanText("a\r\nb\rc\x1B[31m\x00"
                           "d\xC2\x9B"sv),
                 std::string("a\nb\nc[31md"));
        QCOMPARE(cleanText("  José\t", true), std::string("José"));
        QCOMPARE(printable("a\x1B[2Jb\tc"), std::string("a\\x1b[2Jb\\tc"));
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
        // What comes back is what went out, stored clean (names trimmed, LF).
        for (Contact& c : contacts) {
            cleanContact(c);
            c[kCodigo] = nullopt;
        }
        formattest::checkReading({.name = "",
                                  .format = vcard ? Format::VCard : Format::Csv,
                                  .text = text,
                                  .expected = contacts,
                                  .named = false});
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

QTEST_APPLESS_MAIN(TestFormats)
#include "tst_formats.moc"
