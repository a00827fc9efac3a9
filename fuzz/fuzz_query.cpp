// The contact query from end to end: the first line of the input is the
// typed prefix (sFiltro), every further line a name added for this input
// only. The text built for the prefix must read back as that prefix, and
// opening it may only fail as an invalid pattern. The rows listed must be
// exactly those a plain scan finds with the pattern, in Spanish order.

#include <sqlite3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzcheck.h"
#include "store/collation.h"
#include "store/contactquery.h"
#include "store/engine.h"
#include "store/keys.h"
#include "store/pattern.h"
#include "store/recordsets.h"

using namespace orv;

namespace {

// Names that trip case, accents, ñ, blanks, quotes, wildcards and bad UTF-8.
const char* const kNames[] = {
    "María", "manuel", "MARTA",     "Álvaro", "alberto", "Ana",       "ana maría", "Ana ",
    "Nuria", "Ñandú",  "ñoño",      "nz",     "O'Brien", "José Luis", "Josefa",    "Zoe",
    "zzz",   "{llave", "[corchete", "a*b",    "a?b",     "#1",        "100",       "9 de julio",
    "é",     "Émile",  "Œdipe",     "ß",      "Σοφία",   "Дмитрий",   "\xff\xfe",  "a\xc3",
    "日本",  "",       " ",         "%",      "_",       "!x",        "]",         "-",
};

std::string gDir;
std::shared_ptr<Database> gDb;

void removeBook() {
    gDb.reset();
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
}

void insert(sqlite3* db, const char* name, int size) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Registros (Nombre) VALUES (?1)", -1, &s, nullptr);
    if (name)
        sqlite3_bind_text(s, 1, name, size, SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(s, 1);
    FUZZ_CHECK(sqlite3_step(s) == SQLITE_DONE, sqlite3_errmsg(db));
    sqlite3_finalize(s);
}

Database& book() {
    if (!gDb) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orvfuzzXXXXXX").string();
        FUZZ_CHECK(mkdtemp(tmpl.data()), "mkdtemp");
        gDir = tmpl;
        std::atexit(removeBook);
        gDb = Database::create(gDir + "/orv.mdb");
        gDb->exec("BEGIN");
        insert(gDb->handle(), nullptr, 0);
        for (const char* n : kNames) insert(gDb->handle(), n, -1);
        insert(gDb->handle(), nullptr, 0);
        gDb->exec("COMMIT");
    }
    return *gDb;
}

struct Row {
    std::int64_t code;
    std::string name;
};

void check(Database& db, const std::string& filtro) {
    const std::optional<std::string> text = contactQuery(filtro, "Registros");
    FUZZ_CHECK(text, "no query for Registros");
    const detail::ParsedQuery parsed = detail::parseQuery(*text);
    FUZZ_CHECK(!parsed.wholeTable && parsed.orderByName, *text);
    FUZZ_CHECK(parsed.pattern == filtro + "*", "the prefix did not read back: " + *text);

    std::unique_ptr<Pattern> pattern;
    try {
        pattern = std::make_unique<Pattern>(filtro + "*");
    } catch (const EngineError& e) {
        FUZZ_CHECK(e.number() == kErrInvalidPattern, e.text());
    }
    std::unique_ptr<QueryRecordset> rs;
    try {
        rs = db.openQuery(*text);
    } catch (const EngineError& e) {
        FUZZ_CHECK(e.number() == kErrInvalidPattern, "open failed as " + e.text());
        FUZZ_CHECK(!pattern, "a valid pattern failed to open");
        return;
    }
    FUZZ_CHECK(pattern, "an invalid pattern opened");

    // What a plain scan finds, without the index or the SQL function.
    std::map<std::int64_t, std::string> expected;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db.handle(), "SELECT Codigo, Nombre FROM Registros", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
        if (sqlite3_column_type(s, 1) == SQLITE_NULL) continue;
        const std::string name(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
                               static_cast<std::size_t>(sqlite3_column_bytes(s, 1)));
        if (pattern->matches(name)) expected.emplace(sqlite3_column_int64(s, 0), name);
    }
    sqlite3_finalize(s);

    QueryRecordset& q = *rs;
    q.fetchAll();
    const int nameField = q.fieldIndex("Nombre");
    FUZZ_CHECK(q.rowsFetched() == expected.size(), "listed " + std::to_string(q.rowsFetched()) +
                                                       " rows, the scan found " +
                                                       std::to_string(expected.size()));
    FUZZ_CHECK((q.RecordCount() == 0) == expected.empty(), "RecordCount");
    std::vector<Row> listed;
    for (std::size_t r = 0; r < q.rowsFetched(); ++r) {
        const std::int64_t code = q.codeAt(r);
        const auto want = expected.find(code);
        FUZZ_CHECK(want != expected.end(), "listed a row the scan did not find");
        const Value name = q.valueAt(r, nameField);
        FUZZ_CHECK(name && *name == want->second, "a listed row shows another name");
        listed.push_back({code, *name});
    }
    for (std::size_t r = 1; r < listed.size(); ++r) {
        const int c = collation::compare(listed[r - 1].name, listed[r].name);
        FUZZ_CHECK(c < 0 || (c == 0 && listed[r - 1].code < listed[r].code),
                   "out of order: " + listed[r - 1].name + " / " + listed[r].name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t eol = input.find('\n');
    const std::string filtro(input.substr(0, eol));
    Database& db = book();

    // Extra names live for this input only.
    const bool extra = eol != std::string_view::npos;
    if (extra) {
        db.exec("BEGIN");
        for (std::size_t at = eol, count = 0; at != std::string_view::npos && count < 32; ++count) {
            const std::size_t next = input.find('\n', at + 1);
            const std::string_view name =
                input.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
            insert(db.handle(), name.data(), static_cast<int>(name.size()));
            at = next;
        }
        // As every writer of ours does before it commits.
        keys::refresh(db.handle());
    }
    check(db, filtro);
    if (extra) db.exec("ROLLBACK");
    return 0;
}
