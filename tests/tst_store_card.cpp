// The record card's side of the store: the whole-table record set and the
// data control that binds it.

#include <QtTest>

#include "store/datacontrol.h"
#include "store/engine.h"
#include "store/sql.h"
#include "support/storetest.h"

using namespace orv;
using storetest::expectError;

namespace {

struct Counter : RecordsetObserver {
    int calls = 0;
    void currentChanged() override { ++calls; }
};

// Per field: the value to store (nullopt outer: leave as it is).
std::vector<std::optional<Value>> values(const Recordset& rs,
                                         std::initializer_list<std::pair<std::string, Value>> set) {
    std::vector<std::optional<Value>> v(rs.fieldNames().size());
    for (const auto& [field, value] : set)
        v[static_cast<std::size_t>(rs.fieldIndex(field))] = value;
    return v;
}

Value stored(Database& db, std::int64_t code, const std::string& field) {
    auto rs = db.openRecordset("Registros");
    if (!rs->FindCode(code)) return Value("<missing>");
    return rs->value(field);
}

}  // namespace

class TestStoreCard : public QObject {
    Q_OBJECT

  private slots:
    void emptyTable();
    void findFirst();
    void addNewRestoresPreviousRow();
    void codesNeverReused();
    void editWritesOnlyGivenFields();
    void textsAtTheLimitsRoundTrip();
    void failedStoreKeepsPendingRow_data();
    void failedStoreKeepsPendingRow();
    void failedDeleteKeepsRow();
    void noCurrentRow();
    void sqlWrapper();
    void dataControlBindsCard();
    void dataControlShowsGivenRecordset();
};

void TestStoreCard::emptyTable() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {}));
    auto rs = db->openRecordset("Registros");
    QCOMPARE(rs->RecordCount(), 0L);
    QVERIFY(!rs->hasCurrent());
    QVERIFY(!rs->FindFirst("Codigo = 0"));
    QCOMPARE(rs->value("Nombre"), Value());
    // The first contact of a new book is shown once stored.
    rs->AddNew();
    rs->Update(values(*rs, {{"Nombre", "Ana"}}));
    QCOMPARE(rs->value("Nombre"), Value("Ana"));
    QCOMPARE(rs->value("Codigo"), Value("1"));
    QCOMPARE(rs->RecordCount(), 1L);
}

void TestStoreCard::findFirst() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana", "Berta", "Carla"}));
    auto rs = db->openRecordset("Registros");
    Counter seen;
    rs->setObserver(&seen);
    QCOMPARE(rs->value("Nombre"), Value("Ana"));
    QVERIFY(rs->FindFirst("Codigo = 3"));
    QCOMPARE(rs->value("Nombre"), Value("Carla"));
    QVERIFY(rs->FindFirst("codigo=2"));
    QCOMPARE(rs->value("Nombre"), Value("Berta"));
    QVERIFY(rs->FindCode(3));
    QCOMPARE(rs->value("Nombre"), Value("Carla"));
    for (std::int64_t miss : {std::int64_t(0), std::int64_t(-2), INT64_MIN}) {
        QVERIFY(!rs->FindCode(miss));
        QCOMPARE(rs->value("Nombre"), Value("Ana"));
    }
    // No match, or not a whole number: the first row.
    for (const char* miss :
         {"Codigo = 0", "Codigo = 99", "Codigo = ", "Codigo = 1.5", "Codigo = abc",
          "Codigo = 2 OR 1=1", "Codigo = 99999999999999999999"}) {
        rs->FindFirst("Codigo = 3");
        QVERIFY2(!rs->FindFirst(miss), miss);
        QCOMPARE(rs->value("Nombre"), Value("Ana"));
    }
    QCOMPARE(seen.calls, 2 + 4 + 7 * 2);  // every move is told
    expectError([&] { rs->FindFirst("Nombre = 'Ana'"); }, kErrInvalidQuery);
    rs->setObserver(nullptr);
}

void TestStoreCard::addNewRestoresPreviousRow() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana", "Berta", "Carla"}));
    auto rs = db->openRecordset("Registros");
    rs->FindFirst("Codigo = 2");
    rs->AddNew();
    QCOMPARE(rs->editMode(), Recordset::EditMode::AddNew);
    for (int f = 0; f < int(rs->fieldNames().size()); ++f) QCOMPARE(rs->value(f), Value());
    // Codigo is the store's to give, even when a value is passed for it.
    rs->Update(values(*rs, {{"Nombre", "Diana"}, {"Codigo", "77"}, {"Apellido", "Díaz"}}));
    QCOMPARE(rs->editMode(), Recordset::EditMode::None);
    QCOMPARE(rs->value("Nombre"), Value("Berta"));
    // The new row is there for any other connection, found by its code.
    auto other = Database::open(db->path());
    QCOMPARE(stored(*other, 4, "Nombre"), Value("Diana"));
    QCOMPARE(stored(*other, 4, "Apellido"), Value("Díaz"));
    QCOMPARE(stored(*other, 4, "Telefono"), Value());
    QCOMPARE(stored(*other, 77, "Nombre"), Value("<missing>"));

    // A cancelled new row leaves no trace.
    rs->AddNew();
    rs->CancelUpdate();
    QCOMPARE(rs->value("Nombre"), Value("Berta"));
    auto all = Database::open(db->path())->openQuery("Select * From Registros");
    QCOMPARE(storetest::names(*all).size(), std::size_t(4));
}

