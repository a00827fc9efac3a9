// The book as an ordinary SQLite file: other programs read and change it,
// the previous release's books are converted, odd values and odd tables are
// read right or refused, and the order covers all of Unicode.

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include "store/backup.h"
#include "store/contactquery.h"
#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/schema.h"
#include "store/sql.h"
#include "support/storetest.h"

using namespace orv;
using storetest::expectError;
using storetest::listed;
using storetest::runTool;
using storetest::show;
using Names = std::vector<std::string>;

namespace {

// The sqlite3 shell, run as a user runs it; stops at the first error.
storetest::Run shell(const std::string& book, const QString& input) {
    QProcess p;
    p.start("sqlite3", {"-bail", QString::fromStdString(book)});
    p.write(input.toUtf8());
    p.closeWriteChannel();
    storetest::Run r;
    if (!p.waitForFinished(60000)) return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

Names namesOf(Database& db, const std::string& prefix) {
    return show(listed(db, prefix));
}

// SQL run on a new file with plain SQLite (and, when asked, the previous
// release's collation).
void plainBook(const std::string& path, const std::string& sql, bool oldCollation = false) {
    sqlite3* raw = nullptr;
    sqlite3_open(path.c_str(), &raw);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (oldCollation) keys::registerOldCollation(raw, true);
    sql::exec(raw, sql);
}

}  // namespace

class TestStoreBook : public QObject {
    Q_OBJECT

  private slots:
    void otherProgramsReadAndChangeIt();
    void previousReleaseBookIsConverted();
    void anyValueIsReadAsText();
    void tableShapes_data();
    void tableShapes();
    void unicodeMatchingAndOrder_data();
    void unicodeMatchingAndOrder();
    void keysOfAnotherVersionAreRemade();
    void unwritableBookIsKeyedForItself();
    void checkAndReindex();
    void toolMessagesAndFiles();
    void walKeepsEveryPromise();
};

void TestStoreBook::otherProgramsReadAndChangeIt() {
    QTemporaryDir dir;
    const std::string book =
        storetest::makeBook(dir, {"Marta", "álvaro", "Zoe", "Nuria", std::nullopt});
    auto r = shell(book, "SELECT count(*) FROM Registros;");
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.out, QByteArray("5\n"));
    r = shell(book, ".dump");
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("CREATE TABLE Registros") && r.out.contains("'Marta'"));
    QVERIFY(!r.out.contains("COLLATE"));
    r = shell(book,
              "INSERT INTO Registros (Nombre) VALUES ('Ñandú'), ('nube'), ('Álvaro');"
              "UPDATE Registros SET Nombre = 'Aurora' WHERE Nombre = 'Zoe';"
              "DELETE FROM Registros WHERE Nombre = 'Marta';"
              "INSERT INTO Registros (Nombre, \"Fecha de nacimiento\") VALUES ('mario', "
              "'2001-02-03');");
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);

    auto db = Database::open(book);
    QCOMPARE(namesOf(*db, ""),
             (Names{"álvaro", "Álvaro", "Aurora", "mario", "nube", "Nuria", "Ñandú"}));
    QCOMPARE(namesOf(*db, "a"), (Names{"álvaro", "Álvaro", "Aurora"}));
    QCOMPARE(namesOf(*db, "ñ"), (Names{"Ñandú"}));
    QCOMPARE(namesOf(*db, "n"), (Names{"nube", "Nuria"}));
    QCOMPARE(namesOf(*db, "m"), (Names{"mario"}));
    // Opening rekeyed what the shell changed: nothing is left to do.
    QVERIFY(keys::problems(db->handle()).empty());
    QCOMPARE(runTool({"check", QString::fromStdString(book)}).exitCode, 0);
}

