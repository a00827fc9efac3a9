// orvane-db as a user runs it: the built program on books in a temporary
// folder, checked through its output, its exit code and the book's contents.

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "exchange/card.h"
#include "support/storetest.h"
#include "tools/orvane-db/commands.h"

using orv::Contact;
using std::nullopt;
using storetest::contact;
using storetest::fileBytes;
using storetest::runTool;

namespace {

// Names (the second column) of what `list` prints, in its order.
QStringList listedNames(const storetest::Run& r) {
    QStringList names;
    for (const QString& line : QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts))
        names << line.section('\t', 1, 1);
    return names;
}

bool sameBooks(const std::vector<Contact>& expected, const std::vector<Contact>& got) {
    bool same = expected.size() == got.size();
    if (!same) qWarning("expected %zu contacts, got %zu", expected.size(), got.size());
    for (std::size_t i = 0; i < std::min(expected.size(), got.size()); ++i) {
        if (expected[i] != got[i]) {
            qWarning("contact %zu differs:\n  expected %s\n  got      %s", i,
                     qPrintable(storetest::show(expected[i])), qPrintable(storetest::show(got[i])));
            same = false;
        }
    }
    return same;
}

}  // namespace

class TestDbTool : public QObject {
    Q_OBJECT

    QTemporaryDir* dir_ = nullptr;
    QString path(const QString& name) const { return dir_->filePath(name); }

  private slots:
    void init() {
        dir_ = new QTemporaryDir;
        QVERIFY(dir_->isValid());
    }
    void cleanup() {
        delete dir_;
        dir_ = nullptr;
    }

    void refusesToOverwrite() {
        const QString book = path("orv.mdb");
        auto r = runTool({"init", book});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(storetest::readBook(book).empty());
        storetest::makeBook(path("full.mdb"), {contact({"Ana"})});
        const QByteArray before = fileBytes(path("full.mdb"));

        for (const QStringList& args :
             {QStringList{"init", path("full.mdb")}, QStringList{"demo", path("full.mdb"), "10"},
              QStringList{"export", book, path("full.mdb"), "--format", "csv"},
              QStringList{"export", path("full.mdb"), path("full.mdb"), "--format", "vcard"}}) {
            r = runTool(args);
            QVERIFY2(r.exitCode != 0, qPrintable(args.join(' ')));
            QVERIFY2(r.err.contains("ya existe"), r.err.constData());
            QCOMPARE(fileBytes(path("full.mdb")), before);
        }
    }

