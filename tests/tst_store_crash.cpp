// A contact book survives its writer being killed at any moment: after each
// SIGKILL the file is sound, every change the writer reported as stored is
// there exactly, and no contact is half stored.

#include <QtTest>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "crashchild/crashrow.h"
#include "store/contactquery.h"
#include "store/engine.h"
#include "store/sql.h"

using namespace orv;

namespace {

constexpr int kKills = 60;
constexpr std::uint64_t kSeed = 20240611;

// What the writer announced before its last "ok", if anything.
struct Pending {
    enum Kind { None, Add, Modify, Delete } kind = None;
    std::uint64_t k = 0, v = 0;
};

struct Model {
    std::map<std::uint64_t, std::uint64_t> version;  // stored contacts: k -> v
    std::map<std::uint64_t, std::int64_t> code;      // k -> its Codigo, once seen
    std::int64_t highestCode = 0;                    // every code ever seen stored
    Pending pending;
};

struct Stats {
    int hotJournals = 0, inFlight = 0, inFlightApplied = 0, reported = 0;
};

// Applies one line of the writer's output to the model; false on a line
// that means the writer failed.
bool apply(Model& m, Stats& st, const QByteArray& line, QString& why) {
    const QList<QByteArray> w = line.trimmed().split(' ');
    const QByteArray& verb = w.value(0);
    if (verb == "ready") return true;
    if (verb == "ok") {
        auto& p = m.pending;
        if (p.kind == Pending::Add) m.version[p.k] = 0;
        if (p.kind == Pending::Modify) m.version[p.k] = p.v;
        if (p.kind == Pending::Delete) m.version.erase(p.k);
        p = Pending();
        ++st.reported;
        return true;
    }
    if (verb == "add" || verb == "mod" || verb == "del") {
        m.pending.kind = verb == "add"   ? Pending::Add
                         : verb == "mod" ? Pending::Modify
                                         : Pending::Delete;
        m.pending.k = w.value(1).toULongLong();
        m.pending.v = w.value(2).toULongLong();
        return true;
    }
    why = "writer said: " + QString::fromUtf8(line);
    return false;
}

std::vector<std::string> sqlRows(sqlite3* db, const char* text) {
    std::vector<std::string> out;
    sql::Statement s(db, text);
    while (s.step()) out.push_back(s.value(0).value_or("<null>"));
    return out;
}

// Checks the book against the model after a kill and settles the one
// change that may have been cut short. Returns an empty string when sound.
QString checkBook(const std::string& path, Model& m, Stats& st) {
    if (std::filesystem::exists(path + "-journal")) ++st.hotJournals;
    // Opened with the store, so that the index's collation exists.
    auto db = Database::open(path);
    const auto integrity = sqlRows(db->handle(), "PRAGMA integrity_check");
    if (integrity != std::vector<std::string>{"ok"})
        return "integrity_check: " + QString::fromStdString(integrity.front());

    const std::vector<std::string>& columns = db->columns();
    const int nameField =
        static_cast<int>(std::find(columns.begin(), columns.end(), "Nombre") - columns.begin());
    std::map<std::uint64_t, std::uint64_t> found;  // k -> v
    std::map<std::uint64_t, std::int64_t> foundCode;
    sql::Statement s(db->handle(), "SELECT * FROM Registros");
    QString error;
    while (error.isEmpty() && s.step()) {
        std::vector<crashrow::Value> row;
        for (int c = 0; c < static_cast<int>(columns.size()); ++c) row.push_back(s.value(c));
        const std::int64_t code = s.int64(0);
        const auto id = crashrow::parseName(row[nameField]);
        if (!id) {
            error = QString("row %1: name '%2' is not a whole contact's")
                        .arg(code)
                        .arg(QString::fromStdString(row[nameField].value_or("<null>")));
            break;
        }
        const auto want = crashrow::row(columns, id->k, id->v);
        for (std::size_t c = 0; c < columns.size() && error.isEmpty(); ++c)
            if (want[c] && *want[c] != row[c])
                error = QString("row %1 (contact %2.%3): field %4 is '%5'")
                            .arg(code)
                            .arg(id->k)
                            .arg(id->v)
                            .arg(QString::fromStdString(columns[c]))
                            .arg(QString::fromStdString(row[c].value_or("<null>")));
        if (!found.emplace(id->k, id->v).second)
            error = QString("contact %1 stored twice").arg(id->k);
        foundCode[id->k] = code;
    }
    if (!error.isEmpty()) return error;

    // The ordered listing walks the name index: it must hold every row once.
    const auto listing = db->openQuery(*contactQuery("", "Registros"));
    QueryRecordset& q = *listing;
    q.fetchAll();
    std::set<std::int64_t> listed;
    for (std::size_t r = 0; r < q.rowsFetched(); ++r) listed.insert(q.codeAt(r));
    if (listed.size() != found.size() || q.rowsFetched() != found.size())
        return QString("the listing by name has %1 rows, the table %2")
            .arg(q.rowsFetched())
            .arg(found.size());

    // Settle the change in flight: either outcome is sound, nothing else.
    Pending& p = m.pending;
    if (p.kind != Pending::None) {
        ++st.inFlight;
        const auto f = found.find(p.k);
        const auto before = m.version.find(p.k);
        bool applied = false, sound = false;
        switch (p.kind) {
            case Pending::Add:
                applied = f != found.end();
                sound = !applied || f->second == 0;
                if (applied) m.version[p.k] = 0;
                break;
            case Pending::Modify:
                applied = f != found.end() && f->second == p.v;
                sound = f != found.end() &&
                        (applied || (before != m.version.end() && f->second == before->second));
                if (applied) m.version[p.k] = p.v;
                break;
            case Pending::Delete:
                applied = f == found.end();
                sound = applied || (before != m.version.end() && f->second == before->second);
                if (applied) m.version.erase(p.k);
                break;
            case Pending::None:
                break;
        }
        if (!sound)
            return QString("contact %1 is neither before nor after its cut-short change").arg(p.k);
        if (applied) ++st.inFlightApplied;
        p = Pending();
    }

    for (const auto& [k, v] : m.version) {
        const auto f = found.find(k);
        if (f == found.end()) return QString("stored contact %1 is lost").arg(k);
        if (f->second != v)
            return QString("contact %1 is at version %2, reported %3").arg(k).arg(f->second).arg(v);
    }
    for (const auto& [k, v] : found)
        if (!m.version.count(k)) return QString("contact %1 was never reported").arg(k);

    // A code is never handed out twice, not even across a crash.
    std::int64_t highest = m.highestCode;
    for (const auto& [k, c] : foundCode) {
        const auto known = m.code.find(k);
        if (known == m.code.end()) {
            if (c <= m.highestCode)
                return QString("contact %1 got code %2, already given out").arg(k).arg(c);
            m.code[k] = c;
        } else if (known->second != c) {
            return QString("contact %1 moved from code %2 to %3").arg(k).arg(known->second).arg(c);
        }
        highest = std::max(highest, c);
    }
    m.highestCode = highest;
    return {};
}

}  // namespace