void TestStoreBook::previousReleaseBookIsConverted() {
    QTemporaryDir dir;
    const std::string book = dir.filePath("old.mdb").toStdString();
    plainBook(book,
              R"sql(CREATE TABLE Registros (Codigo INTEGER PRIMARY KEY AUTOINCREMENT,
                  Nombre TEXT COLLATE ESPANOL, Apellido TEXT, Domicilio TEXT,
                  "Localidad/Provincia" TEXT, Telefono TEXT, "e-mail" TEXT, ICQ TEXT,
                  "Mas info" TEXT, "Fecha de nacimiento" TEXT);
              CREATE INDEX RegistrosNombre ON Registros (Nombre);
              INSERT INTO Registros (Nombre, Apellido, "Fecha de nacimiento") VALUES
                  ('Óscar', 'Gil', '1970-01-31'), ('ana', NULL, NULL), ('Ñoño', 'Paz', NULL),
                  ('Nacho', '', NULL), ('Ana', 'Ruiz', NULL), ('borrado', NULL, NULL);
              DELETE FROM Registros WHERE Nombre = 'borrado';)sql",
              true);
    // What the shell cannot do with it today.
    QVERIFY(shell(book, "SELECT count(*) FROM Registros WHERE Nombre > 'a';")
                .err.contains("no such collation sequence"));

    const QString rows = "SELECT * FROM Registros ORDER BY Codigo;";
    const QByteArray before = shell(book, rows).out;
    QVERIFY(before.count('\n') == 5);
    auto db = Database::open(book);
    QCOMPARE(namesOf(*db, ""), (Names{"ana", "Ana", "Nacho", "Ñoño", "Óscar"}));
    QCOMPARE(shell(book, rows).out, before);
    db.reset();

    auto r = shell(book,
                   "SELECT count(*) FROM Registros WHERE Nombre > 'a';"
                   "SELECT name FROM sqlite_schema WHERE sql LIKE '%ESPANOL%' OR name = "
                   "'RegistrosNombre';"
                   "INSERT INTO Registros (Nombre) VALUES ('nuevo');"
                   "SELECT max(Codigo) FROM Registros;");
    QCOMPARE(r.err, QByteArray());
    // A deleted contact's code is still never handed out again.
    QCOMPARE(r.out, QByteArray("3\n7\n"));
    QCOMPARE(runTool({"check", QString::fromStdString(book)}).exitCode, 1);  // "nuevo" unkeyed
    QCOMPARE(namesOf(*Database::open(book), "n"), (Names{"Nacho", "nuevo"}));
}

void TestStoreBook::anyValueIsReadAsText() {
    QTemporaryDir dir;
    const std::string book = storetest::makeBook(dir, {"Beatriz", "zeta"});
    // Blobs as Python writes bytes, numbers, bad UTF-8.
    for (int i = 0; i < 100; ++i)
        QCOMPARE(shell(book, "INSERT INTO Registros (Nombre) VALUES (X'62" +
                                 QString::number(0x61 + i % 26, 16) + "');")
                     .exitCode,
                 0);
    QCOMPARE(shell(book,
                   "INSERT INTO Registros (Nombre) VALUES (42), (3.5), (X'FF41'), (X''), "
                   "(X'6E00');")
                 .exitCode,
             0);
    auto db = Database::open(book);
    const Names all = namesOf(*db, "");
    QCOMPARE(all.size(), std::size_t(107));
    QCOMPARE(all.front(), std::string());  // the empty blob is an empty name
    QCOMPARE(all[1], std::string("3.5"));
    QCOMPARE(all[2], std::string("42"));
    QCOMPARE(namesOf(*db, "b").size(), std::size_t(101));
    QCOMPARE(namesOf(*db, "ba"), (Names{"ba", "ba", "ba", "ba"}));
    QCOMPARE(namesOf(*db, "4#"), (Names{"42"}));
    QCOMPARE(namesOf(*db, "?").size(), std::size_t(106));
    QCOMPARE(namesOf(*db, "n"), (Names{std::string("n\0", 2)}));
    QCOMPARE(namesOf(*db,
                     "\xEF\xBF\xBD"
                     "a"),
             (Names{"\xFF"
                    "A"}));

    // The tool ends, lists each row once and prints no raw control byte.
    const auto r = runTool({"list", QString::fromStdString(book), ""});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.count('\n'), 107);
    QVERIFY(r.out.contains("\tn\\x00\t"));
    QVERIFY(r.out.contains("\t\\xFFA\t"));
}

