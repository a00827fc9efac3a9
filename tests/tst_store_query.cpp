// Opening a contact book and reading the contact query through it.

#include <QtTest>

#include <algorithm>
#include <fstream>

#include "store/collation.h"
#include "store/contactquery.h"
#include "store/engine.h"
#include "store/pattern.h"
#include "store/sql.h"
#include "support/storetest.h"

using namespace orv;
using storetest::expectError;
using storetest::listed;
using storetest::show;

namespace {

// Names chosen to trip case, accents, ñ, blanks, quotes and wildcards.
const std::vector<Value> kTricky = {"María",
                                    "manuel",
                                    "Mónica",
                                    "MARTA",
                                    "Álvaro",
                                    "alberto",
                                    "Ana",
                                    "ana maría",
                                    "Ana ",
                                    "Nuria",
                                    "Ñandú",
                                    "ñoño",
                                    "Oscar",
                                    "O'Brien",
                                    "José Luis",
                                    "Josefa",
                                    "Zoe",
                                    "zacarías",
                                    "",
                                    std::nullopt,
                                    "123",
                                    "[x]",
                                    "x*y",
                                    "Über",
                                    "über",
                                    "Ébano",
                                    "ÿ",
                                    "Ÿves",
                                    "María",
                                    " Blas",
                                    "\xFF"
                                    "bad"};

// The names a prefix must list, worked out without the engine: every
// non-null name the pattern matches, in Spanish order, ties by code.
std::vector<Value> expected(const std::vector<Value>& names, const std::string& prefix) {
    const Pattern p(prefix + "*");
    std::vector<std::pair<std::string, std::size_t>> hits;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] && p.matches(std::string_view(*names[i]))) hits.push_back({*names[i], i});
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
        const int c = collation::compare(a.first, b.first);
        return c != 0 ? c < 0 : a.second < b.second;
    });
    std::vector<Value> out;
    for (const auto& h : hits) out.push_back(h.first);
    return out;
}

}  // namespace

class TestStoreQuery : public QObject {
    Q_OBJECT

  private slots:
    void openErrors();
    void createRefusesExistingFile();
    void prefixes();
    void seekMatchesScan();
    void bookWithoutCollation();
    void queryDialect();
    void orderedReadsWalkTheIndex();
    void pagesOfKeys();
    void rowsGoneSinceRead();
    void readsHoldNoLock();
};

void TestStoreQuery::openErrors() {
    QTemporaryDir dir;
    const auto path = [&](const char* name) { return dir.filePath(name).toStdString(); };

    // Missing: reported, fatal, and nothing is created.
    expectError([&] { Database::open(path("none.mdb")); }, kErrFileNotFound, true,
                "No se encuentra el archivo '" + path("none.mdb") + "'.");
    QVERIFY(!QFile::exists(dir.filePath("none.mdb")));

    // Each broken file keeps its exact bytes.
    struct Broken {
        const char* name;
        int number;
        std::string text;
    };
    {
        std::ofstream(path("empty.mdb"));
        std::ofstream(path("text.mdb")) << "Nombre;Apellido\nAna;Pérez\n" << std::string(5000, 'x');
        {
            sqlite3* raw = nullptr;
            QCOMPARE(sqlite3_open(path("other.mdb").c_str(), &raw), SQLITE_OK);
            sql::exec(raw, "CREATE TABLE Personas (Nombre TEXT)");
            sqlite3_close(raw);
        }
        storetest::handMadeBook(path("nomail.mdb"), {}, kEmail);
    }
    for (const Broken& b :
         {Broken{"empty.mdb", kErrTableNotFound, {}}, Broken{"text.mdb", kErrNotADatabase, {}},
          Broken{"other.mdb", kErrTableNotFound,
                 "No se encuentra la tabla 'Registros' en '" + path("other.mdb") + "'."},
          Broken{"nomail.mdb", kErrFieldNotFound,
                 "No se encuentra el campo 'e-mail' en la tabla 'Registros'."}}) {
        const std::string before = storetest::fileBytes(path(b.name));
        expectError([&] { Database::open(path(b.name)); }, b.number, true, b.text);
        QVERIFY2(storetest::fileBytes(path(b.name)) == before, b.name);
        QVERIFY(!QFile::exists(dir.filePath(b.name) + "-journal"));
    }
    // A folder is no book either, and a name SQLite reads its own way is a plain file name.
    expectError([&] { Database::open(dir.path().toStdString()); }, kErrNotADatabase, true);
    expectError([&] { Database::open(":memory:"); }, kErrFileNotFound, true);
    expectError([&] { Database::open(""); }, kErrFileNotFound, true);
}

