// vCard: cards as other programs write them (2.1, 3.0, 4.0) read into the
// book's fields and "Mas info", what a card that cannot be read reports, our
// own card byte for byte, folding, and what the book changed written into
// the card it came from.

#include <QTest>

#include "exchange/card.h"
#include "exchange/cardedit.h"
#include "exchange/import.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "exchange/vcardline.h"
#include "support/formattest.h"
#include "support/rows.h"
#include "support/storetest.h"

using namespace orv;
using namespace orv::exchange;
using formattest::cardsOf;
using std::nullopt;
using storetest::contact;

Q_DECLARE_METATYPE(orv::Contact)

namespace {

std::vector<formattest::Case> cases() {
    return {
        {"2.1: quoted-printable, character sets, base64",
         Format::VCard,
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
         "END:VCARD\r\n",
         {contact({"Begoña", "Muñoz", "Calle Mayor 5", "28801 Alcalá de Henares/Madrid",
                   "600111222", "begona@correo.es", "123456",
                   "Primera línea\nSegunda línea, muy larga y con un blanco al "
                   "empezar\nPaís: España\nTeléfono (casa): 915551234",
                   "1975-03-21"}),
          contact({"Íñigo", "Ibáñez", nullopt, nullopt, "  944 000 000", nullopt, nullopt,
                   "Debe 5 € – ¿vale?", nullopt}),
          // No CHARSET in 2.1: the writer's 8-bit set, read as windows-1252.
          contact({"José", "Peña"})},
         0,
         {1, 18, 24}},
        {"3.0: folding and escapes",
         Format::VCard,
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
         "END:VCARD\n",
         {contact({"José Luis", "Pérez, hijo", "Plaza de España, 1, Piso 3º", "Sevilla",
                   "+34 600 000 000", "jl@ejemplo.com", nullopt,
                   "Punto y coma; coma, barra \\ y\nsalto; camino C:\\dir. Camión plegado\n"
                   "Tratamiento: Sr.\nEmpresa: Empresa\n"
                   "Dirección (trabajo): Calle Larga 2, Écija, Sevilla\nTeléfono: +34-91-555-0000\n"
                   "e-mail: otro@ejemplo.com\n"
                   "Fecha de nacimiento: 02/02/1981",
                   "1980-01-01"}),
          // FN alone: the full name is the name.
          contact({"Nadie"})},
         0,
         {1, 18}},
        {"4.0: IMPP, tel: URIs, birthdays without a year or as text",
         Format::VCard,
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
         "END:VCARD\r\n",
         {contact({"Ángela", "Gómez", nullopt, nullopt, "+34-600-123-456", "angela@ejemplo.com",
                   "987654",
                   "Mensajería (xmpp): xmpp:angela@example.com\nFecha de nacimiento: 21/03",
                   nullopt}),
          contact({"Íñigo de la Fuente Ordóñez", nullopt, nullopt, nullopt, nullopt, nullopt,
                   "11111", nullopt, "1970-01-02"}),
          contact({"Eva", "Ruiz", nullopt, nullopt, nullopt, nullopt, nullopt,
                   "nota\nFecha de nacimiento: hacia 1900\nFecha de nacimiento: 24/12", nullopt})}},
        // A card we wrote, then edited elsewhere: a field filled in since
        // wins over our note that it was null.
        {"our nulls yield to fields filled in since",
         Format::VCard,
         "BEGIN:VCARD\nVERSION:3.0\nN:;Ana;;;\nFN:Ana\nADR:;;;Soria;;;\n"
         "X-ORVANE-NULL:Nombre,Apellido,Domicilio\nEND:VCARD\n",
         {contact({"Ana", nullopt, nullopt, "Soria"})}},
        // An iPhone's export: CR CR LF, a year-less birthday, the preferred
        // number not first, an empty placeholder, a group, decomposed accents.
        {"iphone",
         Format::VCard,
         "BEGIN:VCARD\r\r\nVERSION:3.0\r\r\nN:Domi\xCC\x81nguez,Ortiz;Ine\xCC\x81s;;;\r\r\n"
         "FN:Inés Domínguez Ortiz\r\r\nEMAIL;TYPE=HOME:\r\r\nEMAIL;TYPE=WORK:ines@t.es\r\r\n"
         "TEL;TYPE=CELL:600 000 000\r\r\nTEL;TYPE=HOME;TYPE=pref:91 000 00 00\r\r\n"
         "BDAY;X-APPLE-OMIT-YEAR=1604:1604-07-25\r\r\nNICKNAME:Ine\r\r\n"
         "NOTE:a\\nb\x07\r\r\nEND:VCARD\r\r\n"
         "BEGIN:VCARD\r\r\nVERSION:3.0\r\r\nN:;;;;\r\r\nFN:\r\r\nORG:Bar Pepe;\r\r\n"
         "TEL:+34 622\r\r\nEND:VCARD\r\r\n"
         "BEGIN:VCARD\r\r\nVERSION:3.0\r\r\nN:;;;;\r\r\nTEL:+34 633\r\r\nEND:VCARD\r\r\n"
         "BEGIN:VCARD\r\r\nVERSION:3.0\r\r\nX-ADDRESSBOOKSERVER-KIND:group\r\r\nFN:Amigos\r\r\n"
         "END:VCARD\r\r\n",
         {contact({"Inés", "Domínguez Ortiz", nullopt, nullopt, "91 000 00 00", "ines@t.es",
                   nullopt,
                   "a\nb\nApodo: Ine\nTeléfono (móvil): 600 000 000\nFecha de nacimiento: 25/07",
                   nullopt}),
          contact({"Bar Pepe", nullopt, nullopt, nullopt, "+34 622"}),
          contact({"+34 633", nullopt, nullopt, nullopt, "+34 633"})},
         1},
        {"CR alone, a 4.0 group",
         Format::VCard,
         "BEGIN:VCARD\rVERSION:4.0\rKIND:group\rFN:Club\rEND:VCARD\rBEGIN:VCARD\rVERSION:3.0\r"
         "FN:Ana\rEND:VCARD\r",
         {contact({"Ana"})},
         1},
        // What an empty book exports: no card, and nothing wrong.
        {"an empty export", Format::VCard, "\r\n", {}},
        // A card that cannot be read is reported at its line; the others are read.
        {"a card without END",
         Format::VCard,
         "BEGIN:VCARD\nVERSION:3.0\nFN:Ana\nEND:VCARD\n\nBEGIN:VCARD\nVERSION:3.0\nFN:Eva\n",
         {contact({"Ana"})},
         0,
         {},
         {6}},
        {"an unknown character set",
         Format::VCard,
         "BEGIN:VCARD\nVERSION:2.1\nN;CHARSET=KOI8-R:x;y\nEND:VCARD\n",
         {},
         0,
         {},
         {1},
         {"KOI8-R"}},
        {"3.0 not in UTF-8",
         Format::VCard,
         "BEGIN:VCARD\nVERSION:3.0\nN:Pe\xF1"
         "a;Ana\nEND:VCARD\n",
         {},
         0,
         {},
         {1}},
        {"a line without a colon",
         Format::VCard,
         "BEGIN:VCARD\nVERSION:3.0\nFN:Ana\nEND:VCARD\nBEGIN:VCARD\nVERSION:3.0\nsuelta\n"
         "END:VCARD\nBEGIN:VCARD\nVERSION:3.0\nFN:Eva\nEND:VCARD\n",
         {contact({"Ana"}), contact({"Eva"})},
         0,
         {1, 9},
         {5},
         {"línea 7"}},
        {"not a card", Format::VCard, "Nombre,Apellido\nAna,Ruiz\n", {}, 0, {}, {1}},
    };
}

}  // namespace

