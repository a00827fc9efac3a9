// Files as phones and mail programs write them (tests/data), through the
// book and out again: where each property goes, that nothing is lost on the
// way back out, and a book restored from its export.

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
#include "support/formattest.h"
#include "support/storetest.h"

using orv::Contact;
using storetest::runTool;

namespace {

QString data(const QString& name) {
    return QStringLiteral(ORV_SOURCE_DIR) + "/tests/data/" + name;
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
            const std::size_t i = formattest::column(f.section('=', 0, 0));
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
            QCOMPARE(formattest::cardsOf(out), formattest::cardsOf(in));
            return;
        }
        // No card to give back: each value the file holds is in the card.
        const std::string unfolded = [&] {
            std::string t;
            for (const auto& card : formattest::cardsOf(out))
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
};

QTEST_GUILESS_MAIN(TestRoundTrip)
#include "tst_roundtrip.moc"
