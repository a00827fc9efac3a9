// orvane-db init and demo: a new book, empty or of generated contacts.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "exchange/import.h"
#include "store/collation.h"
#include "store/engine.h"
#include "store/keys.h"
#include "store/sql.h"
#include "tools/orvane-db/common.h"
#include "tools/orvane-db/demo.h"
#include "tools/orvane-db/progress.h"

namespace orv::db {

namespace {

constexpr std::size_t kMaxDemo = 50'000'000;

void removeBook(const std::string& path) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

// `count` generated contacts inserted in name order into the new book.
void fill(Database& db, std::size_t count, std::uint64_t seed, const Console& con) {
    sqlite3* h = db.handle();
    // Rank of every possible name in the book's own order, so that rows
    // can go in sorted: the key index then grows at its end only.
    const auto& names = DemoGenerator::nameChoices();
    std::vector<std::pair<std::string, std::uint32_t>> keyed;
    for (std::size_t i = 0; i < names.size(); ++i)
        keyed.emplace_back(names[i] ? collation::sortKey(*names[i]) : std::string(),
                           static_cast<std::uint32_t>(i));
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::uint32_t> rank(names.size());
    for (std::uint32_t r = 0; r < keyed.size(); ++r) rank[keyed[r].second] = r;

    // Counting sort of the rows by their name's rank (stable: equal names
    // keep row order).
    DemoGenerator gen(seed);
    std::vector<std::uint16_t> nameOfRow(count);
    std::vector<std::size_t> start(names.size() + 1, 0);
    for (std::size_t row = 0; row < count; ++row) {
        nameOfRow[row] = static_cast<std::uint16_t>(gen.nameOf(row));
        ++start[rank[nameOfRow[row]] + 1];
    }
    for (std::size_t r = 1; r < start.size(); ++r) start[r] += start[r - 1];
    std::vector<std::uint32_t> order(count);
    for (std::size_t row = 0; row < count; ++row)
        order[start[rank[nameOfRow[row]]]++] = static_cast<std::uint32_t>(row);
    std::vector<std::uint16_t>().swap(nameOfRow);

    Progress progress("contactos", count, con.progress ? stderr : nullptr);
    sql::WriteTransaction tx(h);
    ContactInserter ins(h);
    for (std::size_t i = 0; i < count; ++i) {
        ins.insert(gen.contact(order[i]));
        if ((i & 1023) == 0) progress.update(i);
    }
    progress.update(count);
    keys::refresh(h);
    exchange::refreshLookup(h);  // what an import compares, ready for the first one
    tx.commit();
    progress.finish();
}

}  // namespace

int initCommand(const Invocation& a, const Console& con) {
    const std::string& path = a.positional[0];
    refuseExisting(path);
    Database::create(path);
    con.out << "Agenda vacía creada en " << path << "\n";
    return kDone;
}

int demoCommand(const Invocation& a, const Console& con) {
    const auto n = wholeNumber(a.positional[1]);
    if (!n || *n > kMaxDemo)
        throw UsageError("número de contactos no válido: " + a.positional[1] +
                         " (de 0 a 50000000)");
    std::uint64_t seed = 1;
    if (auto s = a.value("--seed")) {
        const auto parsed = wholeNumber(*s);
        if (!parsed) throw UsageError("semilla no válida: " + *s);
        seed = *parsed;
    }
    const std::string& path = a.positional[0];
    refuseExisting(path);
    auto db = Database::create(path);
    try {
        fill(*db, *n, seed, con);
    } catch (...) {
        db.reset();
        removeBook(path);
        throw;
    }
    con.out << plural(*n, "contacto creado", "contactos creados") << " en " << path << "\n";
    return kDone;
}

}  // namespace orv::db
