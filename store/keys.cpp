#include "store/keys.h"

#include "store/collation.h"
#include "store/engine.h"
#include "store/history.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv::keys {

namespace {

constexpr const char* kSchemaVersion = "1";
// Past this share of noted rows, rekeying all at once (and building the
// index by sorting) is cheaper than row by row. Counting the table costs a
// walk of it, so a few noted rows (a stored card) never ask.
constexpr std::int64_t kRekeyAllShare = 4;
constexpr std::int64_t kFewNoted = 10000;

void keyFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_zeroblob(ctx, 0);
        return;
    }
    // Any value is read as its text: integers, reals and blobs alike.
    auto t = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::string key =
        collation::sortKey(std::string_view(t ? t : "", sqlite3_value_bytes(argv[0])));
    sqlite3_result_blob64(ctx, key.data(), key.size(), SQLITE_TRANSIENT);
}

int compareOld(void*, int na, const void* a, int nb, const void* b) {
    return collation::compare(std::string_view(static_cast<const char*>(a), na),
                              std::string_view(static_cast<const char*>(b), nb));
}

std::int64_t count(sqlite3* db, const std::string& sql) {
    sql::Statement s(db, sql);
    return s.step() ? s.int64(0) : 0;
}

bool exists(sqlite3* db, std::string_view name) {
    sql::Statement s(db, "SELECT 1 FROM main.sqlite_schema WHERE name = ?1");
    s.bind(1, name);
    return s.step();
}

// The sort keys' tables, index and three triggers are all there.
bool keysComplete(sqlite3* db) {
    return count(db,
                 "SELECT count(*) FROM main.sqlite_schema WHERE name IN ('OrvMeta', 'OrvClaves', "
                 "'OrvClavesOrden', 'OrvCambios', 'RegistrosNombreExacto', 'OrvAlta', "
                 "'OrvCambio', 'OrvBaja')") == 8;
}

// ...and the tables added since, which a book of an earlier release lacks
// until it is next opened for writing.
bool complete(sqlite3* db) {
    return keysComplete(db) && exists(db, "OrvPropiedades");
}

std::string storedVersion(sqlite3* db) {
    if (!exists(db, schema::kMetaTable)) return {};
    sql::Statement s(db, "SELECT Valor FROM main.OrvMeta WHERE Nombre = 'orden'");
    return s.step() ? std::string(s.text(0)) : std::string();
}

void rekeyAll(sqlite3* db, const std::string& in) {
    sql::exec(db, "DROP INDEX IF EXISTS " + in + ".OrvClavesOrden; DELETE FROM " + in +
                      ".OrvClaves; INSERT INTO " + in +
                      ".OrvClaves (Codigo, Clave) SELECT Codigo, orv_clave(Nombre) FROM "
                      "main.Registros; CREATE INDEX " +
                      in + ".OrvClavesOrden ON OrvClaves (Clave, Codigo);");
    if (in == "main") sql::exec(db, "DELETE FROM main.OrvCambios");
}

void rekeyNoted(sqlite3* db) {
    const std::int64_t noted = count(db, "SELECT count(*) FROM main.OrvCambios");
    if (noted == 0) return;
    if (noted >= kFewNoted &&
        noted * kRekeyAllShare >= count(db, "SELECT count(*) FROM main.Registros")) {
        rekeyAll(db, "main");
        return;
    }
    sql::exec(db,
              "DELETE FROM main.OrvClaves WHERE Codigo IN (SELECT Codigo FROM main.OrvCambios);"
              "INSERT INTO main.OrvClaves (Codigo, Clave) SELECT r.Codigo, orv_clave(r.Nombre) "
              "FROM main.OrvCambios c CROSS JOIN main.Registros r ON r.Codigo = c.Codigo;"
              "DELETE FROM main.OrvCambios;");
}

// Registros again without the old collation: a new table of the same
// columns, the rows copied with their codes, the AUTOINCREMENT sequence kept.
void convert(sqlite3* db) {
    std::string columns;
    {
        sql::Statement info(db, "PRAGMA main.table_info(\"Registros\")");
        while (info.step()) {
            const std::string name(info.text(1));
            std::string def = schema::quoted(name) + " " + std::string(info.text(2));
            if (info.int64(5) != 0) {
                int autoinc = 0;
                sqlite3_table_column_metadata(db, "main", "Registros", name.c_str(), nullptr,
                                              nullptr, nullptr, nullptr, &autoinc);
                def += autoinc ? " PRIMARY KEY AUTOINCREMENT" : " PRIMARY KEY";
            }
            if (info.int64(3) != 0) def += " NOT NULL";
            if (!info.isNull(4)) def += " DEFAULT " + std::string(info.text(4));
            columns += (columns.empty() ? "" : ", ") + def;
        }
    }
    std::optional<std::int64_t> sequence;
    if (exists(db, "sqlite_sequence")) {
        sql::Statement s(db, "SELECT seq FROM main.sqlite_sequence WHERE name = 'Registros'");
        if (s.step()) sequence = s.int64(0);
    }
    // Other indexes and triggers on the table, unless they use the old order.
    std::vector<std::string> others;
    {
        sql::Statement s(db,
                         "SELECT sql FROM main.sqlite_schema WHERE tbl_name = 'Registros' "
                         "COLLATE NOCASE AND type IN ('index', 'trigger') AND sql IS NOT NULL "
                         "AND name <> 'RegistrosNombre' AND instr(upper(sql), 'ESPANOL') = 0");
        while (s.step()) others.emplace_back(s.text(0));
    }
    sql::exec(db, "CREATE TABLE main.OrvRegistrosNuevo (" + columns +
                      ");"
                      "INSERT INTO main.OrvRegistrosNuevo SELECT * FROM main.Registros;"
                      "DROP TABLE main.Registros;"
                      "ALTER TABLE main.OrvRegistrosNuevo RENAME TO Registros;");
    if (sequence) {
        sql::Statement s(db,
                         "UPDATE main.sqlite_sequence SET seq = max(seq, ?1) WHERE name = "
                         "'Registros'");
        s.bind(1, *sequence);
        s.step();
        if (sqlite3_changes(db) == 0) {
            sql::Statement add(db,
                               "INSERT INTO main.sqlite_sequence (name, seq) VALUES "
                               "('Registros', ?1)");
            add.bind(1, *sequence);
            add.step();
        }
    }
    for (const std::string& s : others) sql::exec(db, s);
}

