// Files as phones and mail programs write them (tests/data), through the
// book and out again: where each property goes, that nothing is lost on the
// way back out, and what the sync writes into a card it did not make.

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include "exchange/csv.h"
#include "exchange/import.h"
#include "exchange/vcard.h"
#include "store/sql.h"
#include "support/storetest.h"
#include "sync/mapping.h"

using orv::Contact;
using storetest::runTool;

namespace {

QString data(const QString& name) {
    return QStringLiteral(ORV_SOURCE_DIR) + "/tests/data/" + name;
}

// A file's cards as sorted lists of logical lines: folding undone, and the
// blanks a fold leaves in base64 dropped, so that two cards compare
// property by property, order and folding aside.
std::vector<std::vector<std::string>> cardsOf(const std::string& text) {
    std::vector<std::vector<std::string>> cards;
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = std::min(text.find('\n', pos), text.size());
        std::string l = text.substr(pos, end - pos);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
        pos = end + 1;
    }
    std::vector<std::pair<std::string_view, long>> body;
    bool v21 = false;
    for (const std::string& l : lines) {
        if (l == "BEGIN:VCARD") {
            body.clear();
            v21 = false;
        } else if (l == "END:VCARD") {
            std::vector<std::string> card;
            for (auto& logical : orv::exchange::unfold(body, v21)) {
                std::string t = logical.text;
                std::string head = t.substr(0, orv::exchange::valueColon(t));
                std::transform(head.begin(), head.end(), head.begin(), ::toupper);
                if (head.find("BASE64") != std::string::npos ||
                    head.find("ENCODING=B") != std::string::npos ||
                    t.find("base64,") != std::string::npos)
                    std::erase_if(t, [](char c) { return c == ' ' || c == '\t'; });
                card.push_back(t);
            }
            std::sort(card.begin(), card.end());
            cards.push_back(card);
        } else if (!l.empty()) {
            if (l == "VERSION:2.1") v21 = true;
            body.emplace_back(l, 0);
        }
    }
    return cards;
}

std::string sideTable(const QString& book) {
    auto db = orv::Database::open(book.toStdString(), false);
    orv::sql::Statement s(db->handle(),
                          "SELECT Codigo, Orden, Linea FROM OrvPropiedades ORDER BY 1, 2");
    std::string out;
    while (s.step())
        out += std::to_string(s.int64(0)) + "/" + std::to_string(s.int64(1)) + ": " +
               std::string(s.text(2)) + "\n";
    return out;
}

const QStringList kFiles = {"android-2.1.vcf",  "iphone-3.0.vcf", "thunderbird-4.0.vcf",
                            "thunderbird.ldif", "google.csv",     "outlook-en.csv"};

}  // namespace

