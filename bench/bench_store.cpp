// Measures the store on a small and a large contact book: the contact query
// for a few prefixes (opening it and reading its first 50 rows) and the
// card's lookup of a code. Beside each figure, a floor measured in the same
// run: SQLite's own LIKE on a plain connection over the same table.
// Figures are process CPU time, so that other work on a shared machine does
// not blur them; nothing here waits on the disk once the books are cached.
//
//   bench_store [SMALL.mdb LARGE.mdb]
//
// Without books it makes (once) books of 1,000 and 1,000,000 contacts in
// ~/.cache/orvane-bench, with orvane-db demo when it is built, else with a
// simple generator of its own.

#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "store/contactquery.h"
#include "store/engine.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSamples = 7;
constexpr double kSampleMs = 25;  // an operation is repeated to fill a sample
constexpr std::size_t kRowsRead = 50;

std::size_t sink = 0;  // keeps the reads from being optimised away

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Median CPU time of one call, in milliseconds.
double measure(const std::function<void()>& op) {
    double t0 = cpuMs();
    op();  // also warms the page cache
    const double once = cpuMs() - t0;
    const int repeat = std::max(1, static_cast<int>(kSampleMs / std::max(once, 1e-4)));
    std::vector<double> samples;
    for (int s = 0; s < kSamples; ++s) {
        t0 = cpuMs();
        for (int i = 0; i < repeat; ++i) op();
        samples.push_back((cpuMs() - t0) / repeat);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// --- books ------------------------------------------------------------------

fs::path selfDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : exe.parent_path();
}

bool makeWithTool(const fs::path& path, std::size_t count) {
    for (const fs::path& tool :
         {selfDir() / ".." / "tools" / "orvane-db", selfDir() / ".." / "orvane-db"}) {
        if (::access(tool.c_str(), X_OK) != 0) continue;
        const std::string cmd = "'" + tool.string() + "' demo '" + path.string() + "' " +
                                std::to_string(count) + " --seed 1 >/dev/null";
        std::printf("  %s\n", cmd.c_str());
        std::fflush(stdout);
        if (std::system(cmd.c_str()) == 0 && fs::exists(path)) return true;
        fs::remove(path);
    }
    return false;
}

// Spanish-looking names in random order, so that codes and names do not agree.
void makeWithGenerator(const fs::path& path, std::size_t count) {
    static const char* const kFirst[] = {
        "María",       "José",      "Antonio",    "Carmen",
        "Manuel",      "Ana",       "Francisco",  "Laura",
        "David",       "Isabel",    "Juan",       "Lucía",
        "Javier",      "Marta",     "Miguel",     "Pilar",
        "Rafael",      "Elena",     "Pedro",      "Rosa",
        "Ángel",       "Álvaro",    "Íñigo",      "Nuria",
        "Óscar",       "Raúl",      "Sofía",      "Zoe",
        "Zacarías",    "Begoña",    "Ñuflo",      "Yolanda",
        "Xavier",      "Gonzalo",   "Hugo",       "Iván",
        "Jesús",       "Lorena",    "Núria",      "Patricia",
        "Quique",      "Sergio",    "Teresa",     "Úrsula",
        "Víctor",      "Wenceslao", "Concepción", "Dolores",
        "Fernando",    "Guillermo", "José Luis",  "María del Carmen",
        "Juan Carlos", "Ana Belén", "Mari Luz",   "Eva",
        "Inés",        "Andrés",    "Tomás",      "Ramón"};
    static const char* const kLast[] = {
        "García", "Fernández", "González", "Rodríguez", "López",  "Martínez",  "Sánchez",
        "Pérez",  "Gómez",     "Martín",   "Jiménez",   "Ruiz",   "Hernández", "Díaz",
        "Moreno", "Muñoz",     "Álvarez",  "Romero",    "Alonso", "Gutiérrez"};
    std::mt19937_64 rng(1);
    auto db = orv::Database::create(path.string());
    db->exec("PRAGMA cache_size = -262144");
    db->exec("BEGIN");
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(
        db->handle(),
        "INSERT INTO Registros (Nombre, Apellido, Domicilio, \"Localidad/Provincia\", "
        "Telefono, \"e-mail\", \"Fecha de nacimiento\") VALUES (?,?,?,?,?,?,?)",
        -1, &s, nullptr);
    const std::size_t nFirst = std::size(kFirst), nLast = std::size(kLast);
    for (std::size_t i = 0; i < count; ++i) {
        std::string first = kFirst[rng() % nFirst];
        if (rng() % 10 == 0 && first[0] >= 'A' && first[0] <= 'Z') first[0] += 'a' - 'A';
        const std::string last = std::string(kLast[rng() % nLast]) + " " + kLast[rng() % nLast];
        const std::string street = "C/ Mayor, " + std::to_string(rng() % 200 + 1);
        const std::string phone = std::to_string(910000000 + rng() % 90000000);
        const std::string mail = "contacto" + std::to_string(i) + "@ejemplo.es";
        char date[11];
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", 1940 + int(rng() % 70),
                      1 + int(rng() % 12), 1 + int(rng() % 28));
        const std::string values[] = {first, last, street, "Madrid (Madrid)", phone, mail, date};
        for (int c = 0; c < 7; ++c)
            sqlite3_bind_text(s, c + 1, values[c].c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    db->exec("COMMIT");
}

fs::path ensureBook(std::size_t count) {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const fs::path dir =
        fs::path(cache ? cache : (home ? std::string(home) + "/.cache" : "/tmp")) / "orvane-bench";
    fs::create_directories(dir);
    const fs::path path = dir / ("demo-" + std::to_string(count) + ".mdb");
    if (fs::exists(path)) return path;
    std::printf("Making %s (%zu contacts)...\n", path.c_str(), count);
    std::fflush(stdout);
    const auto t0 = Clock::now();
    if (!makeWithTool(path, count)) makeWithGenerator(path, count);
    std::printf("  done in %.1f s\n", msSince(t0) / 1000);
    return path;
}

// --- operations -------------------------------------------------------------

// Opens the contact query and reads every field of its first rows; returns
// how many it read.
std::size_t contactQuery(orv::Database& db, const std::string& prefix, std::size_t most) {
    auto rs = db.openRecordset(*orv::contactQuery(prefix, "Registros"));
    auto& q = dynamic_cast<orv::QueryRecordset&>(*rs);
    while (q.rowsFetched() < most && q.canFetchMore()) q.fetchMore(most);
    const std::size_t rows = std::min(most, q.rowsFetched());
    const int fields = static_cast<int>(q.fieldNames().size());
    for (std::size_t r = 0; r < rows; ++r)
        for (int f = 0; f < fields; ++f)
            if (auto v = q.valueAt(r, f)) sink += v->size();
    return rows;
}

void cardFind(orv::Database& db, std::int64_t code) {
    auto rs = db.openRecordset("Registros");
    if (rs->FindFirst("Codigo = " + std::to_string(code))) sink += rs->value(1).value_or("").size();
}

// The same work with SQLite's own LIKE on a connection that knows nothing
// of ours; limit 0 reads every row.
void plainSelect(sqlite3* db, const std::string& sql, std::size_t limit) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    std::size_t rows = 0;
    while ((limit == 0 || rows < limit) && sqlite3_step(s) == SQLITE_ROW) {
        ++rows;
        for (int c = 0; c < sqlite3_column_count(s); ++c) sink += sqlite3_column_bytes(s, c);
        sqlite3_column_text(s, 0);
    }
    sqlite3_finalize(s);
}

void plainFind(sqlite3* db, std::int64_t code) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM Registros WHERE Codigo = ?1", -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, code);
    if (sqlite3_step(s) == SQLITE_ROW)
        for (int c = 0; c < sqlite3_column_count(s); ++c) sink += sqlite3_column_bytes(s, c);
    sqlite3_finalize(s);
}

