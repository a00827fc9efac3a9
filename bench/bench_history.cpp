// What keeping every change costs: each operation with the history's
// triggers against the same operation on the same book with the triggers
// dropped, in the same run; the size of a year's history; and undo of an
// import of 100,000 into a book of 1,000,000. Prints bench.sh's rows.
//
//   bench_history BOOK_1M RUNS

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "exchange/import.h"
#include "store/contact.h"
#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/schema.h"
#include "store/sql.h"
#include "support/radicale.h"
#include "sync/carddav.h"
#include "sync/engine.h"
#include "sync/mapping.h"
#include "tools/orvane-db/demo.h"

using namespace orv;

namespace {

[[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error(why);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double seconds(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e9;
}

// The floor: the same book with no history at all.
void dropHistory(Database& db) {
    db.exec(
        "DROP TRIGGER OrvHistoriaAlta; DROP TRIGGER OrvHistoriaCambio; DROP TRIGGER "
        "OrvHistoriaRecodigo; DROP TRIGGER OrvHistoriaBaja; DROP TABLE OrvHistoria");
}
// A floor that got its triggers back (the book was prepared again) measures nothing.
void expectWithout(Database& db) {
    sql::Statement s(
        db.handle(),
        "SELECT count(*) FROM sqlite_schema WHERE name LIKE 'OrvHistoria%' AND type = 'trigger'");
    if (!s.step() || s.int64(0) != 0) fail("the floor wrote history");
}

void copyFile(const QString& from, const QString& to) {
    QFile::remove(to);
    if (!QFile::copy(from, to)) fail("cannot copy " + from.toStdString());
}

void row(const char* op, const char* n, double ours, const char* floor, double base,
         const char* target, bool ok, const char* unit = "ms", double scale = 1000) {
    std::printf("%s\t%s\t%.1f %s\t%s\t%.1f %s\t%.2f\t%s\t%s\n", op, n, ours * scale, unit, floor,
                base * scale, unit, ours / base, target, ok ? "ok" : "MISSED");
    std::fflush(stdout);
}

std::vector<exchange::Located> generated(std::size_t n, std::uint64_t seed) {
    db::DemoGenerator gen(seed);
    std::vector<exchange::Located> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i].contact = gen.contact(i);
    return out;
}

void import(sqlite3* h, const std::vector<exchange::Located>& contacts) {
    exchange::importContacts(h, contacts, {false, true});
}

// Import of 100,000 into an empty book.
void importEmpty(const QDir& work, int runs) {
    const auto contacts = generated(100000, 11);
    std::vector<double> with, without;
    for (int i = 0; i <= runs; ++i) {
        for (bool history : {true, false}) {
            const QString path = work.filePath("import.mdb");
            QFile::remove(path);
            QDir(work.filePath("copias")).removeRecursively();
            auto db = Database::create(path.toStdString());
            if (!history) dropHistory(*db);
            QElapsedTimer t;
            t.start();
            import(db->handle(), contacts);
            if (i > 0) (history ? with : without).push_back(seconds(t));
            if (!history) expectWithout(*db);
        }
    }
    const double w = median(with), wo = median(without);
    row("orvane import of contacts into an empty book, with history", "100,000", w,
        "the same without the history's triggers", wo, "<= 1.25", w / wo <= 1.25);
}

// "Guardar" after "Modificar" on the card's record set, in a book of 100,000.
// The two books take turns save by save, and the median save of each is
// compared: the disk's flushes vary by more than the history costs, and over
// whole runs a slow spell fell on one side only.
void cardSave(const QDir& work, int runs) {
    const QString base = work.filePath("card-base.mdb");
    {
        QFile::remove(base);
        auto db = Database::create(base.toStdString());
        import(db->handle(), generated(100000, 5));
    }
    struct Side {
        std::shared_ptr<Database> db;
        std::unique_ptr<Recordset> rs;
        std::vector<double> saves;
    } sides[2];
    for (int h = 0; h < 2; ++h) {
        const QString path = work.filePath(h ? "card.mdb" : "card-plain.mdb");
        copyFile(base, path);
        sides[h].db = Database::open(path.toStdString());
        if (!h) dropHistory(*sides[h].db);
        sides[h].rs = sides[h].db->openRecordset("Registros");
    }
    std::mt19937 pick(1);
    const int saves = 200 * runs;
    for (int s = 0; s < saves; ++s) {
        const auto code = 1 + pick() % 100000;
        for (int k = 0; k < 2; ++k) {
            Side& side = sides[(s + k) % 2];  // each goes first half the time
            QElapsedTimer t;
            t.start();
            side.rs->FindCode(code);
            side.rs->Edit();
            std::vector<std::optional<Value>> v(kColumnCount);
            v[kTelefono] = Value("600 " + std::to_string(s));
            side.rs->Update(v);
            side.saves.push_back(seconds(t));
        }
    }
    expectWithout(*sides[0].db);
    const double w = median(sides[1].saves), wo = median(sides[0].saves);
    row("Guardar after Modificar (record set), with history", "100,000", w,
        "the same without the history's triggers", wo, "<= 1.1", w / wo <= 1.1, "µs", 1e6);
}

// A year of a 5,000-contact book with 20 changes a day: 14 edits of one
// field, 3 new contacts, 3 deleted. The history keeps the same rows however
// the changes are grouped, so they go in one transaction.
void yearOfHistory(const QDir& work) {
    const QString path = work.filePath("year.mdb");
    QFile::remove(path);
    auto db = Database::create(path.toStdString());
    import(db->handle(), generated(5000, 3));
    sqlite3* h = db->handle();
    std::mt19937 pick(1);
    db::DemoGenerator gen(9);
    std::int64_t next = 5001;
    std::vector<std::int64_t> alive;
    for (std::int64_t c = 1; c <= 5000; ++c) alive.push_back(c);
    sql::WriteTransaction tx(h);
    history::label(tx, history::kCard);
    sql::Statement phone(h, "UPDATE Registros SET Telefono = ?1 WHERE Codigo = ?2");
    sql::Statement info(h, "UPDATE Registros SET \"Mas info\" = ?1 WHERE Codigo = ?2");
    sql::Statement gone(h, "DELETE FROM Registros WHERE Codigo = ?1");
    ContactInserter add(h);
    for (int day = 0; day < 365; ++day) {
        for (int k = 0; k < 20; ++k) {
            if (k < 14) {
                sql::Statement& st = k % 2 ? phone : info;
                st.bind(1, "cambio " + std::to_string(day * 20 + k));
                st.bind(2, alive[pick() % alive.size()]);
                st.step();
                st.reset();
            } else if (k < 17) {
                add.insert(gen.contact(static_cast<std::uint64_t>(next)));
                alive.push_back(next++);
            } else {
                const std::size_t at = pick() % alive.size();
                gone.bind(1, alive[at]);
                gone.step();
                gone.reset();
                alive.erase(alive.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }
    }
    keys::refresh(h);
    tx.commit();
    std::int64_t bytes = 0;
    const std::int64_t changes = history::size(db->handle(), bytes);
    db.reset();
    const double book = static_cast<double>(QFileInfo(path).size());
    std::fprintf(stderr, "bench_history: a year: %lld changes kept\n",
                 static_cast<long long>(changes));
    row("history of a year, 20 changes a day (its pages)", "5,000", static_cast<double>(bytes),
        "the whole book file", book, "< 10 MB", bytes < 10 * 1024 * 1024, "MB", 1.0 / 1048576);
}

// The contacts added as an import adds them, without its look for repeats
// (which, among the demo book's few names, would take minutes here).
void addPlainly(sqlite3* h, const std::vector<exchange::Located>& contacts) {
    std::string names, marks;
    for (std::size_t c = kNombre; c < kColumnCount; ++c) {
        names += (c > kNombre ? ", " : "") + schema::quoted(schema::kColumns[c]);
        marks += (c > kNombre ? ", ?" : "?") + std::to_string(c);
    }
    sql::WriteTransaction tx(h);
    history::label(tx, history::kImport);
    sql::Statement ins(h, "INSERT INTO main.Registros (" + names + ") VALUES (" + marks + ")");
    for (const auto& l : contacts) {
        for (std::size_t c = kNombre; c < kColumnCount; ++c) ins.bind(int(c), l.contact[c]);
        ins.step();
        ins.reset();
    }
    keys::refresh(h);
    tx.commit();
}

// Undo of an import of 100,000 into a book of 1,000,000, against adding them.
void undoImport(const QDir& work, const QString& large, int runs) {
    const auto contacts = generated(100000, 21);
    std::vector<double> undos, imports;
    const QString path = work.filePath("undo.mdb"), base = work.filePath("undo-base.mdb");
    copyFile(large, base);
    Database::open(base.toStdString());  // made up to date once, outside the clock
    for (int i = 0; i < std::min(runs, 3); ++i) {
        copyFile(base, path);
        auto db = Database::open(path.toStdString());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::int64_t before = history::nowMs();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        QElapsedTimer t;
        t.start();
        addPlainly(db->handle(), contacts);
        imports.push_back(seconds(t));
        t.restart();
        sql::WriteTransaction tx(db->handle());
        history::label(tx, history::kUndo);
        const auto n = history::undoTo(db->handle(), before, false);
        keys::refresh(db->handle());
        tx.commit();
        undos.push_back(seconds(t));
        if (n.removed != 100000) fail("undo removed " + std::to_string(n.removed));
    }
    const double u = median(undos), im = median(imports);
    row("orvane-db undo of an import of 100,000", "1,000,000", u, "adding them", im, "< 10 s",
        u < 10);
}

// A sync of 5,000 cards with nothing changed, with and without the triggers.
void quietSync(const QDir& work, int runs) {
    rt::Radicale server;
    if (QString why = server.start(); !why.isEmpty()) fail(why.toStdString());
    const QUrl url = server.url("/ana/historia/");
    sync::CardDavOptions dav{url, rt::kUser, rt::kPassword, {}, 600000, 100};
    sync::CardDavClient client(dav);
    if (auto made = client.createAddressBook("Historia"); made.failed())
        fail(made.message.toStdString());
    const QString folder = server.storage() + "/collection-root/ana/historia/";
    db::DemoGenerator gen(7);
    for (int i = 0; i < 5000; ++i) {
        const std::string uid = "h-" + std::to_string(i);
        QFile f(folder + QString::fromStdString(uid) + ".vcf");
        if (!f.open(QIODevice::WriteOnly)) fail("cannot write a card");
        f.write(QByteArray::fromStdString(sync::cardFromContact(gen.contact(i), uid)));
    }
    const QString base = work.filePath("sync-base.mdb");
    QFile::remove(base);
    Database::create(base.toStdString());
    sync::SyncOptions o;
    o.dav = dav;
    {
        auto db = Database::open(base.toStdString());
        if (!sync::syncBook(db->handle(), o).complete()) fail("the first sync failed");
    }
    std::vector<double> with, without;
    for (int i = 0; i <= runs; ++i) {
        for (bool history : {true, false}) {
            const QString path = work.filePath("sync.mdb");
            copyFile(base, path);
            auto db = Database::open(path.toStdString());
            if (!history) dropHistory(*db);
            QElapsedTimer t;
            t.start();
            const auto r = sync::syncBook(db->handle(), o);
            if (!r.complete() || !r.up.empty() || !r.down.empty()) fail("the sync was not quiet");
            if (i > 0) (history ? with : without).push_back(seconds(t));
            if (!history) expectWithout(*db);
        }
    }
    const double w = median(with), wo = median(without);
    row("sync, nothing changed, with history", "5,000", w,
        "the same without the history's triggers", wo, "<= 1.1", w / wo <= 1.1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        if (argc != 3) fail("uso: bench_history BOOK_1M RUNS");
        const QString large = QString::fromLocal8Bit(argv[1]);
        const int runs = std::max(1, std::atoi(argv[2]));
        QDir work(QDir::temp().filePath("orvane-bench-history"));
        work.removeRecursively();
        if (!QDir().mkpath(work.path())) fail("cannot make the work folder");
        importEmpty(work, runs);
        cardSave(work, runs);
        quietSync(work, runs);
        yearOfHistory(work);
        undoImport(work, large, runs);
        work.removeRecursively();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_history: %s\n", e.what());
        return 1;
    }
}