    // Every wrong use and failure speaks in one form: each line on stderr
    // "orvane-db: ...", in Spanish (the system's errors too), nothing on
    // stdout, exit 2 for a wrong use (with the command's usage line and a
    // pointer to --help) and 1 for a failure. "@name" is a file in the test's
    // folder; "how" runs the tool as nobody, or with its output on a full disk.
    void wrongUsesAndFailures_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        const auto row = [](const char* name, QStringList args, int status, const char* says,
                            const char* how = "") {
            QTest::newRow(name) << args << QString(how) << status << QString(says);
        };
        row("no command", {}, 2, "falta la orden");
        row("unknown command", {"borrar", "@orv.mdb"}, 2, "orden desconocida: borrar");
        row("unknown option first", {"--verbose"}, 2, "opción desconocida: --verbose");
        row("unknown option", {"import", "@orv.mdb", "@in.csv", "--rapido"}, 2,
            "opción desconocida: --rapido");
        row("unknown option's value kept quiet", {"sync", "@orv.mdb", "--password=secreto"}, 2,
            "opción desconocida: --password\n");
        row("missing value", {"demo", "@x.mdb", "10", "--seed"}, 2, "falta el valor de --seed");
        row("flag given a value", {"import", "@orv.mdb", "@in.csv", "--dry-run=sí"}, 2,
            "la opción --dry-run no lleva valor");
        row("option of another command", {"export", "@orv.mdb", "@x.csv", "--dry-run"}, 2,
            "opción desconocida: --dry-run");
        row("missing argument", {"list", "@orv.mdb"}, 2, "falta PREFIJO");
        row("extra argument", {"init", "@x.mdb", "@y.mdb"}, 2, "sobra el argumento");
        row("not a number", {"demo", "@x.mdb", "diez"}, 2, "número de contactos no válido: diez");
        row("unknown format", {"export", "@orv.mdb", "@x.csv", "--format", "xml"}, 2,
            "formato desconocido: xml");
        row("format not known from the name", {"import", "@orv.mdb", "@x.txt"}, 2,
            "no se sabe el formato");
        row("never synced", {"sync", "@orv.mdb"}, 2, "no se ha sincronizado nunca");
        row("missing book", {"list", "@no.mdb", "a"}, 1, "no se encuentra el archivo");
        row("not a book", {"check", "@texto.mdb"}, 1, "no es una base de datos");
        row("a folder as the book", {"list", "@carpeta", ""}, 1, "no es una base de datos");
        row("existing book", {"init", "@orv.mdb"}, 1, "ya existe");
        row("parent is a file", {"init", "@texto.mdb/x.mdb"}, 1,
            "una parte de la ruta no es una carpeta");
        row("missing input", {"import", "@orv.mdb", "@no.csv"}, 1,
            "no se puede leer @no.csv: no existe el archivo o la carpeta");
        row("a folder as input", {"import", "@orv.mdb", "@carpeta", "--format", "csv"}, 1,
            "es una carpeta");
        row("missing folder", {"export", "@orv.mdb", "@no/x.csv"}, 1,
            "no existe el archivo o la carpeta");
        row("bad pattern", {"list", "@orv.mdb", "[a"}, 1, "falta el cierre de '['");
        row("read-only folder, new book", {"init", "@carpeta/x.mdb"}, 1, "permiso denegado",
            "nobody");
        row("read-only folder, export", {"export", "@orv.mdb", "@carpeta/x.csv"}, 1,
            "no se puede crear @carpeta/x.csv: permiso denegado", "nobody");
        row("full disk", {"list", "@orv.mdb", ""}, 1,
            "no se puede escribir el listado: no queda espacio en el disco", "full");
    }
    void wrongUsesAndFailures() {
        QFETCH(QStringList, args);
        QFETCH(QString, how);
        QFETCH(int, status);
        QFETCH(QString, says);
        storetest::makeBook(path("orv.mdb"), {contact({"Ana"})});
        storetest::writeFile(path("texto.mdb"), "esto no es una agenda\n");
        QVERIFY(QDir(dir_->path()).mkdir("carpeta"));
        const QString dir = dir_->path() + "/";
        for (QString& a : args)
            if (a.startsWith('@')) a = dir + a.mid(1);
        says.replace('@', dir);

        QProcess p;
        QString program = QStringLiteral(ORV_DB_TOOL);
        if (how == "nobody") {
            // The folder is the owner's: nobody may read in it but not write.
            if (geteuid() == 0) {
                if (!QFile::exists("/usr/bin/setpriv")) QSKIP("setpriv is needed to drop root");
                QFile::setPermissions(dir_->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                        QFile::ExeOwner | QFile::ReadOther |
                                                        QFile::ExeOther);
                // The book is its owner's alone; here another user is let read it.
                QFile::setPermissions(path("orv.mdb"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
                // A copy nobody can reach, wherever the build is.
                const QString copy = dir + "orvane-db";
                QVERIFY(QFile::copy(program, copy));
                args =
                    QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", copy} + args;
                program = "/usr/bin/setpriv";
            } else {
                QFile::setPermissions(dir + "carpeta", QFile::ReadOwner | QFile::ExeOwner);
            }
        }
        if (how == "full") p.setStandardOutputFile("/dev/full");
        p.setEnvironment(QProcess::systemEnvironment() << "LC_ALL=C.UTF-8");
        p.start(program, args);
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        const QByteArray out = p.readAllStandardOutput();
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(p.exitCode() == status, qPrintable(err));
        QVERIFY2(out.isEmpty(), out.constData());
        QVERIFY2(err.contains(says), qPrintable(err));
        QVERIFY(err.endsWith('\n'));
        for (const QString& line : err.chopped(1).split('\n'))
            QVERIFY2(line.startsWith("orvane-db: "), qPrintable(err));
        for (const char* english : {"No such", "Permission", "denied", "directory", "exists",
                                    "space", "Read-only", "Error", "error:", "Uso", "secreto"})
            QVERIFY2(!err.contains(english), qPrintable(err));
        const QString command = args.value(args.indexOf(dir + "orvane-db") + 1);
        if (status == 2) {
            if (command.isEmpty() || command.startsWith("-") || command == "borrar")
                QVERIFY2(err.contains("pruebe «orvane-db --help»"), qPrintable(err));
            else
                QVERIFY2(err.contains("orvane-db: uso: orvane-db " + command + " ") &&
                             err.contains("pruebe «orvane-db " + command + " --help»"),
                         qPrintable(err));
        }
        QVERIFY(!QFile::exists(dir + "x.mdb") && !QFile::exists(dir + "carpeta/x.mdb"));
    }

    // The help names each command of the table once, in its order, and a
    // command's own help is its usage line; both on stdout with status 0, as
    // is the version.
    void helpAndVersion() {
        auto r = runTool({"--help"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.err.isEmpty());
        QStringList commands, table;
        for (const QString& line : QString::fromUtf8(r.out).split('\n'))
            if (line.startsWith("  orvane-db ")) commands << line.section(' ', 3, 3);
        for (const orv::db::Command& c : orv::db::commandTable()) {
            table << QString::fromUtf8(c.name);
            const auto own = runTool({c.name, "--help"});
            QCOMPARE(own.exitCode, 0);
            QVERIFY2(
                own.out.startsWith(QByteArray("Uso: orvane-db ") + c.name + " " + c.usage + "\n"),
                own.out.constData());
        }
        QCOMPARE(commands, (table + QStringList{"ORDEN", "--version"}));
        QVERIFY(r.out.contains("Estado de salida:\n0: "));

        for (const QStringList& args :
             {QStringList{"import", "--help"}, QStringList{"import", path("a.mdb"), "-h"},
              QStringList{"help", "import"}}) {
            r = runTool(args);
            QCOMPARE(r.exitCode, 0);
            QVERIFY2(r.out.startsWith("Uso: orvane-db import ARCHIVO ENTRADA [--format "),
                     r.out.constData());
            QVERIFY(r.err.isEmpty());
        }
        r = runTool({"--version"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(QRegularExpression("^orvane-db [0-9]+\\.[0-9]+\n$")
                     .match(QString::fromUtf8(r.out))
                     .hasMatch(),
                 r.out.constData());
    }

    void demoIsRepeatableForASeed() {
        QCOMPARE(runTool({"demo", path("a.mdb"), "300", "--seed", "9"}).exitCode, 0);
        QCOMPARE(runTool({"demo", path("b.mdb"), "300", "--seed=9"}).exitCode, 0);
        QCOMPARE(runTool({"demo", path("c.mdb"), "300", "--seed", "10"}).exitCode, 0);
        const auto a = storetest::readBook(path("a.mdb"));
        QCOMPARE(a.size(), std::size_t(300));
        QVERIFY(a == storetest::readBook(path("b.mdb")));
        QVERIFY(a != storetest::readBook(path("c.mdb")));
        QCOMPARE(runTool({"list", path("a.mdb"), ""}).out,
                 runTool({"list", path("b.mdb"), ""}).out);
    }

    void listShowsWhatTheResultsWindowWould() {
        const QString book = path("orv.mdb");
        std::vector<Contact> contacts;
        for (const char* n :
             {"Marta", "marcos", "MARTÍN", "mateo", "Miguel", "Álvaro", "ángel", "Ana", "Nacho",
              "nuria", "Ñandú", "ñoño", "O'Brien", "José", "José Luis", "Josefa", "Óscar", ""})
            contacts.push_back(contact({n}));
        contacts.push_back(contact({nullopt, "Nadie"}));
        storetest::makeBook(book, contacts);
        const QByteArray before = fileBytes(book);
        auto names = [&](const QString& prefix) {
            auto r = runTool({"list", book, prefix});
            if (r.exitCode != 0) qWarning("list %s: %s", qPrintable(prefix), r.err.constData());
            return listedNames(r);
        };

        QCOMPARE(names("m"), (QStringList{"marcos", "Marta", "MARTÍN", "mateo", "Miguel"}));
        QCOMPARE(names("a"), (QStringList{"Álvaro", "Ana", "ángel"}));
        QCOMPARE(names("n"), (QStringList{"Nacho", "nuria"}));
        QCOMPARE(names("José "), QStringList{"José Luis"});
        QCOMPARE(names("O'"), QStringList{"O'Brien"});
        QCOMPARE(names("zzz"), QStringList{});

        const QStringList all = names("");
        QCOMPARE(all, (QStringList{"", "Álvaro", "Ana", "ángel", "José", "José Luis", "Josefa",
                                   "marcos", "Marta", "MARTÍN", "mateo", "Miguel", "Nacho", "nuria",
                                   "Ñandú", "ñoño", "O'Brien", "Óscar"}));
        QCOMPARE(names("*"), all);
        QCOMPARE(names("?"), all.mid(1));

        auto bad = runTool({"list", book, "[a"});
        QVERIFY(bad.exitCode != 0);
        QVERIFY(bad.out.isEmpty());
        QVERIFY2(bad.err.startsWith("orvane-db: "), bad.err.constData());
        QCOMPARE(fileBytes(book), before);
    }

    void listPrintsEveryFieldInFull() {
        const QString book = path("orv.mdb");
        const std::string name = storetest::chars("Ñá", 50), mail = storetest::chars("é@x.es", 100),
                          info = storetest::chars("Línea ", 190) + "\tfin\n2ª";
        storetest::makeBook(
            book,
            {contact({name, "Muñoz", nullopt, "Ávila", "", mail, "123", info, "1975-03-21"})});
        auto r = runTool({"list", book, ""});
        QCOMPARE(r.exitCode, 0);
        const QStringList fields = QString::fromUtf8(r.out).chopped(1).split('\t');
        QCOMPARE(fields.size(), 10);
        QCOMPARE(fields[1].toStdString(), name);
        QCOMPARE(fields[2], QString("Muñoz"));
        QCOMPARE(fields[3], QString());
        QCOMPARE(fields[6].toStdString(), mail);
        // One contact a line: a tab or line break inside a field is escaped.
        QCOMPARE(fields[8].toStdString(), storetest::chars("Línea ", 190) + "\\tfin\\n2ª");
        QCOMPARE(fields[9], QString("21/03/1975"));
    }

    void exportThenImportGivesTheSameContacts_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("extra");
        QTest::newRow("csv") << "out.csv" << QStringList{};
        QTest::newRow("vcard") << "out.vcf" << QStringList{};
        QTest::newRow("vcard by flag") << "out.txt" << QStringList{"--format", "vcard"};
    }
    void exportThenImportGivesTheSameContacts() {
        QFETCH(QString, file);
        QFETCH(QStringList, extra);
        // Awkward contacts, generated ones, and an empty book.
        for (const QString kind : {"awkward", "demo", "empty"}) {
            const QString from = path(kind + ".mdb"), to = path(kind + "-again.mdb"),
                          out = path(kind + "-" + file);
            if (kind == "demo")
                QCOMPARE(runTool({"demo", from, "20000", "--seed", "3"}).exitCode, 0);
            else
                storetest::makeBook(
                    from, kind == "empty" ? std::vector<Contact>{} : storetest::awkwardContacts());
            auto r = runTool(QStringList{"export", from, out} + extra);
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QVERIFY(runTool({"init", to}).exitCode == 0);
            r = runTool(QStringList{"import", to, out} + extra);
            QVERIFY2(r.exitCode == 0, r.err.constData());
            // Every contact back, stored clean (names trimmed, LF line breaks).
            auto expected = storetest::readBook(from);
            for (Contact& c : expected) orv::exchange::cleanContact(c);
            QVERIFY(sameBooks(expected, storetest::readBook(to)));
            // A clean book's export is the same bytes again.
            if (kind == "demo") {
                const QString again = path("again-" + file);
                QCOMPARE(runTool(QStringList{"export", to, again} + extra).exitCode, 0);
                QCOMPARE(fileBytes(again), fileBytes(out));
            }
        }
    }

    // The book is read whole for an import as large as itself, sought by name
    // for a small one: the same answers either way.
    void importingTwiceAddsNothing_data() {
        QTest::addColumn<int>("others");
        QTest::newRow("book read whole") << 0;
        QTest::newRow("book sought by name") << 100;
    }
    // The CSV is in the shape mdb-export gives (see the formats test).
    void importingTwiceAddsNothing() {
        QFETCH(int, others);
        const QString book = path("orv.mdb"), in = path("registros.csv");
        storetest::writeFile(
            in,
            "Codigo,Nombre,Apellido,Domicilio,Localidad/Provincia,Telefono,e-mail,ICQ,Mas info,"
            "Fecha de nacimiento\n"
            "1,\"Álvaro\",\"Muñoz\",,\"Madrid\",,,,,\"1975-03-21 00:00:00\"\n"
            "2,\"Begoña\",\"\",,,,,,,\n"
            "3,\"Begoña\",,,,,,,,\n"
            "4,\"Álvaro\",\"Muñoz\",\"otra dirección\",,,,,,\"1975-03-21 00:00:00\"\n");
        std::vector<Contact> start = {contact({"Álvaro", "MUÑOZ"})};
        for (int i = 0; i < others; ++i)
            start.push_back(contact({storetest::numbered("Otro ", i)}));
        storetest::makeBook(book, start);

        // Only a contact equal in every field is a repeat; these only look
        // like the one in the book.
        auto r = runTool({"import", book, in});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray("4 contactos importados, 0 repetidos, 2 posibles repetidos\n"));
        QVERIFY2(r.err.contains("registros.csv:5: posible repetido: Álvaro Muñoz, 21/03/1975 (como "
                                "el código 1 de la agenda) (se importa)"),
                 r.err.constData());
        const auto once = storetest::readBook(book);
        QCOMPARE(once.size(), start.size() + 4);
        QCOMPARE(*once[start.size()][orv::kFecha], std::string("1975-03-21"));

        r = runTool({"import", book, in});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray("0 contactos importados, 4 repetidos\n"));
        const std::string code = std::to_string(start.size() + 1);
        QVERIFY2(r.err.contains(("registros.csv:2: repetido: Álvaro Muñoz, 21/03/1975 (como el "
                                 "código " +
                                 code + " de la agenda) (se omite)")
                                    .c_str()),
                 r.err.constData());
        QVERIFY(storetest::readBook(book) == once);

        r = runTool({"import", book, in, "--keep-duplicates"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(storetest::readBook(book).size(), once.size() + 4);
    }

    // A few bad records: all or nothing by default, the good ones with
    // --skip-bad; the report never prints a raw control character.
    void aFewBadRecords() {
        const QString book = path("orv.mdb"), in = path("in.vcf");
        storetest::makeBook(book, {});
        storetest::writeFile(in,
                             "BEGIN:VCARD\nVERSION:3.0\nFN:Ana\nEND:VCARD\n"
                             "BEGIN:VCARD\nVERSION:3.0\nFN:Eva\nsuelta\x1b[2J\nEND:VCARD\n"
                             "BEGIN:VCARD\nVERSION:3.0\nFN:Pío\nEND:VCARD\n");
        auto r = runTool({"import", book, in});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("in.vcf:5: línea 8: falta \":\""), r.err.constData());
        QVERIFY(!r.err.contains('\x1b'));
        QVERIFY(storetest::readBook(book).empty());

        r = runTool({"import", book, in, "--skip-bad"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray("2 contactos importados, 0 repetidos\n  FN: 2 a su campo\n"));
        QVERIFY2(r.err.contains("1 registro omitido por errores"), r.err.constData());
        QCOMPARE(storetest::readBook(book).size(), std::size_t(2));
    }

    void aDryRunWritesNothing() {
        const QString book = path("orv.mdb"), in = path("in.csv");
        storetest::makeBook(book, {contact({"Ana", "Ruiz"})});
        storetest::writeFile(in, "Nombre,Apellido\nAna,Ruiz\nEva,Gil\nPío,\n");
        const QByteArray before = fileBytes(book);
        auto r = runTool({"import", book, in, "--dry-run"});
        QCOMPARE(r.exitCode, 0);
        // Each contact that would come in is named, with its line.
        QCOMPARE(r.out, (in + ":3: se importaría: Eva Gil\n" + in +
                         ":4: se importaría: Pío\n2 contactos para importar, 1 repetido\n")
                            .toUtf8());
        QCOMPARE(fileBytes(book), before);
    }

    // Only a regular file is read, and refused at once otherwise; a line or
    // a record past its limit is refused by line, naming the limit, and the
    // rest is read (--skip-bad imports it).
    void importReadsFilesWithinLimits() {
        const QString book = path("orv.mdb");
        storetest::makeBook(book, {});
        const QString fifo = path("tuberia.vcf");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        for (const QStringList& args :
             {QStringList{"import", book, "/dev/zero"},
              QStringList{"import", book, "/dev/zero", "--format", "vcard"},
              QStringList{"import", book, fifo}}) {
            const auto r = runTool(args);  // a pipe with no writer would wait for one
            QCOMPARE(r.exitCode, 1);
            QVERIFY2(r.err.contains("no es un archivo normal (es un dispositivo, una tubería o un "
                                    "zócalo)"),
                     r.err.constData());
        }
        const QByteArray ana = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ana\r\nEND:VCARD\r\n";
        const QString in = path("grande.vcf");
        // One line of 17 MiB (a photo never folded), then a card of 65 lines
        // of 1 MiB, each line within its limit.
        QByteArray big = ana + "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Eva\r\nPHOTO;ENCODING=b:";
        big += QByteArray(17 << 20, 'A') + "\r\nEND:VCARD\r\n" + ana +
               "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Pío\r\n";
        for (int i = 0; i < 65; ++i) big += "X-NOTA:" + QByteArray(1 << 20, 'b') + "\r\n";
        big += "END:VCARD\r\n" + ana;
        storetest::writeFile(in, big);
        big.clear();
        auto r = runTool({"import", book, in});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("grande.vcf:5: la línea 8 pasa de 16 MiB, el límite de una "
                                "línea; no se lee\n"),
                 r.err.constData());
        QVERIFY2(r.err.contains("grande.vcf:14: pasa de 64 MiB, el límite de una tarjeta; no se "
                                "lee\n"),
                 r.err.constData());
        QVERIFY(storetest::readBook(book).empty());
        r = runTool({"import", book, in, "--skip-bad"});
        QVERIFY2(r.exitCode == 0 && r.out.startsWith("3 contactos importados"), r.out.constData());
        // A CSV quote left open runs on to the record's limit.
        QByteArray open = "Nombre,Apellido\nAna,\"Ruiz\n";
        for (int i = 0; i < 65; ++i) open += QByteArray(1 << 20, 'x') + "\n";
        storetest::writeFile(in, open);
        r = runTool({"import", book, in, "--format", "csv"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("grande.vcf:2: pasa de 64 MiB, el límite de un registro"),
                 r.err.constData());
    }

    // The import compares through a look-up kept in the book, brought up to
    // date from the history: what another program changed, deleted or added
    // since is compared as it is now, on a dry run too, and a look-up whose
    // history is gone is made anew.
    void importComparesWhatOthersChanged() {
        const QString book = path("orv.mdb"), in = path("in.csv");
        storetest::makeBook(book, {contact({"Ana", "Ruiz", nullopt, nullopt, "600"}),
                                   contact({"Eva", "Gil"}), contact({"Pío", "Baroja"})});
        storetest::writeFile(in,
                             "Nombre,Apellido,Telefono\nAna,Ruiz,600\nEva,Gil,\nPío,Baroja,"
                             "\nLuz,Peña,\n");
        auto r = runTool({"import", book, in});  // makes the look-up
        QCOMPARE(r.out, QByteArray("1 contacto importado, 3 repetidos\n"));
        const auto shell = [&](const char* sql) {
            QProcess p;
            p.start("sqlite3", {book, sql});
            QVERIFY(p.waitForFinished(30000) && p.exitCode() == 0);
        };
        shell(
            "UPDATE Registros SET Telefono = '611' WHERE Nombre = 'Ana';"
            "DELETE FROM Registros WHERE Nombre = 'Eva';"
            "INSERT INTO Registros (Nombre, Apellido) VALUES ('Sol', 'Gil');"
            "UPDATE Registros SET Apellido = 'Péña' WHERE Nombre = 'Luz';");
        storetest::writeFile(in,
                             "Nombre,Apellido,Telefono\nAna,Ruiz,600\nAna,Ruiz,611\nEva,Gil,"
                             "\nSol,Gil,\nLuz,Peña,\n");
        for (const char* how : {"--dry-run", "", "history gone"}) {
            // (Opening the book keys what the shell changed: its rows are compared.)
            const auto before = storetest::readBook(book, true);
            QStringList args = {"import", book, in};
            if (std::string_view(how) == "--dry-run") args << how;
            if (std::string_view(how) == "history gone") {
                shell("DELETE FROM OrvHistoria");
                args << "--dry-run";
            }
            r = runTool(args);
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QVERIFY2(r.out.endsWith(args.contains("--dry-run")
                                        ? "3 contactos para importar, 2 repetidos, 2 posibles "
                                          "repetidos\n"
                                        : "3 contactos importados, 2 repetidos, 2 posibles "
                                          "repetidos\n"),
                     r.out.constData());
            QVERIFY2(r.err.contains("in.csv:2: posible repetido: Ana Ruiz") &&
                         r.err.contains("in.csv:3: repetido: Ana Ruiz") &&
                         r.err.contains("in.csv:5: repetido: Sol Gil") &&
                         r.err.contains("in.csv:6: posible repetido: Luz Peña"),
                     r.err.constData());
            if (args.contains("--dry-run")) QVERIFY(storetest::readBook(book, true) == before);
            if (std::string_view(how) == "") {
                r = runTool({"import", book, in});
                QCOMPARE(r.out, QByteArray("0 contactos importados, 5 repetidos\n"));
                // Back as it was for the next round.
                shell("DELETE FROM Registros WHERE Codigo > 5");
            }
        }
    }

    void anUnreadableRecordLeavesTheBookUnchanged_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("where");
        QTest::newRow("csv date") << "in.csv"
                                  << QByteArray(
                                         "Nombre,Fecha de nacimiento\nAna,01/01/1990\n"
                                         "Eva,31/04/1990\nPío,\n")
                                  << "in.csv:3:";
        QTest::newRow("csv quote")
            << "in.csv" << QByteArray("Nombre,Apellido\nAna,\"Ruiz\nEva,Gil\n") << "in.csv:2:";
        QTest::newRow("vcard charset")
            << "in.vcf"
            << QByteArray(
                   "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ana\r\nEND:VCARD\r\n"
                   "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=EBCDIC:x;y\r\nEND:VCARD\r\n")
            << "in.vcf:5:";
    }
    void anUnreadableRecordLeavesTheBookUnchanged() {
        QFETCH(QString, file);
        QFETCH(QByteArray, text);
        QFETCH(QString, where);
        const QString book = path("orv.mdb");
        QVERIFY(runTool({"demo", book, "50"}).exitCode == 0);
        storetest::writeFile(path(file), text);
        const QByteArray before = fileBytes(book);
        auto r = runTool({"import", book, path(file)});
        QVERIFY(r.exitCode != 0);
        QVERIFY2(r.err.contains(where.toUtf8()), r.err.constData());
        QVERIFY(r.err.contains("orvane-db: no se ha importado nada"));
        QCOMPARE(fileBytes(book), before);
    }

    // Work through the whole book runs 10 below whoever started it, so that a
    // list meanwhile gets the processor; a list, which someone waits for, not.
    void bulkWorkYieldsTheProcessor() {
        const auto niceOf = [](qint64 pid) {
            QFile stat(QString("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly)) return -100;  // ended
            const QByteArray line = stat.readAll();
            // After "pid (name)": state is field 3, nice field 19.
            return line.mid(line.lastIndexOf(')') + 2).split(' ').value(16).toInt();
        };
        const int own = niceOf(QCoreApplication::applicationPid());
        QCOMPARE(runTool({"demo", path("a.mdb"), "2000"}).exitCode, 0);
        QProcess list;  // held by the pipe nobody reads, 64 KiB on
        list.start(ORV_DB_TOOL, {"list", path("a.mdb"), ""});
        QVERIFY(list.waitForStarted());
        QTest::qSleep(200);  // past its start, to where it waits for the pipe
        QCOMPARE(niceOf(list.processId()), own);
        list.kill();
        list.waitForFinished();

        QProcess demo;
        demo.start(ORV_DB_TOOL, {"demo", path("b.mdb"), "40000"});
        QVERIFY(demo.waitForStarted());
        int seen = own;
        while (seen == own && !demo.waitForFinished(1)) seen = niceOf(demo.processId());
        demo.waitForFinished(60000);
        QCOMPARE(seen, std::min(own + 10, 19));
    }
};

QTEST_GUILESS_MAIN(TestDbTool)
#include "tst_dbtool.moc"