void TestStoreBook::tableShapes_data() {
    QTest::addColumn<QString>("create");
    QTest::addColumn<int>("error");  // 0: read, listing "10, 9, Ana"
    const QString rest =
        ", Apellido, Domicilio, \"Localidad/Provincia\", Telefono, \"e-mail\", ICQ, \"Mas info\", "
        "\"Fecha de nacimiento\"";
    QTest::newRow("untyped Nombre") << "Codigo INTEGER PRIMARY KEY, Nombre" + rest << 0;
    QTest::newRow("lower-case names")
        << "codigo integer primary key, nombre text, apellido, domicilio, "
           "\"localidad/provincia\", telefono, \"E-MAIL\", icq, \"mas info\", "
           "\"fecha de nacimiento\""
        << 0;
    QTest::newRow("Codigo TEXT") << "Codigo TEXT PRIMARY KEY, Nombre" + rest << 3006;
    QTest::newRow("Codigo REAL") << "Codigo REAL PRIMARY KEY, Nombre" + rest << 3006;
    QTest::newRow("Codigo not the key") << "Codigo INTEGER, Nombre" + rest << 3006;
    QTest::newRow("two-column key")
        << "Codigo INTEGER, Nombre" + rest + ", PRIMARY KEY (Codigo, Nombre)" << 3006;
    QTest::newRow("without rowid")
        << "Codigo INTEGER PRIMARY KEY, Nombre" + rest + ") WITHOUT ROWID; SELECT (1" << 3006;
    QTest::newRow("no Nombre") << "Codigo INTEGER PRIMARY KEY" + rest << 3004;
}

void TestStoreBook::tableShapes() {
    QFETCH(QString, create);
    QFETCH(int, error);
    QTemporaryDir dir;
    const std::string book = dir.filePath("shape.mdb").toStdString();
    const bool hasName = create.contains("ombre");
    plainBook(book, "CREATE TABLE Registros (" + create.toStdString() + ");" +
                        (hasName ? "INSERT INTO Registros VALUES (1, 10, 'Ruiz', NULL, NULL, "
                                   "NULL, NULL, NULL, NULL, '2001-02-03'), (2, 'Ana', NULL, "
                                   "NULL, NULL, NULL, NULL, NULL, NULL, NULL), (3, 9, NULL, "
                                   "NULL, NULL, NULL, NULL, NULL, NULL, NULL);"
                                 : ""));
    const auto r = runTool({"list", QString::fromStdString(book), ""});
    if (error) {
        expectError([&] { Database::open(book); }, error, true);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.startsWith("orvane-db: ") && !r.err.contains("Error"), r.err.constData());
        return;
    }
    auto db = Database::open(book);
    QCOMPARE(namesOf(*db, ""), (Names{"10", "9", "Ana"}));
    QCOMPARE(db->columns()[kFecha], std::string(schema::kBirthDate));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("1\t10\tRuiz\t\t\t\t\t\t\t03/02/2001\n"
                               "3\t9\t\t\t\t\t\t\t\t\n"
                               "2\tAna\t\t\t\t\t\t\t\t\n"));
}