void TestStoreCard::codesNeverReused() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana", "Berta", "Carla"}));
    auto rs = db->openRecordset("Registros");
    QVERIFY(rs->FindCode(3));
    rs->Delete();
    QVERIFY(!rs->hasCurrent());
    rs->Requery();
    rs->AddNew();
    rs->Update(values(*rs, {{"Nombre", "Diana"}}));
    QCOMPARE(stored(*db, 4, "Nombre"), Value("Diana"));
    QCOMPARE(stored(*db, 3, "Nombre"), Value("<missing>"));
}

void TestStoreCard::editWritesOnlyGivenFields() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana"}));
    const std::string info(200, 'i');
    db->exec("UPDATE Registros SET \"Mas info\" = '" + info +
             "', Telefono = '', \"Fecha de nacimiento\" = '1990-03-05' WHERE Codigo = 1");
    auto rs = db->openRecordset("Registros");
    rs->Edit();
    QCOMPARE(rs->editMode(), Recordset::EditMode::Edit);
    // Another connection changes a field meanwhile: only the given ones are written.
    Database::open(db->path())->exec("UPDATE Registros SET ICQ = '123' WHERE Codigo = 1");
    rs->Update(values(*rs, {{"Nombre", "Ana María"}, {"Apellido", std::nullopt}}));
    QCOMPARE(rs->value("Nombre"), Value("Ana María"));
    QCOMPARE(rs->value("ICQ"), Value("123"));
    QCOMPARE(rs->value("Mas info"), Value(info));
    QCOMPARE(rs->value("Telefono"), Value(""));
    QCOMPARE(rs->value("Apellido"), Value());
    QCOMPARE(rs->value("Fecha de nacimiento"), Value("1990-03-05"));
    // An edit with nothing given stores nothing and ends the edit.
    rs->Edit();
    rs->Update(values(*rs, {}));
    QCOMPARE(rs->editMode(), Recordset::EditMode::None);
    expectError([&] { rs->Update(values(*rs, {})); }, kErrNoPendingChange);
    expectError([&] { rs->CancelUpdate(); }, kErrNoPendingChange);
}

void TestStoreCard::textsAtTheLimitsRoundTrip() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {}));
    auto rs = db->openRecordset("Registros");
    std::string name;
    for (int i = 0; i < 50; ++i) name += i % 2 ? "ñ" : "Á";  // 50 characters, 100 bytes
    const std::string mail = std::string(99, 'm') + "@";
    std::string info = "línea 1\r\nlínea 2 'comillas' \"dobles\" 😀";
    info += std::string(200 - QString::fromStdString(info).toStdU32String().size(), '.');
    const std::vector<std::pair<std::string, Value>> row = {
        {"Nombre", name},
        {"Apellido", std::string(50, 'A')},
        {"e-mail", mail},
        {"Mas info", info},
        {"Domicilio", "C/ Mayor, 1 - 3º B"},
        {"Localidad/Provincia", "A Coruña (Galicia)"},
        {"Fecha de nacimiento", "2000-02-29"}};
    rs->AddNew();
    auto v = values(*rs, {});
    for (const auto& [f, x] : row) v[static_cast<std::size_t>(rs->fieldIndex(f))] = x;
    rs->Update(v);
    auto again = Database::open(db->path())->openRecordset("Registros");
    for (const auto& [f, x] : row) QCOMPARE(again->value(f), x);
}

void TestStoreCard::failedStoreKeepsPendingRow_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("number");
    QTest::newRow("locked") << "locked" << int(kErrLocked);
    QTest::newRow("read-only") << "readonly" << int(kErrReadOnly);
    QTest::newRow("disk full") << "full" << int(kErrDiskFull);
}

