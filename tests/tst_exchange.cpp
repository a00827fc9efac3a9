// Files in the shapes other programs write, read into contacts field by
// field: nothing lost (each value in a column or in "Mas info") and nothing
// invisible (every contact has a Nombre).

#include <QStringEncoder>
#include <QTest>

#include <cstring>
#include <random>

#include "exchange/card.h"
#include "exchange/csv.h"
#include "exchange/csvheaders.h"
#include "exchange/import.h"
#include "exchange/stream.h"
#include "exchange/vcard.h"
#include "support/storetest.h"

using namespace orv;
using namespace orv::exchange;
using std::nullopt;
using storetest::contact;

Q_DECLARE_METATYPE(orv::exchange::Format)

namespace {

struct Source {
    const char* name;
    Format format;
    std::string text;
    std::vector<Contact> expected;
    std::size_t groups = 0;
};

std::vector<Source> sources() {
    return {
        {"google",
         Format::Csv,
         "First Name,Middle Name,Last Name,Phonetic First Name,Nickname,File As,Organization Name,"
         "Organization Title,Birthday,Notes,Photo,Labels,E-mail 1 - Label,E-mail 1 - Value,"
         "E-mail 2 - Label,E-mail 2 - Value,Phone 1 - Label,Phone 1 - Value,Phone 2 - Label,"
         "Phone 2 - Value,Address 1 - Label,Address 1 - Formatted,Address 1 - Street,"
         "Address 1 - City,Address 1 - PO Box,Address 1 - Region,Address 1 - Postal Code,"
         "Address 1 - Country,Address 1 - Extended Address,Website 1 - Label,Website 1 - Value\r\n"
         "José,Luis,García ,,Pepe,,Acme,Jefe,--07-25,\"Dos\r\nlíneas\",,* myContacts ::: Amigos,"
         "Home,jose@casa.es,* Work,jose@acme.es,Mobile,600 111 222,* Work,910 000 000,Home,"
         "\"C/ Sol 1\nMadrid\",C/ Sol 1,Madrid,,Madrid,28013,España,,Blog,https://pepe.es\r\n"
         ",,,,,,Talleres Ruiz,,1980-02-29,,,,,,,,Work,944 000 000,,,,,,,,,,,,,\r\n",
         {contact({"José Luis", "García", "C/ Sol 1", "28013 Madrid/Madrid", "910 000 000",
                   "jose@acme.es", nullopt,
                   "Dos\nlíneas\nApodo: Pepe\nEmpresa: Acme\nCargo: Jefe\nPaís: España\n"
                   "Teléfono (móvil): 600 111 222\ne-mail (casa): jose@casa.es\n"
                   "Web (blog): https://pepe.es\nFecha de nacimiento: 25/07\nCategorías: Amigos",
                   nullopt}),
          contact({"Talleres Ruiz", nullopt, nullopt, nullopt, "944 000 000", nullopt, nullopt,
                   nullopt, "1980-02-29"})}},
        {"google legacy",
         Format::Csv,
         "Name,Given Name,Additional Name,Family Name,Birthday,Gender,Notes,Group Membership,"
         "E-mail 1 - Type,E-mail 1 - Value,Phone 1 - Type,Phone 1 - Value,Organization 1 - Type,"
         "Organization 1 - Name\n"
         "Ana Ruiz,Ana,,Ruiz,1975-03-21,female,,* My Contacts,* Home,ana@a.es ::: ana@b.es,"
         "Mobile,+34 600 ::: +34 611,,\n",
         {contact({"Ana", "Ruiz", nullopt, nullopt, "+34 600", "ana@a.es", nullopt,
                   "Teléfono (móvil): +34 611\ne-mail (casa): ana@b.es\nGender: female",
                   "1975-03-21"})}},
        {"outlook english",
         Format::Csv,
         "Title,First Name,Middle Name,Last Name,Suffix,Company,Job Title,Business Street,"
         "Business City,Business State,Business Postal Code,Business Country/Region,Home Street,"
         "Home City,Home Postal Code,Business Phone,Home Phone,Mobile Phone,Anniversary,Birthday,"
         "Categories,E-mail Address,E-mail Type,E-mail Display Name,E-mail 2 Address,Notes,"
         "Priority,Private,Sensitivity,Web Page\r\n"
         "Dr.,Peter,,O'Neil,,Big Co,CTO,1 Main St,Boston,MA,02110,United States of America,"
         "Calle Luna 2,Sevilla,41001,+1 617 555 0100,954 000 000,,0/0/00,3/21/1975,Clients;VIP,"
         "peter@big.com,SMTP,Peter O'Neil (peter@big.com),p@home.net,,Normal,False,Normal,\r\n",
         {contact({"Peter", "O'Neil", "1 Main St", "02110 Boston/MA", "+1 617 555 0100",
                   "peter@big.com", nullopt,
                   "Tratamiento: Dr.\nEmpresa: Big Co\nCargo: CTO\nPaís: United States of America\n"
                   "Dirección (casa): Calle Luna 2, 41001 Sevilla\nTeléfono (casa): 954 000 000\n"
                   "e-mail: p@home.net\nCategorías: Clients, VIP",
                   "1975-03-21"})}},
        {"outlook spanish, windows-1252, semicolons",
         Format::Csv,
         "Nombre;Segundo nombre;Apellidos;Organizaci\xF3n;Calle del domicilio;"
         "Ciudad de residencia;Provincia o estado de residencia;C\xF3"
         "digo postal de residencia;"
         "Particular;Tel\xE9"
         "fono m\xF3vil;Cumplea\xF1os;Direcci\xF3n de correo electr\xF3nico;"
         "Notas\r\n"
         "Mar\xED"
         "a;;N\xFA\xF1"
         "ez;;Av. Espa\xF1"
         "a 3;C\xE1"
         "ceres;C\xE1"
         "ceres;10001;"
         "927 000 000;;21/03/1975;maria@x.es;\r\n"
         ";;;Farmacia Le\xF3n;;;;;;;;;\r\n",
         {contact({"María", "Núñez", "Av. España 3", "10001 Cáceres/Cáceres", "927 000 000",
                   "maria@x.es", nullopt, nullopt, "1975-03-21"}),
          contact({"Farmacia León", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt,
                   nullopt})}},
        {"thunderbird",
         Format::Csv,
         "First Name,Last Name,Display Name,Nickname,Primary Email,Secondary Email,Screen Name,"
         "Work Phone,Home Phone,Fax Number,Pager Number,Mobile Number,Home Address,"
         "Home Address 2,Home City,Home State,Home ZipCode,Home Country,Work Address,"
         "Work Address 2,Work City,Work State,Work ZipCode,Work Country,Job Title,Department,"
         "Organization,Web Page 1,Web Page 2,Birth Year,Birth Month,Birth Day,Custom 1,Custom 2,"
         "Custom 3,Custom 4,Notes,\n"
         ",,lista@x.es,,lista@x.es,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,\n"
         "Eva,Gil,Eva Gil,,eva@x.es,,,,,,,611 222 333,,,,,,,,,,,,,,,,,,1990,2,3,,,,,,\n",
         {contact({"lista@x.es", nullopt, nullopt, nullopt, nullopt, "lista@x.es", nullopt, nullopt,
                   nullopt}),
          contact({"Eva", "Gil", nullopt, nullopt, "611 222 333", "eva@x.es", nullopt, nullopt,
                   "1990-02-03"})}},
        {"abook allcsv",
         Format::Csv,
         "#\"NAME\",\"EMAIL\",\"ADDRESS\",\"ADDRESS2\",\"CITY\",\"STATE\",\"ZIP\",\"COUNTRY\","
         "\"PHONE\",\"WORKPHONE\",\"FAX\",\"MOBILEPHONE\",\"NICK\",\"URL\",\"NOTES\","
         "\"ANNIVERSARY\",\"GROUPS\"\n"
         "\"Begoña Muñoz\",\"bego@a.es,bm@b.es\",\"C/ Mayor 5\",\"\",\"Soria\",\"\",\"\",\"\","
         "\"975000000\",\"\",\"\",\"\",\"Bego\",\"\",\"\",\"\",\"\"\n",
         {contact({"Begoña Muñoz", nullopt, "C/ Mayor 5", "Soria", "975000000", "bego@a.es",
                   nullopt, "Apodo: Bego\ne-mail: bm@b.es", nullopt})}},
        {"utf-16 with tabs",
         Format::Csv,
         [] {
             const std::u16string t = u"\uFEFFNombre\tApellido\nZoë\tÅberg\n";
             return std::string(reinterpret_cast<const char*>(t.data()), t.size() * 2);
         }(),
         {contact({"Zoë", "Åberg"})}},
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
        // An iPhone's export: CR CR LF, a year-less birthday, the preferred
        // number not first, an empty placeholder, a group, decomposed accents.
        {"iphone vcard",
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
    };
}

}  // namespace

class TestExchange : public QObject {
    Q_OBJECT