void TestStoreQuery::createRefusesExistingFile() {
    QTemporaryDir dir;
    const std::string path = storetest::makeBook(dir, {"Ana"});
    const std::string before = storetest::fileBytes(path);
    expectError([&] { Database::create(path); }, kErrFileExists, false);
    QCOMPARE(storetest::fileBytes(path), before);
    // The new book is usable at once and through a second connection.
    auto db = Database::open(path);
    QCOMPARE(db->columns().size(), std::size_t(10));
    QCOMPARE(show(listed(*db, "")), std::vector<std::string>{"Ana"});
}

void TestStoreQuery::prefixes() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, kTricky));
    using V = std::vector<std::string>;
    // Capitals and small letters alike, in one case-blind order.
    QCOMPARE(show(listed(*db, "m")), (V{"manuel", "María", "María", "MARTA", "Mónica"}));
    QCOMPARE(show(listed(*db, "M")), show(listed(*db, "m")));
    // Álvaro among the A's; ñ after n, never with it.
    QCOMPARE(show(listed(*db, "a")), (V{"alberto", "Álvaro", "Ana", "Ana ", "ana maría"}));
    QCOMPARE(show(listed(*db, "n")), (V{"Nuria"}));
    QCOMPARE(show(listed(*db, "ñ")), (V{"Ñandú", "ñoño"}));
    QCOMPARE(show(listed(*db, "jose")), (V{"José Luis", "Josefa"}));
    // A trailing blank must be there.
    QCOMPARE(show(listed(*db, "ana ")), (V{"Ana ", "ana maría"}));
    QCOMPARE(show(listed(*db, " ")), (V{" Blas"}));
    // Everything but the null name, the empty one first; "*" the same.
    const auto all = show(listed(*db, ""));
    QCOMPARE(all.size(), kTricky.size() - 1);
    QCOMPARE(all.front(), std::string());
    QVERIFY(std::find(all.begin(), all.end(), "<null>") == all.end());
    QCOMPARE(show(listed(*db, "*")), all);
    // "?": at least one character.
    auto some = all;
    some.erase(some.begin());
    QCOMPARE(show(listed(*db, "?")), some);
    QCOMPARE(show(listed(*db, "O'")), (V{"O'Brien"}));
    QCOMPARE(show(listed(*db, "[[]")), (V{"[x]"}));
    QCOMPARE(show(listed(*db, "x[*]")), (V{"x*y"}));
    QCOMPARE(show(listed(*db, "#")), (V{"123"}));

    auto none = db->openRecordset(*contactQuery("qqq", "Registros"));
    QCOMPARE(none->RecordCount(), 0L);
    QVERIFY(!none->hasCurrent());
    QCOMPARE(none->value("Nombre"), Value());

    // An invalid prefix fails before anything is read and changes nothing.
    const std::string before = storetest::fileBytes(db->path());
    expectError([&] { db->openRecordset(*contactQuery("[a", "Registros")); }, kErrInvalidPattern,
                false);
    QCOMPARE(storetest::fileBytes(db->path()), before);
    QCOMPARE(show(listed(*db, "m")).size(), std::size_t(5));
}

// The index range added for a literal prefix must never change the result.
void TestStoreQuery::seekMatchesScan() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, kTricky));
    std::vector<std::string> prefixes = {
        "",      "z",  "Z",   "zz", "ÿ",   "Ÿ",     "\xFF",  "\xEF\xBF\xBD",
        "[a-m]", "?a", "*ez", "*a", "m?r", "ana m", "[!a-z]"};
    for (const Value& n : kTricky) {
        if (!n) continue;
        const std::u32string u = collation::decode(*n);
        for (std::size_t len = 1; len <= std::min<std::size_t>(3, u.size()); ++len) {
            std::string p;
            for (std::size_t i = 0; i < len; ++i) collation::appendUtf8(p, u[i]);
            if (p.find_first_of("[*?#") == std::string::npos) prefixes.push_back(p);
        }
    }
    for (const auto& p : prefixes)
        QVERIFY2(show(listed(*db, p)) == show(expected(kTricky, p)), p.c_str());
}