// The store is refused (another program's lock, a read-only file, a full
// disk): the error is reported, nothing is lost, and a retry succeeds.
void TestStoreCard::failedStoreKeepsPendingRow() {
    QFETCH(QString, how);
    QFETCH(int, number);
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana", "Berta"}));
    db->setBusyTimeout(50);
    auto rs = db->openRecordset("Registros");
    auto other = Database::open(db->path());
    auto block = [&] {
        if (how == "locked") other->exec("BEGIN IMMEDIATE");
        if (how == "readonly") db->exec("PRAGMA query_only = 1");
        if (how == "full") {
            sql::Statement pages(db->handle(), "PRAGMA page_count");
            QVERIFY(pages.step());
            db->exec("PRAGMA max_page_count = " + std::to_string(pages.int64(0)));
        }
    };
    auto unblock = [&] {
        if (how == "locked") other->exec("ROLLBACK");
        if (how == "readonly") db->exec("PRAGMA query_only = 0");
        if (how == "full") db->exec("PRAGMA max_page_count = 1073741823");
    };
    const std::string big(100000, 'x');  // needs new pages

    rs->AddNew();
    block();
    const auto add = values(*rs, {{"Nombre", "Carla"}, {"Mas info", big}});
    expectError([&] { rs->Update(add); }, number);
    QCOMPARE(rs->editMode(), Recordset::EditMode::AddNew);
    unblock();
    QCOMPARE(stored(*other, 3, "Nombre"), Value("<missing>"));
    rs->Update(add);
    QCOMPARE(stored(*other, 3, "Nombre"), Value("Carla"));

    rs->Edit();
    block();
    const auto edit = values(*rs, {{"Apellido", "Álvarez"}, {"Mas info", big + big}});
    expectError([&] { rs->Update(edit); }, number);
    QCOMPARE(rs->editMode(), Recordset::EditMode::Edit);
    QCOMPARE(stored(*other, 1, "Apellido"), Value());
    unblock();
    rs->Update(edit);
    QCOMPARE(stored(*other, 1, "Apellido"), Value("Álvarez"));
}

void TestStoreCard::failedDeleteKeepsRow() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana", "Berta"}));
    db->setBusyTimeout(50);
    auto rs = db->openRecordset("Registros");
    rs->FindFirst("Codigo = 2");
    auto other = Database::open(db->path());
    other->exec("BEGIN IMMEDIATE");
    expectError([&] { rs->Delete(); }, kErrLocked);
    QCOMPARE(rs->value("Nombre"), Value("Berta"));
    other->exec("ROLLBACK");
    rs->Delete();
    QCOMPARE(stored(*other, 2, "Nombre"), Value("<missing>"));
}

void TestStoreCard::noCurrentRow() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana", "Berta"}));
    auto rs = db->openRecordset("Registros");
    rs->Delete();
    QVERIFY(!rs->hasCurrent());
    QCOMPARE(rs->value("Nombre"), Value());
    expectError([&] { rs->Edit(); }, kErrNoCurrentRecord);
    expectError([&] { rs->Delete(); }, kErrNoCurrentRecord);
    QCOMPARE(rs->RecordCount(), 1L);
    rs->MoveFirst();
    QCOMPARE(rs->value("Nombre"), Value("Berta"));
    // The row vanished behind the card's back: Edit refuses it.
    db->exec("DELETE FROM Registros");
    expectError([&] { rs->Edit(); }, kErrRecordDeleted);
    QVERIFY(!rs->hasCurrent());
    QCOMPARE(rs->RecordCount(), 0L);
    expectError([&] { rs->value("Sin campo"); }, kErrFieldNotFound);
}

// What the store, the tool and the tests write through: kept only when
// committed, and every failure an EngineError.
void TestStoreCard::sqlWrapper() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Ana"}));
    sqlite3* h = db->handle();
    const auto count = [h] {
        sql::Statement s(h, "SELECT count(*) FROM Registros");
        return s.step() ? s.int64(0) : -1;
    };
    {
        sql::WriteTransaction t(h);
        sql::exec(h, "INSERT INTO Registros (Nombre) VALUES ('Berta')");
    }
    QCOMPARE(count(), std::int64_t(1));
    {
        sql::WriteTransaction t(h);
        sql::ReadTransaction inside(h);  // a read inside a write opens nothing of its own
        sql::Statement add(h, "INSERT INTO Registros (Nombre) VALUES (?1)");
        add.bind(1, Value());
        add.step();
        t.commit();
    }
    QCOMPARE(count(), std::int64_t(2));

    expectError([&] { sql::Statement s(h, "SELECT Nada FROM Registros"); }, kErrEngine);
    expectError(
        [&] {
            sql::Statement s(h, "INSERT INTO Registros (Codigo) VALUES (1)");
            s.step();
        },
        kErrConstraint);
    auto other = Database::open(db->path());
    sql::WriteTransaction held(other->handle());
    db->setBusyTimeout(10);
    expectError([&] { sql::WriteTransaction t(h); }, kErrLocked);
    QCOMPARE(count(), std::int64_t(2));
}