class TestStoreCrash : public QObject {
    Q_OBJECT

  private slots:
    void killedWriterLosesNothing();
};

void TestStoreCrash::killedWriterLosesNothing() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string path = dir.filePath("orv.mdb").toStdString();
    Database::create(path);

    std::mt19937_64 rng(kSeed);
    Model model;
    Stats stats;
    // How long one change takes here, learnt as the test goes (fsync bound).
    double changeMicros = 20000;
    for (int run = 0; run < kKills; ++run) {
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(ORV_CRASH_CHILD, {QString::fromStdString(path), QString::number(kSeed + run),
                                      QString::number((run + 1) * 1000000ull)});
        QVERIFY2(child.waitForStarted(10000), qPrintable(child.errorString()));

        // Let it report a seeded number of changes, then kill it a seeded
        // fraction of a change later, so that kills land in every phase of
        // a change: before, inside and after its commit.
        const int changes = static_cast<int>(rng() % 16);
        const double fraction = static_cast<double>(rng() % 1000) / 800.0;
        int seen = -1;  // "ready" is not a change
        QElapsedTimer clock;
        qint64 firstOk = -1, lastOk = -1;
        QString why;
        while (seen < changes && why.isEmpty()) {
            while (child.canReadLine()) {
                const QByteArray line = child.readLine();
                if (!apply(model, stats, line, why)) break;
                if (line.startsWith("ready")) clock.start();
                if (line.startsWith("ok") || line.startsWith("ready")) {
                    ++seen;
                    lastOk = clock.nsecsElapsed() / 1000;
                    if (firstOk < 0) firstOk = lastOk;
                }
            }
            if (seen < changes && why.isEmpty() && !child.canReadLine() &&
                !child.waitForReadyRead(10000))
                why = "writer went silent: " + QString::fromUtf8(child.readAllStandardError());
        }
        if (seen > 1) changeMicros = 0.5 * changeMicros + 0.5 * (lastOk - firstOk) / seen;
        const auto delay = std::chrono::microseconds(static_cast<long>(fraction * changeMicros));
        QVERIFY2(why.isEmpty(), qPrintable(why));
        std::this_thread::sleep_for(delay);
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        while (child.canReadLine())
            QVERIFY2(apply(model, stats, child.readLine(), why), qPrintable(why));
        // A line cut short by the kill never reaches the pipe: each is one write.
        QVERIFY2(child.bytesAvailable() == 0, child.readAll().constData());

        const QString error = checkBook(path, model, stats);
        QVERIFY2(error.isEmpty(), qPrintable(QString("after kill %1: %2").arg(run).arg(error)));
    }
    qInfo(
        "%d kills, %d changes reported, %d kills with a change in flight (%d of them stored), "
        "%d left a journal behind, %zu contacts at the end, %.1f ms a change",
        kKills, stats.reported, stats.inFlight, stats.inFlightApplied, stats.hotJournals,
        model.version.size(), changeMicros / 1000);
}

QTEST_GUILESS_MAIN(TestStoreCrash)
#include "tst_store_crash.moc"
