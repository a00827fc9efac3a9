// CSV: files in the shapes spreadsheets, mail programs and other contact
// books write, read into the book's fields and "Mas info"; the records,
// header and date order of each; what cannot be read; and what our writer
// does with cells a spreadsheet would run.

#include <QStringEncoder>
#include <QTest>

#include "exchange/card.h"
#include "exchange/csv.h"
#include "exchange/csvheaders.h"
#include "exchange/import.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "support/formattest.h"
#include "support/storetest.h"

using namespace orv;
using namespace orv::exchange;
using std::nullopt;
using storetest::contact;

namespace {

std::string utf16(const std::string& text, QStringConverter::Encoding order) {
    QStringEncoder to(order, QStringEncoder::Flag::WriteBom);
    return QByteArray(to(QString::fromStdString(text))).toStdString();
}

std::vector<formattest::Case> cases() {
    std::vector<formattest::Case> all = {
        {"our own header, a byte order mark, semicolons",
         Format::Csv,
         "\xEF\xBB\xBF"
         "Apellido;fecha de nacimiento;Nombre;Codigo\r\n"
         "Muñoz;21/03/1975;Begoña;17\r\n"
         ";;\"\";\r\n",
         // Codes are the store's own; empty is null, quoted empty the empty text.
         {contact({"Begoña", "Muñoz", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt,
                   "1975-03-21"}),
          contact({"", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt})},
         0,
         {2, 3}},
        // What `mdb-export -D '%Y-%m-%d' -T '%Y-%m-%d %H:%M:%S' orv.mdb Registros`
        // writes: a plain header, numbers bare, texts and dates double-quoted,
        // nulls as nothing, LF line ends, memo line breaks as they are.
        {"the shape mdb-export writes",
         Format::Csv,
         "Codigo,Nombre,Apellido,Domicilio,Localidad/Provincia,Telefono,e-mail,ICQ,Mas info,"
         "Fecha de nacimiento\n"
         "1,\"Álvaro\",\"Muñoz\",\"C/ Mayor, 5\",\"Madrid/Madrid\",\"91 555 12 34\","
         "\"alvaro@correo.es\",\"123456\",\"Línea 1\r\nLínea \"\"2\"\"\",\"1975-03-21 "
         "00:00:00\"\n"
         "2,\"Begoña\",,,,,,,,\n"
         "3,\"\",\"\",,,,,,,\"2001-12-31\"\n",
         {contact({"Álvaro", "Muñoz", "C/ Mayor, 5", "Madrid/Madrid", "91 555 12 34",
                   "alvaro@correo.es", "123456", "Línea 1\nLínea \"2\"", "1975-03-21"}),
          contact(
              {"Begoña", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt}),
          contact({"", "", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, "2001-12-31"})}},
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
        {"windows-1252, a quoted line break",
         Format::Csv,
         "Nombre,Apellido\r\nJos\xE9,Mu\xF1oz\r\n\"Ma\r\nr\xED"
         "a\",\r\n",
         {contact({"José", "Muñoz"}), contact({"Ma\nría"})}},
        // Another program's unknown column is kept as a line; beside ours
        // it is a mistake, and the problem says what is known.
        {"an unknown column beside another program's",
         Format::Csv,
         "First Name,Hobby\nAna,vela\n",
         {contact({"Ana", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, "Hobby: vela"})}},
        {"an unknown column",
         Format::Csv,
         "Nombre,Edad,Apellido\nAna,30,Ruiz\n",
         {},
         0,
         {},
         {1},
         {"\"Edad\"", "Mas info", "Google", "Outlook", "Thunderbird", "abook"}},
        {"a column twice", Format::Csv, "Nombre,nombre\nAna,Eva\n", {}, 0, {}, {1}},
        {"a bad record spoils only itself",
         Format::Csv,
         "Nombre,Mas info,Fecha de nacimiento\n"
         "Ana,\"dos\nlíneas\",01/01/1990\n"
         "Eva,x,31/02/1990\n"
         "Pío,solo dos\n"
         "Raúl,\"sin cerrar,01/01/1990\n",
         {contact({"Ana", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, "dos\nlíneas",
                   "1990-01-01"})},
         0,
         {2},
         // After a record of two lines.
         {4, 5, 6},
         {"31/02/1990"}},
        {"an empty file", Format::Csv, "", {}, 0, {}, {1}},
        {"UTF-16 cut in half",
         Format::Csv,
         "\xFF\xFEx",
         {},
         0,
         {},
         {1},
         {"texto UTF-16 cortado o mal formado"}},
    };
    // Google's, in UTF-16 both ways.
    for (auto order : {QStringConverter::Utf16LE, QStringConverter::Utf16BE}) {
        formattest::Case c = all[2];
        c.name = order == QStringConverter::Utf16LE ? "google, UTF-16LE" : "google, UTF-16BE";
        c.text = utf16(c.text, order);
        all.push_back(c);
    }
    return all;
}

}  // namespace

class TestCsv : public QObject {
    Q_OBJECT

  private slots:
    void reads_data() { formattest::addRows(cases()); }
    void reads() { formattest::checkRow(cases()); }

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

    // The order of day and month: from the column's own dates, else from the
    // header's language, and then said.
    void dateOrder_data() {
        QTest::addColumn<QString>("csv");
        QTest::addColumn<QStringList>("dates");
        QTest::addColumn<QString>("assumed");
        // Business Phone: a name only Outlook in English writes.
        const QString en = "First Name,Last Name,Business Phone,Birthday\n";
        QTest::newRow("english header, days above 12")
            << en + "Ana,A,,29/02/2000\nLuis,B,,14/03/1975\nEva,C,,05/03/1980\n"
            << QStringList{"2000-02-29", "1975-03-14", "1980-03-05"} << "";
        QTest::newRow("english header, months told")
            << en + "Ana,A,,3/14/1975\nLuis,B,,05/03/1980\n"
            << QStringList{"1975-03-14", "1980-05-03"} << "";
        QTest::newRow("english header, cannot tell")
            << en + "Ana,A,,05/03/1980\nLuis,B,,07/07/1970\n"
            << QStringList{"1980-05-03", "1970-07-07"} << "mes/día";
        QTest::newRow("spanish header, cannot tell")
            << "Nombre,Apellidos,Cumpleaños\nAna,A,05/03/1980\n"
            << QStringList{"1980-03-05"} << "día/mes";
        QTest::newRow("spanish header, months told")
            << "Nombre,Apellidos,Cumpleaños\nAna,A,12/31/1980\nLuis,B,05/03/1980\n"
            << QStringList{"1980-12-31", "1980-05-03"} << "";
    }
    void dateOrder() {
        QFETCH(QString, csv);
        QFETCH(QStringList, dates);
        QFETCH(QString, assumed);
        const auto r = readContacts(csv.toStdString(), Format::Csv);
        QVERIFY(r.problems.empty());
        QCOMPARE(r.contacts.size(), std::size_t(dates.size()));
        for (int i = 0; i < dates.size(); ++i)
            QCOMPARE(QString::fromStdString(r.contacts[i].contact[kFecha].value_or("")), dates[i]);
        QCOMPARE(QString::fromStdString(r.assumedOrder), assumed);
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
};

QTEST_APPLESS_MAIN(TestCsv)
#include "tst_csv.moc"