void TestStoreCard::dataControlBindsCard() {
    QTemporaryDir dir;
    const std::string path = storetest::makeBook(dir, {"Ana", "Berta"});
    Database::open(path)->exec(
        "UPDATE Registros SET \"Fecha de nacimiento\" = '1990-03-05', \"Mas info\" = '" +
        std::string(200, 'z') + "' WHERE Codigo = 2");

    // A box: what it shows, and what the user has typed since.
    struct Box {
        std::string shown, typed;
        bool edited = false;
        std::string text() const { return edited ? typed : shown; }
    };
    std::map<std::string, Box> boxes;
    DataControl data;
    for (const char* field : {"Nombre", "Apellido", "Mas info", "Fecha de nacimiento", "Codigo"}) {
        const bool editable = std::string(field) != "Codigo";
        data.bind({field,
                   [&boxes, field](const std::string& t) {
                       boxes[field] = {t, {}, false};
                   },
                   editable ? std::function<std::string()>(
                                  [&boxes, field] { return boxes[field].text(); })
                            : nullptr});
    }
    auto type = [&](const std::string& field, const std::string& text) {
        boxes[field].typed = text;
        boxes[field].edited = true;
    };
    data.setSource(path, "Registros");
    data.Refresh();
    QCOMPARE(boxes["Nombre"].shown, std::string("Ana"));
    QVERIFY(data.recordset()->FindFirst("Codigo = 2"));
    QCOMPARE(boxes["Fecha de nacimiento"].shown, std::string("05/03/1990"));
    QCOMPARE(boxes["Codigo"].shown, std::string("2"));

    // Edit: untouched boxes keep the stored values exactly (a null stays null).
    data.recordset()->Edit();
    type("Nombre", "Berta Isabel");
    data.Update();
    auto db = Database::open(path);
    QCOMPARE(stored(*db, 2, "Nombre"), Value("Berta Isabel"));
    QCOMPARE(stored(*db, 2, "Apellido"), Value());
    QCOMPARE(stored(*db, 2, "Mas info"), Value(std::string(200, 'z')));
    QCOMPARE(stored(*db, 2, "Fecha de nacimiento"), Value("1990-03-05"));
    QCOMPARE(boxes["Nombre"].shown, std::string("Berta Isabel"));

    // A new row: the date box emptied to its mask stores a null; a typed date, ISO.
    data.recordset()->AddNew();
    QCOMPARE(boxes["Nombre"].shown, std::string());
    type("Nombre", "Carla");
    type("Fecha de nacimiento", "__/__/____");
    data.Update();
    QCOMPARE(boxes["Nombre"].shown, std::string("Berta Isabel"));  // the row shown before
    QCOMPARE(stored(*db, 3, "Fecha de nacimiento"), Value());
    QCOMPARE(stored(*db, 3, "Apellido"), Value());
    data.recordset()->AddNew();
    type("Nombre", "Diana");
    type("Fecha de nacimiento", "29/02/2000");
    data.Update();
    QCOMPARE(stored(*db, 4, "Fecha de nacimiento"), Value("2000-02-29"));

    // A refused date never reaches the store, and the new row stays pending.
    data.recordset()->AddNew();
    type("Nombre", "Eva");
    type("Fecha de nacimiento", "31/02/2000");
    expectError([&] { data.Update(); }, kErrConstraint);
    QCOMPARE(data.recordset()->editMode(), Recordset::EditMode::AddNew);
    data.recordset()->CancelUpdate();
    QCOMPARE(stored(*db, 5, "Nombre"), Value("<missing>"));

    // Refresh opens the source again, first row current.
    data.Refresh();
    QCOMPARE(boxes["Nombre"].shown, std::string("Ana"));
}

void TestStoreCard::dataControlShowsGivenRecordset() {
    QTemporaryDir dir;
    auto db = Database::open(storetest::makeBook(dir, {"Berta", "Ana"}));
    std::string code;
    DataControl data;
    data.bind({"Codigo", [&code](const std::string& t) { code = t; }, nullptr});
    data.setRecordset(
        db->openQuery("Select * From Registros WHERE Nombre like '*'ORDER BY Nombre"));
    data.Refresh();
    QCOMPARE(code, std::string("2"));
    QCOMPARE(data.queryRecordset(), data.recordset());
    data.queryRecordset()->setCurrentRow(1);
    QCOMPARE(code, std::string("1"));
    data.Refresh();
    QCOMPARE(code, std::string("2"));
    // An empty list shows empty boxes.
    data.setRecordset(
        db->openQuery("Select * From Registros WHERE Nombre like 'x*'ORDER BY Nombre"));
    data.Refresh();
    QCOMPARE(code, std::string());
    // A record set given untyped is no query record set, and none is kept.
    data.setRecordset(db->openRecordset("Registros"));
    QVERIFY(!data.queryRecordset());
}

QTEST_APPLESS_MAIN(TestStoreCard)
#include "tst_store_card.moc"
