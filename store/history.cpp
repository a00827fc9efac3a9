#include "store/history.h"

#include <chrono>

#include "store/engine.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv::history {

namespace {

// The columns but Codigo, as they are named in both tables.
std::string dataColumns(const char* prefix = "") {
    std::string s;
    for (std::size_t c = kNombre; c < kColumnCount; ++c)
        s += (c > kNombre ? ", " : "") + std::string(prefix) + schema::quoted(schema::kColumns[c]);
    return s;
}

std::string makeCreateSql() {
    // Untyped columns keep each value exactly as it was stored.
    std::string cols;
    for (std::size_t c = kNombre; c < kColumnCount; ++c)
        cols += ", " + schema::quoted(schema::kColumns[c]);
    const std::string now = "CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER)";
    const std::string origin = "'" + std::string(kOther) + "'";
    std::string differs;
    for (std::size_t c = kNombre; c < kColumnCount; ++c) {
        const std::string q = schema::quoted(schema::kColumns[c]);
        differs += (c > kNombre ? " OR " : "") + ("OLD." + q + " IS NOT NEW." + q);
    }
    auto entry = [&](const char* code, const char* kind, bool before) {
        return "INSERT INTO OrvHistoria (Codigo, Momento, Tipo, Origen" +
               (before ? ", " + dataColumns() : std::string()) + ") VALUES (" + code + ", " + now +
               ", '" + kind + "', " + origin + (before ? ", " + dataColumns("OLD.") : "") + ");";
    };
    return  // No constraint that could abort: with one, every write to
            // Registros would copy its pages to a statement journal.
        "CREATE TABLE IF NOT EXISTS OrvHistoria (Id INTEGER PRIMARY KEY, Codigo INTEGER, "
        "Momento INTEGER, Tipo TEXT, Origen TEXT" +
        cols +
        ");"
        // Our writers label many rows as one range at commit (rewriting each row's
        // Origen made an import write them twice), a few rows in place.
        "CREATE TABLE IF NOT EXISTS OrvHistoriaOrigen (Desde INTEGER PRIMARY KEY, Hasta "
        "INTEGER, Origen TEXT);"
        "CREATE TRIGGER IF NOT EXISTS OrvHistoriaAlta AFTER INSERT ON Registros BEGIN " +
        entry("NEW.Codigo", "alta", false) +
        " END;"
        "CREATE TRIGGER IF NOT EXISTS OrvHistoriaCambio AFTER UPDATE ON Registros WHEN "
        "OLD.Codigo IS NEW.Codigo AND (" +
        differs + ") BEGIN " + entry("OLD.Codigo", "cambio", true) +
        " END;"
        // A new code is the old contact gone and a new one come.
        "CREATE TRIGGER IF NOT EXISTS OrvHistoriaRecodigo AFTER UPDATE OF Codigo ON "
        "Registros WHEN OLD.Codigo IS NOT NEW.Codigo BEGIN " +
        entry("OLD.Codigo", "baja", true) + entry("NEW.Codigo", "alta", false) +
        " END;"
        "CREATE TRIGGER IF NOT EXISTS OrvHistoriaBaja AFTER DELETE ON Registros BEGIN " +
        entry("OLD.Codigo", "baja", true) + " END;";
}

std::int64_t count(sqlite3* db, const std::string& sql) {
    sql::Statement s(db, sql);
    return s.step() ? s.int64(0) : 0;
}

}  // namespace

// Changes are numbered as they are made, so their moments rise with Id: the
// first after a moment is found by halving over Id. The table has no index:
// one, on the moment or on the code, added a third to what an import costs,
// and a contact's own changes are found by reading from that first one on.
std::int64_t firstAfter(sqlite3* db, std::int64_t ms) {
    sql::Statement bounds(db, "SELECT min(Id), max(Id) FROM main.OrvHistoria");
    if (!bounds.step() || bounds.isNull(0)) return 1;
    std::int64_t lo = bounds.int64(0), hi = bounds.int64(1) + 1;  // answer in [lo, hi]
    sql::Statement at(
        db, "SELECT Id, Momento FROM main.OrvHistoria WHERE Id >= ?1 ORDER BY Id LIMIT 1");
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        at.bind(1, mid);
        const bool found = at.step();
        const std::int64_t id = found ? at.int64(0) : 0, when = found ? at.int64(1) : 0;
        at.reset();
        if (!found || when > ms)
            hi = mid;  // no change from mid on is at or before ms
        else
            lo = id + 1;
    }
    return lo;
}

