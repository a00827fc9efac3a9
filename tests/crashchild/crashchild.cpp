// Stores, modifies and deletes contacts through the card's record set until
// it is killed. Before each change it names it on stdout, and prints "ok"
// once the call has returned, so its parent knows what was reported as
// stored and which one change may have been cut short.
//
//   orv_crashchild BOOK SEED FIRST_K

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "crashrow.h"
#include "store/engine.h"
#include "store/sql.h"

namespace {

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& why) {
    say("error " + why);
    std::exit(3);
}

std::vector<std::int64_t> codes(orv::Database& db) {
    std::vector<std::int64_t> out;
    orv::sql::Statement s(db.handle(), "SELECT Codigo FROM Registros");
    while (s.step()) out.push_back(s.int64(0));
    return out;
}

// Makes the contact with this code current and returns its (k, v).
crashrow::Id find(orv::Recordset& rs, std::int64_t code) {
    if (!rs.FindCode(code)) fail("code " + std::to_string(code) + " not found");
    const auto id = crashrow::parseName(rs.value("Nombre"));
    if (!id) fail("code " + std::to_string(code) + " holds a name that is not ours");
    return *id;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s BOOK SEED FIRST_K\n", argv[0]);
        return 2;
    }
    std::mt19937_64 rng(std::strtoull(argv[2], nullptr, 10));
    std::uint64_t nextK = std::strtoull(argv[3], nullptr, 10);
    try {
        auto db = orv::Database::open(argv[1]);
        auto rs = db->openRecordset("Registros");
        const std::vector<std::string> columns = rs->fieldNames();
        std::vector<std::int64_t> live = codes(*db);
        say("ready");
        // Bounded, so that an orphan never runs for long.
        for (int op = 0; op < 20000; ++op) {
            const unsigned roll = rng() % 100;
            // Grow while small, shrink while large, churn in between.
            const bool add = live.size() < 8 || (live.size() < 150 && roll < 40);
            const bool modify = !add && roll < 75;
            if (add) {
                const std::uint64_t k = nextK++;
                say("add " + std::to_string(k));
                rs->AddNew();
                rs->Update(crashrow::row(columns, k, 0));
                live.push_back(sqlite3_last_insert_rowid(db->handle()));
            } else {
                const std::size_t at = rng() % live.size();
                const crashrow::Id id = find(*rs, live[at]);
                if (modify) {
                    say("mod " + std::to_string(id.k) + " " + std::to_string(id.v + 1));
                    rs->Edit();
                    rs->Update(crashrow::row(columns, id.k, id.v + 1));
                } else {
                    say("del " + std::to_string(id.k));
                    rs->Delete();
                    live[at] = live.back();
                    live.pop_back();
                }
            }
            say("ok");
        }
    } catch (const orv::EngineError& e) {
        fail(std::to_string(e.number()) + " " + e.text());
    }
    return 0;
}