void TestStoreBook::unicodeMatchingAndOrder_data() {
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("all") << "" << QStringList{"Ana",    "Ǎna",  "e\u0301", "é",        "ễ",
                                              "Eva",    "nube", "n\u0303", "Ñ\u0301o", "Ñu",
                                              "o",      "Sara", "Șerban",  "ßa",       "STRASSE",
                                              "Straße", "Sz",   "σοφια",   "Σοφία",    "Ωμέγα"};
    QTest::newRow("a") << "a" << QStringList{"Ana", "Ǎna"};
    // Canonically equal names sit together, in the order of their bytes.
    QTest::newRow("e") << "e" << QStringList{"e\u0301", "é", "ễ", "Eva"};
    QTest::newRow("é decomposed") << "e\u0301" << QStringList{"e\u0301", "é", "ễ", "Eva"};
    QTest::newRow("n") << "n" << QStringList{"nube"};
    QTest::newRow("ñ") << "ñ" << QStringList{"n\u0303", "Ñ\u0301o", "Ñu"};
    QTest::newRow("ñ decomposed") << "N\u0303" << QStringList{"n\u0303", "Ñ\u0301o", "Ñu"};
    // ß is one letter that sorts as "ss": "s" finds "Straße", not "ßa".
    QTest::newRow("ș") << "ș" << QStringList{"Sara", "Șerban", "STRASSE", "Straße", "Sz"};
    QTest::newRow("strasse") << "strass" << QStringList{"STRASSE"};
    QTest::newRow("σ") << "Σ" << QStringList{"σοφια", "Σοφία"};
    QTest::newRow("ẞ") << "ẞ" << QStringList{"ßa"};
}

void TestStoreBook::unicodeMatchingAndOrder() {
    QFETCH(QString, prefix);
    QFETCH(QStringList, names);
    // Decomposed accents, letters beyond Latin-1, case pairs.
    static const QStringList book = {"Ana",    "Ǎna",     "é",       "e\u0301", "ễ",
                                     "Eva",    "nube",    "n\u0303", "Ñu",      "Ñ\u0301o",
                                     "o",      "Sara",    "Șerban",  "ßa",      "Sz",
                                     "Straße", "STRASSE", "Σοφία",   "σοφια",   "Ωμέγα"};
    QTemporaryDir dir;
    std::vector<Value> values;
    for (const QString& n : book) values.push_back(n.toStdString());
    auto db = Database::open(storetest::makeBook(dir, values));
    QStringList got;
    for (const std::string& n : namesOf(*db, prefix.toStdString()))
        got << QString::fromStdString(n);
    QCOMPARE(got, names);
}

void TestStoreBook::keysOfAnotherVersionAreRemade() {
    QTemporaryDir dir;
    const std::string book = storetest::makeBook(dir, {"Zoe", "Ana", "Marta"});
    QCOMPARE(shell(book,
                   "UPDATE OrvMeta SET Valor = 'icu-1.0/orv-0' WHERE Nombre = 'orden';"
                   "UPDATE OrvClaves SET Clave = X'01' || Codigo;")
                 .exitCode,
             0);
    const auto r = runTool({"check", QString::fromStdString(book)});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("otra versión") && r.err.contains("3 claves de orden que no"),
             r.err.constData());
    auto db = Database::open(book);
    QCOMPARE(namesOf(*db, ""), (Names{"Ana", "Marta", "Zoe"}));
    QVERIFY(keys::problems(db->handle()).empty());
}

void TestStoreBook::unwritableBookIsKeyedForItself() {
    QTemporaryDir dir;
    const std::string book = storetest::makeBook(dir, {"Zoe", "Ana"});
    QCOMPARE(shell(book, "INSERT INTO Registros (Nombre) VALUES ('Marta');").exitCode, 0);
    const std::string bytes = storetest::fileBytes(book);
    // Every write to the book refused, as for a read-only file or folder.
    setConnectionHook([](sqlite3* db) {
        sqlite3_set_authorizer(
            db,
            [](void*, int action, const char*, const char*, const char* schema, const char*) {
                const bool write = action == SQLITE_INSERT || action == SQLITE_UPDATE ||
                                   action == SQLITE_DELETE || action == SQLITE_CREATE_TABLE ||
                                   action == SQLITE_CREATE_INDEX || action == SQLITE_DROP_INDEX;
                return write && schema && std::string_view(schema) == "main" ? SQLITE_DENY
                                                                             : SQLITE_OK;
            },
            nullptr);
    });
    auto db = Database::open(book);
    setConnectionHook({});
    QCOMPARE(namesOf(*db, ""), (Names{"Ana", "Marta", "Zoe"}));
    QCOMPARE(namesOf(*db, "m"), (Names{"Marta"}));
    db.reset();
    QCOMPARE(storetest::fileBytes(book), bytes);
}