namespace {

// The first change of each contact after `ms`: its "before" is the contact at `ms`.
// A forgotten contact has no state to go back to: its one line is left out.
std::string firstChanges(sqlite3* db, std::int64_t ms) {
    return "SELECT h.* FROM main.OrvHistoria h JOIN (SELECT min(Id) AS Id FROM main.OrvHistoria "
           "WHERE Id >= " +
           std::to_string(firstAfter(db, ms)) + " AND Tipo IS NOT '" + kForgotten +
           "' GROUP BY Codigo) f ON f.Id = h.Id";
}

}  // namespace

const std::string createSql = makeCreateSql();
const char* const kCreateSql = createSql.c_str();

namespace {

// The labelling's statements, kept with the writer's own.
enum Slot : std::size_t { kFirst = sql::kOwnSlots, kLast, kInPlace, kRange };
static_assert(kRange < sql::kSlots);

// Labels the rows from `first` on, in the transaction that holds the write
// lock since label() (so no one else wrote them).
void labelFrom(sql::WriteTransaction& tx, std::int64_t first, const char* who) {
    sql::Statement& last = tx.statement(kLast, "SELECT max(Id) FROM main.OrvHistoria");
    const bool any = last.step() && !last.isNull(0) && last.int64(0) >= first;
    const std::int64_t lastId = any ? last.int64(0) : 0;
    last.reset();
    if (!any) return;
    // A few rows take the label in place, on the page just written; many
    // take one range row, so that an import does not write its rows twice.
    constexpr std::int64_t kFew = 64;
    const bool few = lastId - first < kFew;
    sql::Statement& s =
        few ? tx.statement(kInPlace, "UPDATE main.OrvHistoria SET Origen = ?2 WHERE Id >= ?1")
            : tx.statement(kRange,
                           "INSERT INTO main.OrvHistoriaOrigen (Desde, Hasta, Origen) "
                           "VALUES (?1, ?3, ?2)");
    s.bind(1, first);
    s.bind(2, who);
    if (!few) s.bind(3, lastId);
    // Our own bookkeeping: the caller still sees its own last insert.
    sqlite3* db = tx.connection();
    const sqlite3_int64 callers = sqlite3_last_insert_rowid(db);
    s.step();
    s.reset();
    sqlite3_set_last_insert_rowid(db, callers);
}

}  // namespace

void label(sql::WriteTransaction& tx, const char* who) {
    if (sqlite3_table_column_metadata(tx.connection(), "main", "OrvHistoria", "Origen", nullptr,
                                      nullptr, nullptr, nullptr, nullptr) != SQLITE_OK)
        return;
    sql::Statement& s =
        tx.statement(kFirst, "SELECT coalesce(max(Id), 0) + 1 FROM main.OrvHistoria");
    s.step();
    const std::int64_t first = s.int64(0);
    s.reset();
    tx.beforeCommit([first, who](sql::WriteTransaction& t) { labelFrom(t, first, who); });
}

bool complete(sqlite3* db) {
    return count(db,
                 "SELECT count(*) FROM main.sqlite_schema WHERE name IN ('OrvHistoria', "
                 "'OrvHistoriaOrigen', 'OrvHistoriaAlta', 'OrvHistoriaCambio', "
                 "'OrvHistoriaRecodigo', 'OrvHistoriaBaja')") == 6;
}

std::string sourceOf(const std::string& alias) {
    return "coalesce((SELECT o.Origen FROM main.OrvHistoriaOrigen o WHERE o.Desde = (SELECT "
           "max(Desde) FROM main.OrvHistoriaOrigen WHERE Desde <= " +
           alias + ".Id) AND o.Hasta >= " + alias + ".Id), " + alias + ".Origen)";
}

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool stale(sqlite3* db) {
    sql::Statement s(db, "SELECT Momento FROM main.OrvHistoria ORDER BY Id LIMIT 1");
    return s.step() && !s.isNull(0) && s.int64(0) < nowMs() - kKeptMs;
}