class TestVCard : public QObject {
    Q_OBJECT

  private slots:
    void reads_data() { formattest::addRows(cases()); }
    void reads() { formattest::checkRow(cases()); }

    // Cards as other programs write them, one at a time: Nombre is never
    // null (given name, else full name, company, e-mail, phone; else an empty
    // text), and every property is in a field or a labelled line.
    void oneCardAtATime() {
        struct Case {
            const char* lines;
            const char* nombre;
            const char* info;
        };
        const Case cases[] = {
            {"N:Gil;Eva;;;\nFN:Eva Gil", "Eva", ""},
            {"N:Gil;;;;\nFN:Eva Gil", "Eva", ""},
            {"N:Gil;;;;\nFN:Gil, Eva", "Gil, Eva", ""},
            {"N:Gil;;;;", "Gil", ""},
            {"FN:\nORG:Bar Pepe;Cocina", "Bar Pepe", "Departamento: Cocina"},
            {"EMAIL;TYPE=HOME:\nEMAIL:b@x.es\nTEL:600", "b@x.es", ""},
            {"TEL;TYPE=WORK:600\nTEL;TYPE=CELL;PREF:611", "611", "Teléfono (trabajo): 600"},
            {"NOTE:solo una nota", "", "solo una nota"},
            {"N:;Ana\nVERSION:2.1\nTEL;HOME:1\nTEL;CELL;PREF:2", "Ana", "Teléfono (casa): 1"},
            {"N:;Ana\nVERSION:4.0\nEMAIL:a@x\nEMAIL;PREF=1;TYPE=work:b@x", "Ana", "e-mail: a@x"},
            {"N:;Ana\nURL;TYPE=work:https://x.es\nTITLE:Jefa\nROLE:Ventas", "Ana",
             "Cargo: Jefa\nFunción: Ventas\nWeb (trabajo): https://x.es"},
            {"N:;Ana\nNICKNAME:Ani,Nana\nCATEGORIES:amigos,club", "Ana",
             "Apodo: Ani, Nana\nCategorías: amigos, club"},
            {"N:;Ana\nANNIVERSARY:20100612\nX-ANNIVERSARY:2011-06-12", "Ana",
             "Aniversario: 12/06/2010\nAniversario: 12/06/2011"},
            {"N:;Ana\nBDAY:16040101", "Ana", "Fecha de nacimiento: 01/01"},
            {"N:;Ana\nBDAY:1990-01-02\nBDAY:--0203", "Ana", "Fecha de nacimiento: 03/02"},
            {"N:;Ana\nX-SKYPE:ana.gil\nIMPP:xmpp:ana@x", "Ana",
             "Mensajería (skype): ana.gil\nMensajería (xmpp): xmpp:ana@x"},
            {"N:;Ana\nADR;TYPE=work:;;C/ A 1;Soria;;42001;España\nADR;TYPE=home;TYPE=pref:;;C/ "
             "B 2;Ávila;;;",
             "Ana", "Dirección (trabajo): C/ A 1, 42001 Soria, España"},
        };
        for (const Case& c : cases) {
            const auto r = contactFromVcard(std::string("BEGIN:VCARD\nVERSION:3.0\n") + c.lines +
                                            "\nEND:VCARD\n");
            QVERIFY2(r.contact, c.lines);
            QVERIFY2(r.contact->at(kNombre) == std::string(c.nombre), c.lines);
            QVERIFY2(r.contact->at(kMasInfo).value_or("") == c.info, c.lines);
            // What went to "Mas info" beside the note, as the sync is told.
            const bool note = std::string_view(c.lines).starts_with("NOTE");
            QVERIFY2(r.extra == (note ? "" : c.info), c.lines);
        }
    }