void buildTemp(sqlite3* db) {
    sql::exec(db,
              "DROP TABLE IF EXISTS temp.OrvClaves;"
              "CREATE TEMP TABLE OrvClaves (Codigo INTEGER PRIMARY KEY, Clave BLOB NOT NULL);");
    rekeyAll(db, "temp");
}

}  // namespace

void registerFunctions(sqlite3* db) {
    const int rc =
        sqlite3_create_function_v2(db, "orv_clave", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   keyFunction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw sql::error(db, rc);
}

void registerOldCollation(sqlite3* db, bool on) {
    const std::string name(schema::kOldCollation);
    const int rc = sqlite3_create_collation_v2(db, name.c_str(), SQLITE_UTF8, nullptr,
                                               on ? compareOld : nullptr, nullptr);
    if (rc != SQLITE_OK) throw sql::error(db, rc);
}

bool oldSchema(sqlite3* db) {
    const char* coll = nullptr;
    if (sqlite3_table_column_metadata(db, "main", "Registros", "Nombre", nullptr, &coll, nullptr,
                                      nullptr, nullptr) == SQLITE_OK &&
        coll && sqlite3_stricmp(coll, std::string(schema::kOldCollation).c_str()) == 0)
        return true;
    return count(db,
                 "SELECT count(*) FROM main.sqlite_schema WHERE tbl_name = 'Registros' COLLATE "
                 "NOCASE AND (name = 'RegistrosNombre' OR instr(upper(sql), 'ESPANOL') > 0)") > 0;
}

void refresh(sqlite3* db) {
    if (exists(db, schema::kChangeTable) && exists(db, schema::kKeyTable)) rekeyNoted(db);
}

bool pending(sqlite3* db) {
    return exists(db, schema::kChangeTable) &&
           count(db, "SELECT EXISTS (SELECT 1 FROM main.OrvCambios)") != 0;
}

std::string prepare(sqlite3* db, bool all, bool inMemory) {
    const bool old = oldSchema(db);
    if (!all && !old && complete(db) && storedVersion(db) == collation::version() && !pending(db) &&
        history::complete(db) && !history::stale(db))
        return "main";
    try {
        sql::WriteTransaction t(db);
        if (old) convert(db);
        const bool wasComplete = complete(db);
        const bool sameOrder = storedVersion(db) == collation::version();
        sql::exec(db, schema::kCreateKeysSql);
        history::prepare(db);
        // Rows from before the triggers, or keyed by another order: all anew.
        if (all || !wasComplete || !sameOrder)
            rekeyAll(db, "main");
        else
            rekeyNoted(db);
        sql::Statement meta(db,
                            "INSERT OR REPLACE INTO main.OrvMeta (Nombre, Valor) VALUES "
                            "('esquema', ?1), ('orden', ?2)");
        meta.bind(1, kSchemaVersion);
        meta.bind(2, collation::version());
        meta.step();
        t.commit();
    } catch (const EngineError&) {
        if (!inMemory) throw;
        // Not writable now: this connection keys the rows for itself.
        buildTemp(db);
        return "temp";
    }
    if (old) registerOldCollation(db, false);
    return "main";
}

std::vector<std::string> problems(sqlite3* db) {
    std::vector<std::string> out;
    {
        sql::Statement s(db, "PRAGMA main.integrity_check(20)");
        while (s.step())
            if (s.text(0) != "ok") out.push_back("integridad: " + std::string(s.text(0)));
    }
    if (oldSchema(db))
        out.emplace_back(
            "la agenda tiene el formato anterior: su orden solo lo entiende Orvane (se convierte "
            "al abrirla o con 'orvane-db reindex')");
    if (!keysComplete(db)) {
        out.emplace_back("faltan las tablas, índices o disparadores de las claves de orden");
        return out;
    }
    if (const std::string v = storedVersion(db); v != collation::version())
        out.push_back("las claves de orden son de otra versión (" + v + "; la actual es " +
                      collation::version() + ")");
    if (const auto n = count(db, "SELECT count(*) FROM main.OrvCambios"))
        out.push_back(std::to_string(n) + " contactos cambiados sin volver a ordenar");
    if (const auto n = count(db,
                             "SELECT count(*) FROM main.Registros r WHERE NOT EXISTS (SELECT 1 "
                             "FROM main.OrvClaves k WHERE k.Codigo = r.Codigo)"))
        out.push_back(std::to_string(n) + " contactos sin clave de orden");
    if (const auto n = count(db,
                             "SELECT count(*) FROM main.OrvClaves k WHERE NOT EXISTS (SELECT 1 "
                             "FROM main.Registros r WHERE r.Codigo = k.Codigo)"))
        out.push_back(std::to_string(n) + " claves de orden de contactos que ya no existen");
    if (const auto n = count(db,
                             "SELECT count(*) FROM main.OrvClaves k JOIN main.Registros r ON "
                             "r.Codigo = k.Codigo WHERE k.Clave IS NOT orv_clave(r.Nombre)"))
        out.push_back(std::to_string(n) + " claves de orden que no corresponden a su nombre");
    return out;
}

}  // namespace orv::keys