  private slots:
    void eachSourceFieldByField_data() {
        QTest::addColumn<int>("index");
        const auto all = sources();
        for (std::size_t i = 0; i < all.size(); ++i)
            QTest::newRow(all[i].name) << static_cast<int>(i);
    }
    void eachSourceFieldByField() {
        QFETCH(int, index);
        const Source s = sources()[static_cast<std::size_t>(index)];
        const Reading r = readContacts(s.text, s.format);
        for (const Problem& p : r.problems) qWarning("%ld: %s", p.line, p.reason.c_str());
        QVERIFY(r.problems.empty());
        QCOMPARE(r.groups, s.groups);
        QCOMPARE(r.contacts.size(), s.expected.size());
        for (std::size_t i = 0; i < s.expected.size(); ++i) {
            const Contact& got = r.contacts[i].contact;
            QVERIFY2(got == s.expected[i],
                     qPrintable("\n  expected " + storetest::show(s.expected[i]) + "\n  got      " +
                                storetest::show(got)));
            QVERIFY(got[kNombre]);
        }
    }

    // A file read as it comes, in pieces of any size (here 1 to 7 bytes, so
    // that line ends, UTF-8 and UTF-16 characters and byte order marks are
    // cut everywhere), gives what the whole text gives; read twice, it tells
    // when it changed in between.
    void aFileReadInPiecesReadsTheSame() {
        class Trickle : public ByteSource {
          public:
            explicit Trickle(std::string text) : text_(std::move(text)) {}
            std::size_t read(char* into, std::size_t n) override {
                n = std::min({n, text_.size() - pos_, std::size_t(1 + rng_() % 7)});
                std::memcpy(into, text_.data() + pos_, n);
                took(into, n);
                pos_ += n;
                return n;
            }
            void rewind() override {
                pos_ = 0;
                restart();
            }
            std::string text_;

          private:
            std::size_t pos_ = 0;
            std::mt19937 rng_{7};
        };
        std::vector<std::pair<std::string, Format>> texts;
        for (const Source& s : sources()) texts.emplace_back(s.text, s.format);
        // The same in UTF-16 both ways, in windows-1252, and a card file with CR alone.
        const QString csv = QString::fromStdString(sources()[0].text);
        for (auto order : {QStringConverter::Utf16LE, QStringConverter::Utf16BE}) {
            QStringEncoder to(order, QStringEncoder::Flag::WriteBom);
            texts.emplace_back(QByteArray(to(csv)).toStdString(), Format::Csv);
        }
        texts.emplace_back(
            "Nombre,Apellido\r\nJos\xE9,Mu\xF1oz\r\n\"Ma\r\nr\xED"
            "a\",\r\n",
            Format::Csv);
        texts.emplace_back("BEGIN:VCARD\rVERSION:3.0\rFN:Ana\rEND:VCARD\r", Format::VCard);
        for (const auto& [text, format] : texts) {
            const Reading whole = readContacts(text, format);
            Trickle source(text);
            FileReading file(source, format);
            Reading checked, read;
            file.check(checked);
            QVERIFY(file.read(read));
            QCOMPARE(checked.contactCount, whole.contacts.size());
            QCOMPARE(read.contacts.size(), whole.contacts.size());
            QCOMPARE(read.problems.size(), whole.problems.size());
            for (std::size_t i = 0; i < whole.contacts.size(); ++i) {
                QCOMPARE(storetest::show(read.contacts[i].contact),
                         storetest::show(whole.contacts[i].contact));
                QCOMPARE(read.contacts[i].line, whole.contacts[i].line);
                QCOMPARE(read.contacts[i].kept, whole.contacts[i].kept);
            }
            QCOMPARE(read.groups, whole.groups);
            QCOMPARE(read.assumedOrder, whole.assumedOrder);
            source.text_[source.text_.size() / 2] ^= 1;
            Reading again;
            QVERIFY(!file.read(again));
        }
    }

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
        QTest::addColumn<QString>("adr");
        QTest::addColumn<QString>("domicilio");  // "~": null
        QTest::addColumn<QString>("localidad");
        QTest::addColumn<QString>("written");  // the ADR written from the two fields
        QTest::newRow("street, town, region, postal code")
            << ";;Calle Mayor 1;Madrid;Madrid;28001;España"
            << "Calle Mayor 1"
            << "28001 Madrid/Madrid"
            << ";;Calle Mayor 1;28001 Madrid;Madrid;;";
        QTest::newRow("extended address and post box after the street")
            << "Apartado 3;Portal 2;Calle Mayor 1;Soria;;;"
            << "Calle Mayor 1, Portal 2, Apartado 3"
            << "Soria"
            << ";;Calle Mayor 1\\, Portal 2\\, Apartado 3;Soria;;;";
        QTest::newRow("a region alone") << ";;;;Soria;;"
                                        << "~"
                                        << "Soria"
                                        << ";;;Soria;;;";
        QTest::newRow("a postal code alone") << ";;C/ Sol 2;;;42001;"
                                             << "C/ Sol 2"
                                             << "42001"
                                             << ";;C/ Sol 2;42001;;;";
        QTest::newRow("a slash at an end stays in the town") << ";;;/Soria;;;"
                                                             << "~"
                                                             << "/Soria"
                                                             << ";;;/Soria;;;";
        QTest::newRow("a slash in the town splits it") << ";;;Soria/Castilla;;;"
                                                       << "~"
                                                       << "Soria/Castilla"
                                                       << ";;;Soria;Castilla;;";
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