    // The book's two address fields and a card's ADR, both ways: what a
    // card says is read into them, and what they hold is written so that it
    // reads back the same.
    void addressFields_data() {
        // Each ADR, the two fields it reads as ("~": null), and the ADR they
        // are written as.
        testrows::texts(
            {"adr", "domicilio", "localidad", "written"},
            {
                {"street, town, region, postal code", ";;Calle Mayor 1;Madrid;Madrid;28001;España",
                 "Calle Mayor 1", "28001 Madrid/Madrid", ";;Calle Mayor 1;28001 Madrid;Madrid;;"},
                {"extended address and post box after the street",
                 "Apartado 3;Portal 2;Calle Mayor 1;Soria;;;",
                 "Calle Mayor 1, Portal 2, Apartado 3", "Soria",
                 ";;Calle Mayor 1\\, Portal 2\\, Apartado 3;Soria;;;"},
                {"a region alone", ";;;;Soria;;", "~", "Soria", ";;;Soria;;;"},
                {"a postal code alone", ";;C/ Sol 2;;;42001;", "C/ Sol 2", "42001",
                 ";;C/ Sol 2;42001;;;"},
                {"a slash at an end stays in the town", ";;;/Soria;;;", "~", "/Soria",
                 ";;;/Soria;;;"},
                {"a slash in the town splits it", ";;;Soria/Castilla;;;", "~", "Soria/Castilla",
                 ";;;Soria;Castilla;;"},
            });
    }