void prepare(sqlite3* db) {
    sql::exec(db, kCreateSql);
    sql::Statement prune(db, "DELETE FROM main.OrvHistoria WHERE Id < ?1");
    prune.bind(1, firstAfter(db, nowMs() - kKeptMs));
    prune.step();
    const bool pruned = sqlite3_changes(db) > 0;
    sql::exec(db,
              "DELETE FROM main.OrvHistoriaOrigen WHERE Hasta < (SELECT coalesce(min(Id), "
              "1 << 62) FROM main.OrvHistoria)");
    // A deleted contact's kept card lines go with the last of its history.
    if (pruned)
        sql::exec(db,
                  "DELETE FROM main.OrvPropiedades WHERE Codigo NOT IN (SELECT Codigo FROM "
                  "main.Registros) AND Codigo NOT IN (SELECT Codigo FROM main.OrvHistoria WHERE "
                  "Codigo IS NOT NULL)");
}

namespace {

std::vector<Entry> read(sql::Statement& s) {
    std::vector<Entry> out;
    while (s.step()) {
        Entry e;
        e.id = s.int64(0);
        e.codigo = s.int64(1);
        e.momento = s.int64(2);
        e.tipo = s.text(3);
        e.origen = s.text(4);
        e.before[kCodigo] = std::to_string(e.codigo);
        for (std::size_t c = kNombre; c < kColumnCount; ++c)
            e.before[c] = s.value(static_cast<int>(c - kNombre + 5));
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace

std::vector<Entry> entries(sqlite3* db, std::optional<std::int64_t> codigo) {
    sql::Statement s(db, "SELECT h.Id, h.Codigo, h.Momento, h.Tipo, " + sourceOf("h") + ", " +
                             dataColumns("h.") + " FROM main.OrvHistoria h" +
                             (codigo ? " WHERE h.Codigo = ?1" : "") + " ORDER BY h.Id DESC");
    if (codigo) s.bind(1, *codigo);
    return read(s);
}

std::vector<Entry> deleted(sqlite3* db) {
    sql::Statement s(db, "SELECT h.Id, h.Codigo, h.Momento, h.Tipo, " + sourceOf("h") + ", " +
                             dataColumns("h.") +
                             " FROM main.OrvHistoria h JOIN (SELECT max(Id) AS Id FROM "
                             "main.OrvHistoria GROUP BY Codigo) m ON m.Id = h.Id WHERE h.Tipo = "
                             "'baja' AND NOT EXISTS (SELECT 1 FROM main.Registros r WHERE "
                             "r.Codigo = h.Codigo) ORDER BY h.Id DESC");
    return read(s);
}

std::optional<Contact> stateAt(sqlite3* db, std::int64_t codigo, std::int64_t ms, bool& changed) {
    sql::Statement s(db, "SELECT Tipo, " + dataColumns() +
                             " FROM main.OrvHistoria WHERE Codigo = ?1 AND Id >= ?2 ORDER "
                             "BY Id LIMIT 1");
    s.bind(1, codigo);
    s.bind(2, firstAfter(db, ms));
    changed = s.step();
    Contact c;
    c[kCodigo] = std::to_string(codigo);
    if (changed) {
        if (s.text(0) == "alta" || s.text(0) == kForgotten) return std::nullopt;
        for (std::size_t col = kNombre; col < kColumnCount; ++col)
            c[col] = s.value(static_cast<int>(col - kNombre + 1));
        return c;
    }
    return current(db, codigo);
}

std::optional<Contact> current(sqlite3* db, std::int64_t codigo) {
    sql::Statement s(db,
                     "SELECT " + schema::columnList() + " FROM main.Registros WHERE Codigo = ?1");
    s.bind(1, codigo);
    if (!s.step()) return std::nullopt;
    Contact c;
    for (std::size_t col = 0; col < kColumnCount; ++col) c[col] = s.value(static_cast<int>(col));
    return c;
}

UndoCounts undoTo(sqlite3* db, std::int64_t ms, bool dryRun) {
    sql::exec(db, "DROP TABLE IF EXISTS temp.OrvDeshacer; CREATE TEMP TABLE OrvDeshacer AS " +
                      firstChanges(db, ms) +
                      ";CREATE INDEX temp.OrvDeshacerCodigo ON OrvDeshacer (Codigo)");
    UndoCounts n;
    n.removed = count(db,
                      "SELECT count(*) FROM temp.OrvDeshacer d JOIN main.Registros r ON r.Codigo "
                      "= d.Codigo WHERE d.Tipo = 'alta'");
    std::string differs;
    for (std::size_t c = kNombre; c < kColumnCount; ++c) {
        const std::string q = schema::quoted(schema::kColumns[c]);
        differs += (c > kNombre ? " OR " : "") + ("r." + q + " IS NOT d." + q);
    }
    n.changed = count(db,
                      "SELECT count(*) FROM temp.OrvDeshacer d JOIN main.Registros r ON r.Codigo "
                      "= d.Codigo WHERE d.Tipo <> 'alta' AND (" +
                          differs + ")");
    n.back = count(db,
                   "SELECT count(*) FROM temp.OrvDeshacer d WHERE d.Tipo <> 'alta' AND NOT "
                   "EXISTS (SELECT 1 FROM main.Registros r WHERE r.Codigo = d.Codigo)");
    if (!dryRun) {
        std::string set;
        for (std::size_t c = kNombre; c < kColumnCount; ++c) {
            const std::string q = schema::quoted(schema::kColumns[c]);
            set += (c > kNombre ? ", " : "") + q + " = d." + q;
        }
        sql::exec(db,
                  "DELETE FROM main.Registros WHERE Codigo IN (SELECT Codigo FROM "
                  "temp.OrvDeshacer WHERE Tipo = 'alta');"
                  "UPDATE main.Registros AS r SET " +
                      set +
                      " FROM temp.OrvDeshacer d WHERE d.Codigo = r.Codigo AND d.Tipo <> "
                      "'alta';"
                      "INSERT INTO main.Registros (" +
                      schema::columnList() + ") SELECT Codigo, " + dataColumns() +
                      " FROM temp.OrvDeshacer d WHERE d.Tipo <> 'alta' AND NOT EXISTS (SELECT "
                      "1 FROM main.Registros r WHERE r.Codigo = d.Codigo) ORDER BY Codigo;");
    }
    sql::exec(db, "DROP TABLE temp.OrvDeshacer");
    return n;
}

void putBack(sqlite3* db, const Contact& c) {
    std::string set, marks;
    for (std::size_t col = kNombre; col < kColumnCount; ++col) {
        set += (col > kNombre ? ", " : "") + schema::quoted(schema::kColumns[col]) + " = ?" +
               std::to_string(col + 1);
    }
    for (std::size_t col = 0; col < kColumnCount; ++col)
        marks += (col ? ", ?" : "?") + std::to_string(col + 1);
    auto bindAll = [&](sql::Statement& s) {
        for (std::size_t col = 0; col < kColumnCount; ++col)
            s.bind(static_cast<int>(col + 1), c[col]);
    };
    sql::Statement update(db, "UPDATE main.Registros SET " + set + " WHERE Codigo = ?1");
    bindAll(update);
    update.step();
    if (sqlite3_changes(db) > 0) return;
    sql::Statement exists(db, "SELECT 1 FROM main.Registros WHERE Codigo = ?1");
    exists.bind(1, c[kCodigo]);
    if (exists.step()) return;  // already as it was
    sql::Statement insert(
        db, "INSERT INTO main.Registros (" + schema::columnList() + ") VALUES (" + marks + ")");
    bindAll(insert);
    insert.step();
}

namespace {

bool hasTable(sqlite3* db, const char* name) {
    sql::Statement s(db, "SELECT 1 FROM main.sqlite_schema WHERE type = 'table' AND name = ?1");
    s.bind(1, name);
    return s.step();
}

std::int64_t run(sqlite3* db, const std::string& text, std::int64_t codigo) {
    sql::Statement s(db, text);
    s.bind(1, codigo);
    s.step();
    return sqlite3_changes(db);
}

}  // namespace

bool knows(sqlite3* db, std::int64_t codigo) {
    for (const char* table : {"Registros", "OrvHistoria", "OrvPropiedades", "OrvSync"}) {
        if (!hasTable(db, table)) continue;
        sql::Statement s(db, "SELECT 1 FROM main." + std::string(table) + " WHERE Codigo = ?1" +
                                 (std::string_view(table) == "OrvHistoria"
                                      ? " AND Tipo IS NOT '" + std::string(kForgotten) + "'"
                                      : std::string()) +
                                 " LIMIT 1");
        s.bind(1, codigo);
        if (s.step()) return true;
    }
    return false;
}

Forgotten forget(sqlite3* db, std::int64_t codigo, bool note) {
    Forgotten f;
    const bool history = hasTable(db, "OrvHistoria");
    const std::string dropHistory = "DELETE FROM main.OrvHistoria WHERE Codigo = ?1";
    if (history) f.changes = run(db, dropHistory, codigo);
    f.row = run(db, "DELETE FROM main.Registros WHERE Codigo = ?1", codigo) > 0;
    if (history) run(db, dropHistory, codigo);  // the delete itself went in too
    if (hasTable(db, "OrvPropiedades"))
        f.kept = run(db, "DELETE FROM main.OrvPropiedades WHERE Codigo = ?1", codigo);
    if (hasTable(db, "OrvParecidos"))
        run(db, "DELETE FROM main.OrvParecidos WHERE Codigo = ?1", codigo);
    if (hasTable(db, "OrvSync")) {
        // The link stays so that the sync deletes the card on the server;
        // the contact as last synced becomes all nulls (as the sync writes
        // them: one byte 1 a column), and as last sent, nothing.
        const std::string nulls(kColumnCount - 1, '\x01');
        sql::Statement s(db,
                         "UPDATE main.OrvSync SET Synced = CASE WHEN Synced IS NULL THEN NULL "
                         "ELSE ?2 END, Sent = NULL WHERE Codigo = ?1");
        s.bind(1, codigo);
        s.bind(2, nulls);
        s.step();
        f.linked = sqlite3_changes(db) > 0;
    }
    if (history && (note || f.anything())) {
        // Only that the contact was forgotten, and when.
        sql::Statement line(db,
                            "INSERT INTO main.OrvHistoria (Codigo, Momento, Tipo, Origen) VALUES "
                            "(?1, ?2, ?3, ?3)");
        line.bind(1, codigo);
        line.bind(2, nowMs());
        line.bind(3, kForgotten);
        line.step();
    }
    return f;
}

bool scrub(sqlite3* db) {
    sql::exec(db, "VACUUM");
    if (sqlite3_db_readonly(db, "main") != 0) return true;
    int log = 0, done = 0;
    const int rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, &log, &done);
    if (rc == SQLITE_BUSY) return false;
    if (rc != SQLITE_OK) throw sql::error(db, rc);
    return true;
}

std::int64_t size(sqlite3* db, std::int64_t& bytes) {
    bytes = 0;
    if (count(db, "SELECT count(*) FROM main.sqlite_schema WHERE name = 'OrvHistoria'") == 0)
        return 0;
    try {
        bytes = count(db,
                      "SELECT coalesce(sum(pgsize), 0) FROM dbstat('main') WHERE name IN "
                      "('OrvHistoria')");
    } catch (const EngineError&) {
        // No dbstat: what the rows hold.
        std::string len = "16";
        for (std::size_t c = kNombre; c < kColumnCount; ++c)
            len += " + coalesce(length(" + schema::quoted(schema::kColumns[c]) + "), 0)";
        bytes = count(db, "SELECT coalesce(sum(" + len + "), 0) FROM main.OrvHistoria");
    }
    return count(db, "SELECT count(*) FROM main.OrvHistoria");
}

}  // namespace orv::history