// A Nombre column declared without our collation (a book made by hand) is
// still filtered and ordered the Spanish way.
void TestStoreQuery::bookWithoutCollation() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("hand.mdb").toStdString();
    storetest::handMadeBook(path, kTricky);
    auto db = Database::open(path);
    for (const std::string p : {"", "m", "a", "n", "ñ", "z", "?", "*ez"})
        QVERIFY2(show(listed(*db, p)) == show(expected(kTricky, p)), p.c_str());
}

void TestStoreQuery::queryDialect() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Marta", std::nullopt, "ana", "Mario"}));
    using V = std::vector<std::string>;
    auto names = [&](const std::string& q) { return show(storetest::names(*db->openQuery(q))); };
    QCOMPARE(names("select * from registros where nombre LIKE 'm*' order by nombre"),
             (V{"Mario", "Marta"}));
    QCOMPARE(names("Select * From Registros WHERE Nombre like 'm*'"), (V{"Marta", "Mario"}));
    QCOMPARE(names("  Select *From Registros  ORDER BY Nombre ; "),
             (V{"<null>", "ana", "Mario", "Marta"}));
    QCOMPARE(names("Select * From Registros"), (V{"Marta", "<null>", "ana", "Mario"}));
    for (const char* bad :
         {"Select Nombre From Registros", "Select * From Otra", "Select * From RegistrosX",
          "Select * From Registros WHERE Nombre like 'a", "Select * From Registros ORDERBY Nombre",
          "Select * From Registros WHERE Apellido like 'a*'", "Registros x", "",
          "DROP TABLE Registros"})
        expectError([&] { db->openRecordset(bad); }, kErrInvalidQuery, false);
    // The typed opening gives query record sets only.
    expectError([&] { db->openQuery("Registros"); }, kErrInvalidQuery, false);
    // The whole table is the card's updatable set.
    QVERIFY(db->openRecordset("Registros")->updatable());
    auto list = db->openRecordset("Select * From Registros");
    QVERIFY(!list->updatable());
    expectError([&] { list->AddNew(); }, kErrEngine, false);
}

// Ordered reads must walk the key index: a seek for a prefix, no sort.
void TestStoreQuery::orderedReadsWalkTheIndex() {
    QTemporaryDir dir;
    std::vector<Value> many;
    for (int i = 0; i < 600; ++i) many.push_back(storetest::numbered("Nombre ", i % 37));
    auto db = Database::open(storetest::makeBook(dir, many));
    std::vector<std::string> statements;
    sqlite3_trace_v2(
        db->handle(), SQLITE_TRACE_STMT,
        [](unsigned, void* ctx, void* stmt, void*) {
            auto* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(stmt));
            if (sql && std::string_view(sql).find("Clave") != std::string_view::npos)
                static_cast<std::vector<std::string>*>(ctx)->push_back(sql);
            return 0;
        },
        &statements);
    storetest::names(*db->openQuery(*contactQuery("n", "Registros")));  // every page
    sqlite3_trace_v2(db->handle(), 0, nullptr, nullptr);
    std::sort(statements.begin(), statements.end());
    statements.erase(std::unique(statements.begin(), statements.end()), statements.end());
    QVERIFY(statements.size() >= 2);
    for (const auto& statement : statements) {
        sql::Statement explain(db->handle(), "EXPLAIN QUERY PLAN " + statement);
        std::string plan;
        while (explain.step()) plan += std::string(explain.text(3)) + "\n";
        QVERIFY2(
            plan.find("SEARCH k USING COVERING INDEX OrvClavesOrden (Clave>") != std::string::npos,
            (statement + "\n" + plan).c_str());
        QVERIFY2(plan.find("TEMP B-TREE") == std::string::npos, plan.c_str());
    }
}