    void addressFields() {
        QFETCH(QString, adr);
        QFETCH(QString, domicilio);
        QFETCH(QString, localidad);
        QFETCH(QString, written);
        const auto r = contactFromVcard(
            "BEGIN:VCARD\nVERSION:3.0\nN:;Ana\nADR:" + adr.toStdString() + "\nEND:VCARD\n");
        QVERIFY(r.contact);
        const Contact& c = *r.contact;
        QCOMPARE(QString::fromStdString(c[kDomicilio].value_or("~")), domicilio);
        QCOMPARE(QString::fromStdString(c[kLocalidad].value_or("~")), localidad);
        const std::string card = vcardFromContact(c);
        QVERIFY2(card.find("\r\nADR:" + written.toStdString() + "\r\n") != std::string::npos,
                 card.c_str());
        const auto back = contactFromVcard(card);
        QCOMPARE(back.contact->at(kDomicilio), c[kDomicilio]);
        QCOMPARE(back.contact->at(kLocalidad), c[kLocalidad]);
    }

    // Our own card, byte for byte: the order of its lines, the forms of
    // each, and X-ORVANE-NULL for the nulls that N and ADR cannot show.
    void ourCardByteForByte_data() {
        QTest::addColumn<Contact>("c");
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QByteArray>("card");
        const QByteArray head = "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Orvane//orvane-db//ES\r\n";
        QTest::newRow("every field")
            << contact({"Ana", "Gil", "C/ Mayor 1", "28001 Madrid/Madrid", "600 111 222",
                        "ana@x.es", "12345", "una; nota", "1980-03-05"})
            << ""
            << head +
                   "N:Gil;Ana;;;\r\nFN:Ana Gil\r\nADR:;;C/ Mayor 1;28001 Madrid;Madrid;;\r\n"
                   "TEL:600 111 222\r\nEMAIL:ana@x.es\r\nX-ICQ:12345\r\nBDAY:1980-03-05\r\n"
                   "NOTE:una\\; nota\r\nEND:VCARD\r\n";
        QTest::newRow("nulls named, a birthday that is no date")
            << contact({"Ana", nullopt, nullopt, "Soria", nullopt, "", nullopt, nullopt, "pronto"})
            << ""
            << head +
                   "N:;Ana;;;\r\nFN:Ana\r\nADR:;;;Soria;;;\r\nEMAIL:\r\nBDAY;VALUE=text:pronto\r\n"
                   "X-ORVANE-NULL:Apellido,Domicilio\r\nEND:VCARD\r\n";
        QTest::newRow("no address: its nulls unnamed")
            << contact({"", "Gil"}) << "" << head + "N:Gil;;;;\r\nFN:Gil\r\nEND:VCARD\r\n";
        // What the sync uploads: the card's UID after PRODID.
        QTest::newRow("a UID") << contact({"Ana", "Ruiz", nullopt, nullopt, "600"}) << "abc,123"
                               << head +
                                      "UID:abc\\,123\r\nN:Ruiz;Ana;;;\r\nFN:Ana Ruiz\r\n"
                                      "TEL:600\r\nEND:VCARD\r\n";
    }