class TestRoundTrip : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path(const QString& name) const { return dir_.filePath(name); }
    QString freshBook(const QString& name) {
        QFile::remove(path(name));
        const auto r = runTool({"init", path(name)});
        if (r.exitCode != 0) qWarning("%s", r.err.constData());
        return path(name);
    }

  private slots:
    // Each property's destination: a field, a line of "Mas info", or the
    // side table (checked by name there).
    void destinations_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("fields");  // "column=value"
        QTest::addColumn<QStringList>("info");    // lines "Mas info" must hold
        QTest::addColumn<QStringList>("aside");   // property names kept in the side table
        QTest::newRow("android 2.1")
            << "android-2.1.vcf"
            << "Ana"
            << QStringList{"Apellido=García", "Domicilio=Paseo de la Castellana 200, 5ºA",
                           "Localidad/Provincia=28046 Madrid/Madrid", "Telefono=600111222",
                           "Fecha de nacimiento=1980-03-05"}
            << QStringList{"País: España", "Teléfono (trabajo): 910000000",
                           "Relación (cónyuge): Pedro", "Apodo: Anita",
                           "Segunda línea, con una coma y un punto y coma; al final"}
            << QStringList{"PHOTO", "X-ANDROID-CUSTOM"};
        QTest::newRow("android 2.1, company")
            << "android-2.1.vcf"
            << "Luis" << QStringList{"Telefono=+34 611 222 333"}
            << QStringList{"Empresa: Talleres Ruiz", "Departamento: Ventas",
                           "Cargo: Jefe de taller", "Web: http://talleres.example.es"}
            << QStringList{"PHOTO"};
        QTest::newRow("iphone 3.0")
            << "iphone-3.0.vcf"
            << "Carmen"
            << QStringList{"Domicilio=Calle Sierpes 12, 2º",
                           "Localidad/Provincia=41004 Sevilla/Sevilla", "e-mail=carmen@example.es",
                           "Fecha de nacimiento=1975-03-14"}
            << QStringList{"Teléfono (Consulta): 955 123 456", "Relación (cónyuge): Jorge",
                           "Perfil social (twitter): http://twitter.com/carmenm",
                           "Web (web): https://carmen.example.es", "Departamento: Pediatría"}
            << QStringList{"PHOTO", "X-ABADR", "X-ABLABEL"};
        QTest::newRow("thunderbird 4.0")
            << "thunderbird-4.0.vcf"
            << "Jordi"
            << QStringList{"Telefono=+34633444555", "Fecha de nacimiento=1981-05-16",
                           "Localidad/Provincia=08001 Barcelona/Barcelona"}
            << QStringList{"Relación (amigo): Marta", "Apodo: Jordi", "País: Espanya"}
            << QStringList{"GEO", "TZ", "KEY", "PHOTO", "X-MOZILLA-HTML", "UID"};
        QTest::newRow("thunderbird ldif")
            << "thunderbird.ldif"
            << "Elena"
            << QStringList{"Domicilio=Calle Toledo 3, bajo", "Fecha de nacimiento=1990-07-21"}
            << QStringList{"Teléfono (móvil): 644 555 666", "Empresa: Librería Sanz"}
            << QStringList{};
        QTest::newRow("google csv")
            << "google.csv"
            << "Marta"
            << QStringList{"Domicilio=Calle Alcalá 45, 3ºB", "Fecha de nacimiento=1992-11-30"}
            << QStringList{"Foto: https://lh3.googleusercontent.com/a/foto", "Categorías: Amigos",
                           "Teléfono (trabajo): 913 000 111"}
            << QStringList{};
        QTest::newRow("outlook csv in english, dates day first")
            << "outlook-en.csv"
            << "Javier" << QStringList{"Fecha de nacimiento=2000-02-29"}
            << QStringList{"País: España"} << QStringList{};
    }
    void destinations() {
        QFETCH(QString, file);
        QFETCH(QString, name);
        QFETCH(QStringList, fields);
        QFETCH(QStringList, info);
        QFETCH(QStringList, aside);
        const QString book = freshBook("dest.mdb");
        const auto r = runTool({"import", book, data(file)});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const auto contacts = storetest::readBook(book, true);
        auto it = std::find_if(contacts.begin(), contacts.end(), [&](const Contact& c) {
            return c[orv::kNombre] == name.toStdString();
        });
        QVERIFY(it != contacts.end());
        for (const QString& f : fields) {
            const QString col = f.section('=', 0, 0);
            std::size_t i = 0;
            while (orv::schema::kColumns[i] != col.toStdString()) ++i;
            QCOMPARE(QString::fromStdString(it->at(i).value_or("<null>")), f.section('=', 1));
        }
        const QStringList lines =
            QString::fromStdString(it->at(orv::kMasInfo).value_or("")).split('\n');
        for (const QString& l : info)
            QVERIFY2(lines.contains(l), qPrintable(l + " | " + lines.join(" | ")));
        const QString side = QString::fromStdString(sideTable(book));
        const QString code = QString::fromStdString(*it->at(orv::kCodigo));
        for (const QString& a : aside) {
            const QRegularExpression line("(^|\\n)" + code + "/\\d+: (\\w+\\.)?" + a + "[;:]",
                                          QRegularExpression::CaseInsensitiveOption);
            QVERIFY2(line.match(side).hasMatch(), qPrintable(a));
        }
        // Every kind of property is accounted for in the report.
        if (file.endsWith(".vcf"))
            for (const QString& a : aside)
                if (a != "X-ABLABEL")
                    QVERIFY2(r.out.contains("  " + a.toUtf8() + ": "), r.out.constData());
    }

    // Imported and exported again as vCard, a card has every property it
    // came with; a CSV or LDIF record every value.
    void exportGivesBackEveryProperty_data() {
        QTest::addColumn<QString>("file");
        for (const QString& f : kFiles) QTest::newRow(qPrintable(f)) << f;
    }
    void exportGivesBackEveryProperty() {
        QFETCH(QString, file);
        const QString book = freshBook("trip.mdb");
        QCOMPARE(runTool({"import", book, data(file)}).exitCode, 0);
        QFile::remove(path("trip.vcf"));
        QCOMPARE(runTool({"export", book, path("trip.vcf")}).exitCode, 0);
        const std::string out = storetest::fileBytes(path("trip.vcf").toStdString());
        const std::string in = storetest::fileBytes(data(file).toStdString());
        if (file.endsWith(".vcf")) {
            QCOMPARE(cardsOf(out), cardsOf(in));
            return;
        }
        // No card to give back: each value the file holds is in the card.
        const std::string unfolded = [&] {
            std::string t;
            for (const auto& card : cardsOf(out))
                for (const auto& l : card) t += orv::exchange::unescapeText(l) + "\n";
            return t;
        }();
        for (const char* v : {"Vecina del quinto", "Martita", "Estudio López", "Arquitecta",
                              "913 000 111", "https://marta.example.es", "Lucía", "Librería Sanz",
                              "644 555 666", "Cliente desde 2001", "Navarro SL", "Gerente"})
            if (in.find(v) != std::string::npos) QVERIFY2(unfolded.find(v) != std::string::npos, v);
    }

    // A book restored from its own vCard export is the same book, its side
    // table included; a contact deleted by any program and restored gets its
    // lines back.
    void restoredBookIsTheSame() {
        const QString book = freshBook("all.mdb");
        for (const QString& f : kFiles) QCOMPARE(runTool({"import", book, data(f)}).exitCode, 0);
        QFile::remove(path("all.vcf"));
        QCOMPARE(runTool({"export", book, path("all.vcf")}).exitCode, 0);
        const QString again = freshBook("again.mdb");
        const auto r = runTool({"import", again, path("all.vcf")});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(storetest::readBook(again, true), storetest::readBook(book, true));
        QCOMPARE(sideTable(again), sideTable(book));
        QVERIFY(sideTable(book).find("PHOTO") != std::string::npos);

        QFile::remove(path("all.csv"));
        const auto csv = runTool({"export", book, path("all.csv")});
        QVERIFY2(csv.err.contains("el CSV no puede llevar"), csv.err.constData());
        // Brought back, the CSV adds nothing: it carries no card of its own.
        const auto back = runTool({"import", book, path("all.csv")});
        QVERIFY2(back.out.startsWith("0 contactos importados, 8 repetidos"), back.out.constData());

        {
            auto db = orv::Database::open(book.toStdString());
            orv::sql::exec(db->handle(), "DELETE FROM Registros WHERE Codigo = 1");
        }
        // Restored, it has every line back, photo included.
        const auto restored = runTool({"restore", book, "1"});
        QVERIFY2(restored.exitCode == 0, restored.err.constData());
        QCOMPARE(sideTable(book), sideTable(again));
        QFile::remove(path("back.vcf"));
        QCOMPARE(runTool({"export", book, path("back.vcf")}).exitCode, 0);
        QCOMPARE(storetest::fileBytes(path("back.vcf")), storetest::fileBytes(path("all.vcf")));
    }

    // A dry run names each contact it would import, each repeat and each
    // look-alike, and where every kind of property would go.
    void dryRunNamesEveryContact() {
        const QString book = freshBook("dry.mdb");
        storetest::writeFile(path("ana.vcf"),
                             "BEGIN:VCARD\r\nVERSION:3.0\r\nN:García;Ana;;;\r\n"
                             "FN:Ana García\r\nTEL:600111222\r\nEND:VCARD\r\n");
        QCOMPARE(runTool({"import", book, path("ana.vcf")}).exitCode, 0);
        storetest::writeFile(
            path("some.vcf"),
            "BEGIN:VCARD\r\nVERSION:3.0\r\nN:García;Ana;;;\r\nFN:Ana García\r\n"
            "TEL:600111222\r\nEND:VCARD\r\n"
            "BEGIN:VCARD\r\nVERSION:3.0\r\nN:garcia;Ana;;;\r\nFN:Ana garcia\r\nEND:VCARD\r\n"
            "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Ruiz;Luis;;;\r\nFN:Luis Ruiz\r\n"
            "PHOTO;ENCODING=b;TYPE=JPEG:AAAA\r\nEND:VCARD\r\n");
        const auto r = runTool({"import", book, path("some.vcf"), "--dry-run"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains("some.vcf:7: se importaría: Ana garcia"), r.out.constData());
        QVERIFY2(r.out.contains("some.vcf:12: se importaría: Luis Ruiz"), r.out.constData());
        QVERIFY(!r.out.contains("se importaría: Ana García"));
        QVERIFY2(r.err.contains("some.vcf:1: repetido: Ana García"), r.err.constData());
        QVERIFY2(r.err.contains("some.vcf:7: posible repetido: Ana garcia"), r.err.constData());
        QVERIFY(r.out.contains("  PHOTO: 1 guardada aparte"));
        QVERIFY(r.out.contains("  TEL: 1 a su campo"));
        QCOMPARE(storetest::readBook(book).size(), std::size_t(1));
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
        const auto r = orv::exchange::readContacts(csv.toStdString(), orv::exchange::Format::Csv);
        QVERIFY(r.problems.empty());
        QCOMPARE(r.contacts.size(), std::size_t(dates.size()));
        for (int i = 0; i < dates.size(); ++i)
            QCOMPARE(QString::fromStdString(r.contacts[i].contact[orv::kFecha].value_or("")),
                     dates[i]);
        QCOMPARE(QString::fromStdString(r.assumedOrder), assumed);
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
        orv::exchange::Reading read;
        orv::exchange::readVCards(card.toStdString(), read);
        QCOMPARE(read.contacts.size(), std::size_t(1));
        const auto& kept = read.contacts[0].kept;
        Contact wanted = read.contacts[0].contact;
        QVERIFY(QString::fromStdString(*wanted[orv::kMasInfo]).contains("País: España"));
        // Nothing changed: the card goes back as it came.
        QCOMPARE(cardsOf(orv::sync::cardFromContact(wanted, {}, kept)),
                 cardsOf(card.toStdString()));
        for (const QString& c : change) {
            std::size_t i = 0;
            while (orv::schema::kColumns[i] != c.section('=', 0, 0).toStdString()) ++i;
            wanted[i] = c.section('=', 1).toStdString();
        }
        const std::string out = orv::sync::cardFromContact(wanted, {}, kept);
        const auto lines = cardsOf(out).at(0);
        for (const QString& e : expect)
            QVERIFY2(std::find(lines.begin(), lines.end(), e.toStdString()) != lines.end(),
                     qPrintable(e + "\n" + QString::fromStdString(out)));
        for (const QString& g : gone)
            QVERIFY2(!QString::fromStdString(out).contains(g), qPrintable(out.c_str()));
        // Read again, the card gives the book's fields, and the country stays in Mas info.
        for (const QString& c : back) {
            std::size_t i = 0;
            while (orv::schema::kColumns[i] != c.section('=', 0, 0).toStdString()) ++i;
            wanted[i] = c.section('=', 1).toStdString();
        }
        const auto again = orv::exchange::contactFromVcard(out);
        QVERIFY(again.contact);
        for (std::size_t col = orv::kNombre; col < orv::kColumnCount; ++col)
            QCOMPARE(QString::fromStdString((*again.contact)[col].value_or("<null>")),
                     QString::fromStdString(wanted[col].value_or("<null>")));
    }

    // What a phone adds to a card of ours reaches the book.
    void aPhonesAdditionsToOurCard() {
        Contact c = storetest::contact({"Eva", "Sanz", std::nullopt, std::nullopt, "600111222"});
        std::string card = orv::exchange::vcardFromContact(c, "eva-1");
        card.insert(card.find("END:VCARD"),
                    "ORG:Acme;Ventas\r\nTEL;TYPE=CELL:699000111\r\nPHOTO;ENCODING=b:AAAA\r\n");
        const auto read = orv::exchange::contactFromVcard(card);
        QVERIFY(read.contact);
        const QString info = QString::fromStdString(read.contact->at(orv::kMasInfo).value_or(""));
        QCOMPARE(info, QString("Empresa: Acme\nDepartamento: Ventas\nTeléfono (móvil): 699000111"));
        QCOMPARE(read.contact->at(orv::kTelefono), orv::Value("600111222"));
        QVERIFY(!read.kept.empty());
    }
};

QTEST_GUILESS_MAIN(TestRoundTrip)
#include "tst_roundtrip.moc"