void TestStoreBook::checkAndReindex() {
    QTemporaryDir dir;
    const std::string book = storetest::makeBook(dir, {"Zoe", "Ana"});
    const QString b = QString::fromStdString(book);
    auto r = runTool({"check", b});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith("La agenda " + b.toUtf8() + " está bien.\nHistoria: 2 cambios, "),
             r.out.constData());
    // A book of the release before history and kept card lines is fine too:
    // those tables come at its next write.
    const std::string old = dir.filePath("vieja.mdb").toStdString();
    QCOMPARE(runTool({"backup", b, QString::fromStdString(old)}).exitCode, 0);
    QCOMPARE(shell(old,
                   "DROP TABLE OrvPropiedades; DROP TRIGGER OrvHistoriaAlta; DROP TRIGGER "
                   "OrvHistoriaCambio; DROP TRIGGER OrvHistoriaRecodigo; DROP TRIGGER "
                   "OrvHistoriaBaja; DROP TABLE OrvHistoria; DROP TABLE OrvHistoriaOrigen;")
                 .exitCode,
             0);
    r = runTool({"check", QString::fromStdString(old)});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(shell(book,
                   "DROP TRIGGER OrvAlta; INSERT INTO Registros (Nombre) VALUES ('Eva');"
                   "DELETE FROM OrvClaves WHERE Codigo = 1;")
                 .exitCode,
             0);
    r = runTool({"check", b});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("faltan"), r.err.constData());
    r = runTool({"reindex", b});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, "3 contactos reordenados en " + b.toUtf8() + "\n");
    QCOMPARE(runTool({"check", b}).exitCode, 0);
    QCOMPARE(namesOf(*Database::open(book), ""), (Names{"Ana", "Eva", "Zoe"}));
    // A file that is not a book.
    storetest::writeFile(dir.filePath("x.mdb"), "not a book");
    r = runTool({"check", dir.filePath("x.mdb")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.startsWith("orvane-db: ") && r.err.contains("no es una base de datos"),
             r.err.constData());
}

void TestStoreBook::toolMessagesAndFiles() {
    QTemporaryDir dir;
    const QString book = QString::fromStdString(storetest::makeBook(dir, {"Ana\x1B]0;x\x07\x1B[31m",
                                                                          "B\xC2\x9B"
                                                                          "2J",
                                                                          "Eva"}));
    // Terminal controls never reach the terminal.
    auto r = runTool({"list", book, ""});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith("1\tAna\\x1B]0;x\\x07\\x1B[31m\t"), r.out.constData());
    QVERIFY2(r.out.contains("\n2\tB\\u009B2J\t"), r.out.constData());
    // An unclosed list is named as such, whatever follows the "[".
    r = runTool({"list", book, "[a-"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("falta el cierre de '['"), r.err.constData());
    // An export's name may use the whole 255 bytes; nothing else is left beside it.
    const QString name = QString(251, 'x') + ".csv";
    r = runTool({"export", book, dir.filePath(name)});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{"orv.mdb", name}));
}

QTEST_APPLESS_MAIN(TestStoreBook)
#include "tst_store_book.moc"