struct Figure {
    std::string what;
    double ours, floor;
    std::size_t rows = 0;  // rows read by ours
};

struct BookFigures {
    std::string label;
    long rows;
    std::vector<Figure> figures;
    double fetchAllMs;
    std::shared_ptr<orv::Database> db;
    const Figure& get(const std::string& what) const {
        for (const auto& f : figures)
            if (f.what == what) return f;
        std::abort();
    }
};

BookFigures run(const std::string& label, const std::string& path) {
    BookFigures out{label, 0, {}, 0, nullptr};
    auto db = orv::Database::open(path);
    sqlite3* plain = nullptr;
    sqlite3_open_v2(path.c_str(), &plain, SQLITE_OPEN_READONLY, nullptr);
    std::int64_t midCode = 0;
    {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(plain, "SELECT count(*), max(Codigo) FROM Registros", -1, &s, nullptr);
        sqlite3_step(s);
        out.rows = static_cast<long>(sqlite3_column_int64(s, 0));
        midCode = sqlite3_column_int64(s, 1) / 2 + 1;
        sqlite3_finalize(s);
    }
    struct Case {
        const char* prefix;
        const char* like;
        std::size_t limit;
    };
    for (const Case& c : {Case{"m", "m%", kRowsRead}, Case{"z", "z%", kRowsRead},
                          Case{"", "%", kRowsRead}, Case{"*ez", "%ez", 0}}) {
        const std::size_t rows = contactQuery(*db, c.prefix, kRowsRead);
        const double ours = measure([&] { contactQuery(*db, c.prefix, kRowsRead); });
        const double floor = measure([&] {
            plainSelect(plain,
                        std::string("SELECT * FROM Registros WHERE Nombre LIKE '") + c.like + "'",
                        c.limit);
        });
        out.figures.push_back({std::string("query \"") + c.prefix + "\"", ours, floor, rows});
    }
    out.figures.push_back({"card find code", measure([&] { cardFind(*db, midCode); }),
                           measure([&] { plainFind(plain, midCode); })});
    // Jumping to the last row of "Todos" reads every key (wall time, 3 runs).
    std::vector<double> all;
    for (int i = 0; i < 3; ++i) {
        const auto t0 = Clock::now();
        auto rs = db->openRecordset(*orv::contactQuery("", "Registros"));
        dynamic_cast<orv::QueryRecordset&>(*rs).fetchAll();
        all.push_back(msSince(t0));
    }
    std::sort(all.begin(), all.end());
    out.fetchAllMs = all[1];
    out.db = db;
    sqlite3_close(plain);
    return out;
}