void TestStoreQuery::pagesOfKeys() {
    QTemporaryDir dir;
    // Many equal names: pages must step over ties by code, none twice, none lost.
    std::vector<Value> many(1000, Value("María"));
    for (int i = 0; i < 500; ++i)
        many[static_cast<std::size_t>(i * 2)] = storetest::numbered("Marta ", 999 - i);
    auto db = Database::open(storetest::makeBook(dir, many));
    const auto rs = db->openQuery(*contactQuery("m", "Registros"));
    QueryRecordset& q = *rs;
    QVERIFY(q.rowsFetched() > 0 && q.rowsFetched() < 1000);  // opening reads a page, not all
    QCOMPARE(q.RecordCount(), long(q.rowsFetched()));
    QVERIFY(q.canFetchMore());
    QCOMPARE(q.currentRow(), std::size_t(0));
    QCOMPARE(q.value("Nombre"), Value("María"));
    QCOMPARE(q.value("Codigo"), Value("2"));
    const std::size_t first = q.rowsFetched();
    QCOMPARE(q.fetchMore(7), std::size_t(7));
    QCOMPARE(q.rowsFetched(), first + 7);
    q.fetchAll();
    QCOMPARE(q.rowsFetched(), std::size_t(1000));
    QVERIFY(!q.canFetchMore());
    QCOMPARE(q.fetchMore(10), std::size_t(0));
    QCOMPARE(q.RecordCount(), 1000L);
    std::vector<std::int64_t> codes;
    for (std::size_t r = 0; r < 1000; ++r) codes.push_back(q.codeAt(r));
    // 500 Marías by code, then the Martas by name.
    for (std::size_t r = 0; r < 500; ++r) QCOMPARE(codes[r], std::int64_t(2 * r + 2));
    QCOMPARE(q.valueAt(500, q.fieldIndex("Nombre")), Value("Marta 500"));
    QCOMPARE(q.valueAt(999, q.fieldIndex("Codigo")), Value("1"));
    std::sort(codes.begin(), codes.end());
    QVERIFY(std::adjacent_find(codes.begin(), codes.end()) == codes.end());

    // Moving and rereading.
    q.setCurrentRow(999);
    QCOMPARE(q.value("Nombre"), Value("Marta 999"));
    expectError([&] { q.setCurrentRow(1000); }, kErrNoCurrentRecord, false);
    q.MoveFirst();
    QCOMPARE(q.currentRow(), std::size_t(0));
    db->exec("INSERT INTO Registros (Nombre) VALUES ('Ma')");
    q.Requery();
    QCOMPARE(q.value("Nombre"), Value("Ma"));
    QVERIFY(q.rowsFetched() < 1001);
}

void TestStoreQuery::rowsGoneSinceRead() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana", "Berta", "Carla"}));
    const auto rs = db->openQuery(*contactQuery("", "Registros"));
    QueryRecordset& q = *rs;
    db->exec("DELETE FROM Registros WHERE Codigo = 2");
    QCOMPARE(q.codeAt(1), std::int64_t(2));
    for (int f = 0; f < int(q.fieldNames().size()); ++f) QCOMPARE(q.valueAt(1, f), Value());
    QCOMPARE(q.valueAt(2, q.fieldIndex("Nombre")), Value("Carla"));
    QCOMPARE(q.valueAt(7, 0), Value());
    expectError([&] { q.valueAt(0, 99); }, kErrFieldNotFound, false);
}

// Between calls a reader holds no lock, so the card can store while a
// results list is still open.
void TestStoreQuery::readsHoldNoLock() {
    QTemporaryDir dir;
    std::vector<Value> many(2000, Value("Ana"));
    const std::string path = storetest::makeBook(dir, many);
    auto reader = Database::open(path);
    const auto rs = reader->openQuery(*contactQuery("a", "Registros"));
    QueryRecordset& q = *rs;
    QVERIFY(q.canFetchMore());
    q.valueAt(0, 0);
    auto writer = Database::open(path);
    writer->setBusyTimeout(50);
    writer->exec("INSERT INTO Registros (Nombre) VALUES ('Zoe')");
    q.fetchAll();
    QCOMPARE(q.rowsFetched(), std::size_t(2000));
}

QTEST_APPLESS_MAIN(TestStoreQuery)
#include "tst_store_query.moc"