    void ourCardByteForByte() {
        QFETCH(Contact, c);
        QFETCH(QString, uid);
        QFETCH(QByteArray, card);
        QCOMPARE(QByteArray::fromStdString(vcardFromContact(c, uid.toStdString())), card);
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

    // Unfolding costs in the length of the card: doubling a folded value
    // doubles the work (it once grew with the square).
    void unfoldingIsLinear() {
        std::size_t last = 0;
        for (int n : {20000, 40000, 80000}) {
            std::vector<std::string> lines(static_cast<std::size_t>(n),
                                           " xxxxxxxxxxxxxxxxxxxxxxxx");
            lines[0] = "NOTE;ENCODING=QUOTED-PRINTABLE:a=";
            std::vector<std::pair<std::string_view, long>> body;
            for (const std::string& l : lines) body.emplace_back(l, 1);
            std::size_t steps = 0;
            const auto logical = unfold(body, false, &steps);
            QCOMPARE(logical.size(), std::size_t(1));
            QVERIFY2(steps < 4 * 26 * static_cast<std::size_t>(n),
                     qPrintable(QString::number(steps)));
            if (last) QVERIFY(steps < 3 * last);
            last = steps;
        }
    }

    // What the book changed is written into the card it came from, in the
    // card's own version's forms; what the book has no field for stays.
    void bookChangesIntoTheCard_data() {
        QTest::addColumn<QString>("card");
        QTest::addColumn<QStringList>("change");  // "column=value"
        QTest::addColumn<QStringList>("expect");  // logical lines the new card holds
        QTest::addColumn<QStringList>("gone");    // that it no longer holds
        QTest::addColumn<QStringList>("back");    // fields read back otherwise than written
        const QString v4 =
            "BEGIN:VCARD\r\nVERSION:4.0\r\nN:Sanz;Eva;;;\r\nFN:Eva Sanz\r\n"
            "ADR;LABEL=\"Calle Mayor 1\\n28001 Madrid\";TYPE=home:;;Calle Mayor 1;"
            "Madrid;Madrid;28001;España\r\nTEL;VALUE=uri:tel:+34600111222\r\n"
            "BDAY:19800101\r\nEND:VCARD\r\n";
        const QString v3 =
            "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Sanz;Eva;;;\r\nFN:Eva Sanz\r\n"
            "item1.ADR;TYPE=home:;Portal 2;Calle Mayor 1;Madrid;Madrid;28001;España\r\n"
            "item1.LABEL:Calle Mayor 1\\, Portal 2\\n28001 Madrid\r\n"
            "TEL;TYPE=cell:600111222\r\nBDAY:1980-01-01\r\nEND:VCARD\r\n";
        QTest::newRow("4.0 street")
            << v4 << QStringList{"Domicilio=Calle Nueva 2"}
            << QStringList{"ADR;LABEL=\"Calle Nueva 2\\n28001 Madrid\\nEspaña\";TYPE=home:;;Calle "
                           "Nueva 2;Madrid;Madrid;28001;España"}
            << QStringList{"Calle Mayor"} << QStringList{};
        QTest::newRow("4.0 town and postal code")
            << v4 << QStringList{"Localidad/Provincia=08001 Barcelona/Barcelona"}
            << QStringList{"ADR;LABEL=\"Calle Mayor 1\\n08001 Barcelona\\nEspaña\";TYPE=home:;;Calle "
                           "Mayor 1;Barcelona;Barcelona;08001;España"}
            << QStringList{} << QStringList{};
        QTest::newRow("4.0 phone and birthday")
            << v4 << QStringList{"Telefono=+34 600 999 888", "Fecha de nacimiento=1981-05-16"}
            << QStringList{"TEL;VALUE=uri:tel:+34600999888", "BDAY:19810516"}
            << QStringList{"1981-05-16"}
            // A tel: URI has no blanks: the book gets the number as the card holds it.
            << QStringList{"Telefono=+34600999888"};
        QTest::newRow("3.0 street keeps the extended address, LABEL follows")
            << v3 << QStringList{"Domicilio=Calle Nueva 2, Portal 2"}
            << QStringList{"item1.ADR;TYPE=home:;Portal 2;Calle Nueva 2;Madrid;Madrid;28001;España",
                           "item1.LABEL:Calle Nueva 2\\, Portal 2\\n28001 Madrid\\nEspaña"}
            << QStringList{"Calle Mayor"} << QStringList{};
        QTest::newRow("3.0 phone and birthday")
            << v3 << QStringList{"Telefono=600 999 888", "Fecha de nacimiento=1981-05-16"}
            << QStringList{"TEL;TYPE=cell:600 999 888", "BDAY:1981-05-16"} << QStringList{}
            << QStringList{};
    }
    void bookChangesIntoTheCard() {
        QFETCH(QString, card);
        QFETCH(QStringList, change);
        QFETCH(QStringList, expect);
        QFETCH(QStringList, gone);
        QFETCH(QStringList, back);
        Reading read;
        readVCards(card.toStdString(), read);
        QCOMPARE(read.contacts.size(), std::size_t(1));
        const auto& kept = read.contacts[0].kept;
        Contact wanted = read.contacts[0].contact;
        QVERIFY(QString::fromStdString(*wanted[kMasInfo]).contains("País: España"));
        // Nothing changed: the card goes back as it came.
        QCOMPARE(cardsOf(cardFromKept(wanted, {}, kept)), cardsOf(card.toStdString()));
        for (const QString& c : change) {
            wanted[formattest::column(c.section('=', 0, 0))] = c.section('=', 1).toStdString();
        }
        const std::string out = cardFromKept(wanted, {}, kept);
        const auto lines = cardsOf(out).at(0);
        for (const QString& e : expect)
            QVERIFY2(std::find(lines.begin(), lines.end(), e.toStdString()) != lines.end(),
                     qPrintable(e + "\n" + QString::fromStdString(out)));
        for (const QString& g : gone)
            QVERIFY2(!QString::fromStdString(out).contains(g), qPrintable(out.c_str()));
        // Read again, the card gives the book's fields, and the country stays in Mas info.
        for (const QString& c : back) {
            wanted[formattest::column(c.section('=', 0, 0))] = c.section('=', 1).toStdString();
        }
        const auto again = contactFromVcard(out);
        QVERIFY(again.contact);
        for (std::size_t col = kNombre; col < kColumnCount; ++col)
            QCOMPARE(QString::fromStdString((*again.contact)[col].value_or("<null>")),
                     QString::fromStdString(wanted[col].value_or("<null>")));
    }

    // What a phone adds to a card of ours reaches the book.
    void aPhonesAdditionsToOurCard() {
        Contact c = contact({"Eva", "Sanz", nullopt, nullopt, "600111222"});
        std::string card = vcardFromContact(c, "eva-1");
        card.insert(card.find("END:VCARD"),
                    "ORG:Acme;Ventas\r\nTEL;TYPE=CELL:699000111\r\nPHOTO;ENCODING=b:AAAA\r\n");
        const auto read = contactFromVcard(card);
        QVERIFY(read.contact);
        const QString info = QString::fromStdString(read.contact->at(kMasInfo).value_or(""));
        QCOMPARE(info, QString("Empresa: Acme\nDepartamento: Ventas\nTeléfono (móvil): 699000111"));
        QCOMPARE(read.contact->at(kTelefono), Value("600111222"));
        QVERIFY(!read.kept.empty());
    }
};

QTEST_APPLESS_MAIN(TestVCard)
#include "tst_vcard.moc"