void print(const BookFigures& b) {
    std::printf("\n%s book: %ld contacts\n", b.label.c_str(), b.rows);
    std::printf("  %-22s %6s %12s %12s %8s\n", "operation", "rows", "ours ms", "floor ms", "ratio");
    for (const auto& f : b.figures)
        std::printf("  %-22s %6zu %12.4f %12.4f %8.2f\n", f.what.c_str(), f.rows, f.ours, f.floor,
                    f.ours / f.floor);
    std::printf("  %-22s %6s %12.1f   (wall time)\n", "query \"\" read all keys", "all",
                b.fetchAllMs);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 1 && argc != 3) {
        std::fprintf(stderr, "usage: %s [SMALL.mdb LARGE.mdb]\n", argv[0]);
        return 2;
    }
    try {
        const std::string small = argc == 3 ? argv[1] : ensureBook(1000).string();
        const std::string large = argc == 3 ? argv[2] : ensureBook(1000000).string();
        std::printf(
            "CPU time, median of %d samples; floor = SQLite's built-in LIKE on a plain\n"
            "connection (50 rows for a prefix, a full scan for \"*ez\"; a rowid lookup for a "
            "code).\n",
            kSamples);
        const BookFigures s = run("small", small), l = run("large", large);
        print(s);
        print(l);

        std::printf("\nTargets (large against small, or against the floor):\n");
        bool all = true;
        auto target = [&](const std::string& what, double value, double limit,
                          const char* against) {
            const bool ok = value <= limit;
            all = all && ok;
            std::printf("  %-22s %8.2fx  (limit %.1fx %s)  %s\n", what.c_str(), value, limit,
                        against, ok ? "ok" : "MISSED");
        };
        // Same work on both books: where the small book has fewer rows for
        // a prefix, the large one is timed again reading as many.
        for (const char* p : {"m", "", "z"}) {
            const std::string q = std::string("query \"") + p + "\"";
            const Figure& small = s.get(q);
            double large = l.get(q).ours;
            std::string what = q;
            if (l.get(q).rows != small.rows) {
                large = measure([&] { contactQuery(*l.db, p, small.rows); });
                what += " (" + std::to_string(small.rows) + " rows)";
            }
            target(what, large / small.ours, 1.5, "of small");
        }
        target("card find code", l.get("card find code").ours / s.get("card find code").ours, 1.5,
               "of small");
        target("query \"*ez\"", l.get("query \"*ez\"").ours / l.get("query \"*ez\"").floor, 3.0,
               "of floor");
        std::printf("  %-22s %8.1f ms  (limit 1000 ms)  %s\n", "read all keys", l.fetchAllMs,
                    l.fetchAllMs < 1000 ? "ok" : "MISSED");
        std::printf("(checksum %zu)\n", sink % 997);
        return all && l.fetchAllMs < 1000 ? 0 : 1;
    } catch (const orv::EngineError& e) {
        std::fprintf(stderr, "%d: %s\n", e.number(), e.text().c_str());
        return 1;
    }
}