// The book's WAL journal keeps what the rollback journal promised: a book no
// program has open is one whole file (a copy made with cp is complete); a
// folder or file that cannot be written still lists; a copy made while
// another program is in the middle of writing is whole and consistent; and a
// writer shuts no reader out.
void TestStoreBook::walKeepsEveryPromise() {
    QTemporaryDir dir;
    const std::string book = storetest::makeBook(dir, {"Ana", "Berta"});
    {
        auto db = Database::open(book);
        db->exec("INSERT INTO Registros (Nombre) VALUES ('Carla')");
        QVERIFY(QFile::exists(QString::fromStdString(book) + "-wal"));
    }
    QVERIFY(!QFile::exists(QString::fromStdString(book) + "-wal"));
    {
        // The writer folds its journal back even with a reader still open: the
        // reader closing last would otherwise copy it all.
        auto reader = Database::open(book);
        {
            auto db = Database::open(book);
            db->exec("INSERT INTO Registros (Nombre) VALUES ('Carla')");
        }
        QCOMPARE(QFileInfo(QString::fromStdString(book) + "-wal").size(), 0);
        reader->exec("DELETE FROM Registros WHERE Nombre = 'Carla' AND Codigo > 3");
    }
    const QString copied = dir.filePath("copia.mdb");
    QVERIFY(QFile::copy(QString::fromStdString(book), copied));
    QCOMPARE(namesOf(*Database::open(copied.toStdString()), ""), (Names{"Ana", "Berta", "Carla"}));

    // Another program in the middle of a write: read, and copied, as before it.
    QProcess writer;
    writer.start("sqlite3", {QString::fromStdString(book)});
    writer.write(
        "BEGIN IMMEDIATE;\nINSERT INTO Registros (Nombre) VALUES ('Dora');\nSELECT 'a medias';\n");
    QByteArray said;
    while (!said.contains("a medias") && writer.waitForReadyRead(5000)) said += writer.readAll();
    QVERIFY(said.contains("a medias"));
    QCOMPARE(namesOf(*Database::open(book), ""), (Names{"Ana", "Berta", "Carla"}));
    const std::string copy = dir.filePath("respaldo.mdb").toStdString();
    backup::copy(book, copy);
    writer.write("COMMIT;\n");
    writer.closeWriteChannel();
    QVERIFY(writer.waitForFinished(5000));
    QCOMPARE(namesOf(*Database::open(copy), ""), (Names{"Ana", "Berta", "Carla"}));
    QCOMPARE(namesOf(*Database::open(book), ""), (Names{"Ana", "Berta", "Carla", "Dora"}));

    // A folder its owner may not write in: the owner lists the book all the same.
    QStringList program{ORV_DB_TOOL};
    const QString folder = QFileInfo(QString::fromStdString(book)).path();
    const QByteArray folderPath = QFile::encodeName(folder);
    if (geteuid() == 0) {
        // Root writes anywhere: the folder and the book become nobody's.
        if (!QFile::exists("/usr/bin/setpriv")) QSKIP("setpriv is needed to drop root");
        const QString tool = dir.filePath("orvane-db");
        QVERIFY(QFile::copy(ORV_DB_TOOL, tool));
        for (const QString& f : {folder, QString::fromStdString(book), tool})
            QVERIFY(::chown(QFile::encodeName(f).constData(), 65534, 65534) == 0);
        program = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", tool};
    }
    QVERIFY(::chmod(folderPath.constData(), 0500) == 0);
    QProcess lister;
    lister.start(program.takeFirst(),
                 program + QStringList{"list", QString::fromStdString(book), ""});
    QVERIFY(lister.waitForFinished(30000));
    const QByteArray listed = lister.readAllStandardOutput();
    QVERIFY(::chmod(folderPath.constData(), 0700) == 0);
    QVERIFY2(lister.exitCode() == 0, lister.readAllStandardError().constData());
    QCOMPARE(listed.count('\n'), 4);
    QVERIFY(!QFile::exists(QString::fromStdString(book) + "-shm"));
}