    // Every slot word of the CSV header dictionary is one of ours, and every
    // name is written as headers are looked up (folded), so that none is
    // dead: a misspelling fails here, not silently at an import.
    void csvDictionaryIsSound() {
        const auto& problems = csvdict::dictionaryProblems();
        QVERIFY2(problems.empty(), problems.empty() ? "" : problems.front().c_str());
        for (const csvdict::Entry& e : csvdict::entries())
            QVERIFY2(csvdict::folded(e.name) == e.name, e.name.c_str());
        QVERIFY(csvdict::entries().size() > 100);
    }

    void groupsAndFormats() {
        const Reading g = readContacts(
            "BEGIN:VCARD\rVERSION:4.0\rKIND:group\rFN:Club\rEND:VCARD\rBEGIN:VCARD\rVERSION:4.0\r"
            "FN:Ana\rEND:VCARD\r",
            Format::VCard);
        QCOMPARE(g.groups, std::size_t(1));
        QCOMPARE(g.contacts.size(), std::size_t(1));
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
        const Reading broken = readContacts("\xFF\xFEx", Format::Csv);
        QCOMPARE(broken.problems.size(), std::size_t(1));
    }

    // A record that cannot be read is reported at its line; the others are read.
    void aBadRecordSpoilsOnlyItself() {
        struct Case {
            Format format;
            const char* text;
            std::size_t contacts;
            std::vector<long> lines;
        };
        const Case cases[] = {
            {Format::VCard,
             "BEGIN:VCARD\nVERSION:3.0\nFN:Ana\nEND:VCARD\nBEGIN:VCARD\nVERSION:3.0\nsuelta\n"
             "END:VCARD\nBEGIN:VCARD\nVERSION:3.0\nFN:Eva\nEND:VCARD\n",
             2,
             {5}},
            {Format::Ldif,
             "dn: cn=a\ncn: Ana\nroto\n\ndn: cn=b\ncn:: %%%\n\ndn: cn=c\ncn: Eva\n",
             1,
             {1, 5}},
            {Format::Abook, "[0]\nname=Ana\nsuelta\n", 1, {3}},
        };
        for (const Case& c : cases) {
            const Reading r = readContacts(c.text, c.format);
            QVERIFY2(r.contacts.size() == c.contacts, c.text);
            std::vector<long> lines;
            for (const Problem& p : r.problems) lines.push_back(p.line);
            QVERIFY2(lines == c.lines, c.text);
        }
    }

    void anUnknownHeaderSaysWhatIsKnown() {
        const Reading r = readContacts("Nombre,Edad\nAna,30\n", Format::Csv);
        QCOMPARE(r.problems.size(), std::size_t(1));
        const std::string& why = r.problems[0].reason;
        for (const char* part :
             {"\"Edad\"", "Mas info", "Google", "Outlook", "Thunderbird", "abook"})
            QVERIFY2(why.find(part) != std::string::npos, why.c_str());
        // Beside another program's columns, an unknown one is kept as a line.
        const Reading g = readContacts("First Name,Hobby\nAna,vela\n", Format::Csv);
        QVERIFY(g.problems.empty());
        QCOMPARE(*g.contacts[0].contact[kMasInfo], std::string("Hobby: vela"));
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

    void cleanTexts() {
        QCOMPARE(cleanText("e\xCC\x81 n\xCC\x83"), std::string("é ñ"));
        using namespace std::literals;
        QCOMPARE(cleanText("a\r\nb\rc\x1B[31m\x00"
                           "d\xC2\x9B"sv),
                 std::string("a\nb\nc[31md"));
        QCOMPARE(cleanText("  José\t", true), std::string("José"));
        QCOMPARE(printable("a\x1B[2Jb\tc"), std::string("a\\x1b[2Jb\\tc"));
    }

    // A stored birthday that is no date (another program wrote it): the CSV
    // keeps it readable in "Mas info", the vCard as text; both read back.
    void aStoredNonDateExportsReadably() {
        for (const char* date : {"hace años", "2001-02-30"}) {
            const Contact c = contact(
                {"Ana", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, "nota", date});
            bool moved = false;
            const Reading csv = readContacts(csvHeader() + csvRecord(c, &moved), Format::Csv);
            QVERIFY(moved && csv.problems.empty());
            QVERIFY(!csv.contacts[0].contact[kFecha]);
            QCOMPARE(*csv.contacts[0].contact[kMasInfo],
                     std::string("nota\nFecha de nacimiento: ") + date);
            const Reading card = readContacts(vcardFromContact(c), Format::VCard);
            QVERIFY(card.problems.empty() && card.contacts[0].contact == c);
        }
    }

    // A cell a spreadsheet would run is written after an apostrophe, which
    // it shows as text; phone numbers and plain numbers stay as they are;
    // our own import gives back every text exactly.
    void formulaCellsAreWrittenAsText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cell");  // as written, before CSV quoting
        const char* const cases[][2] = {
            {"=HYPERLINK(\"http://x.example\";\"pulse\")", "'=HYPERLINK("},
            {"@SUM(1+1)*cmd|' /C calc'!A0", "'@SUM(1+1)"},
            {"-2+3+cmd|' /C calc'!A0", "'-2+3+cmd"},
            {"+1+1", "'+1+1"},
            {"-1-1", "'-1-1"},
            {"\tcon tabulador", "'\tcon"},
            {"\r=1", "'\r=1"},
            {"+34 600 111 222", "+34 600 111 222"},
            {"+1 (555) 010-0199", "+1 (555) 010-0199"},
            {"-", "-"},
            {"+", "+"},
            {"-12,5", "-12,5"},
            {"- una lista", "'- una lista"},
            {"'ya con apóstrofo", "''ya con apóstrofo"},
            {"'=1", "''=1"},
            {"'", "''"},
            {"a=1", "a=1"},
        };
        for (const auto& c : cases) QTest::newRow(c[0]) << QString(c[0]) << QString(c[1]);
    }
    void formulaCellsAreWrittenAsText() {
        QFETCH(QString, text);
        QFETCH(QString, cell);
        const std::string t = text.toStdString(), want = cell.toStdString();
        QCOMPARE(markedCell(t).substr(0, want.size()), want);
        QCOMPARE(std::string(unmarkedCell(markedCell(t))), t);
        // In every column a text can be, read back exactly by our import.
        const Contact c = contact({t, t, t, t, t, t, t, t, nullopt});
        const std::string line = csvRecord(c);
        QVERIFY2(line.find(",=") == std::string::npos && line.find(",\"=") == std::string::npos &&
                     line.find(",@") == std::string::npos,
                 line.c_str());
        const Reading back = readContacts(csvHeader() + line, Format::Csv);
        QVERIFY(back.problems.empty());
        Contact expected = c;
        cleanContact(expected);  // a stored carriage return reads back as a line break
        QCOMPARE(storetest::show(back.contacts[0].contact), storetest::show(expected));
    }

    // What the sync shares: one card in, one card out with its UID.
    void oneCardEachWay() {
        const Contact c = contact({"Ana", "Ruiz", nullopt, nullopt, "600"});
        const std::string card = vcardFromContact(c, "abc-123");
        QVERIFY(card.find("\r\nUID:abc-123\r\n") != std::string::npos);
        const CardResult back = contactFromVcard(card);
        QVERIFY(back.contact && *back.contact == c);
        const CardResult phone =
            contactFromVcard("BEGIN:VCARD\nVERSION:3.0\nFN:Eva\nORG:Acme\nEND:VCARD\n");
        QCOMPARE(phone.extra, std::string("Empresa: Acme"));
    }
};

QTEST_APPLESS_MAIN(TestExchange)
#include "tst_exchange.moc"
