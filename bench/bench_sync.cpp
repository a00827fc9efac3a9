// The sync of 5,000 cards: orvane-db's first sync into an empty book against
// vdirsyncer fetching the same address book into an empty folder, taken in
// turn from the same radicale on loopback, and orvane-db's sync when nothing
// changed. Prints bench.sh's rows (tab-separated).
//
//   bench_sync ORVANE_DB RUNS

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "store/engine.h"
#include "store/sql.h"
#include "support/radicale.h"
#include "sync/carddav.h"
#include "sync/mapping.h"
#include "tools/orvane-db/demo.h"

namespace {

constexpr int kCards = 5000;

// Thrown, so that the server stops with its object.
[[noreturn]] void fail(const QString& why) {
    throw std::runtime_error(why.toStdString());
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        fail("cannot write " + path);
}

// Seconds the command took; it must succeed.
double timed(const QString& program, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ORVANE_CARDDAV_PASSWORD", rt::kPassword);
    p.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        fail(program + " " + args.join(' ') + ": " + p.readAllStandardError());
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

QString syncToken(const QString& book) {
    auto db = orv::Database::open(book.toStdString());
    orv::sql::Statement st(db->handle(), "SELECT Valor FROM OrvSyncInfo WHERE Clave = 'token'");
    return st.step() ? QString::fromUtf8(st.text(0).data(), static_cast<int>(st.text(0).size()))
                     : QString();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int run(int argc, char** argv) {
    if (argc != 3) fail("uso: bench_sync ORVANE_DB RUNS");
    const QString tool = QString::fromLocal8Bit(argv[1]);
    const int runs = std::max(1, std::atoi(argv[2]));

    rt::Radicale server;
    if (QString why = server.start(); !why.isEmpty()) fail(why);
    const QUrl url = server.url("/ana/bench/");
    orv::sync::CardDavClient client({url, rt::kUser, rt::kPassword, {}, 600000, 100});
    if (auto made = client.createAddressBook("Bench"); made.failed()) fail(made.message);
    // Straight into radicale's storage: 5,000 uploads would time radicale.
    const QString folder = server.storage() + "/collection-root/ana/bench/";
    orv::db::DemoGenerator gen(7);
    for (int i = 0; i < kCards; ++i) {
        const std::string uid = "bench-" + std::to_string(i);
        writeFile(folder + QString::fromStdString(uid) + ".vcf",
                  QByteArray::fromStdString(orv::sync::cardFromContact(gen.contact(i), uid)));
    }
    // Radicale reads every card into its cache on the first listing.
    QElapsedTimer warm;
    warm.start();
    auto listed = client.list();
    std::fprintf(stderr, "bench_sync: radicale read the cards in %.1f s\n",
                 warm.elapsed() / 1000.0);
    if (!listed.ok() || listed.value.cards.size() != kCards)
        fail("the server does not list the cards: " + listed.error.message);

    QDir work(QDir::temp().filePath("orvane-bench-sync"));
    work.removeRecursively();
    if (!QDir().mkpath(work.path())) fail("cannot make " + work.path());
    const QString password = work.filePath("clave"), book = work.filePath("book.mdb"),
                  cards = work.filePath("cards"), status = work.filePath("status"),
                  config = work.filePath("vdirsyncer.conf");
    writeFile(password, rt::kPassword.toUtf8());
    writeFile(config,
              QStringLiteral("[general]\nstatus_path = \"%1/\"\n\n"
                             "[pair bench]\na = \"bench_local\"\nb = \"bench_remote\"\n"
                             "collections = null\nconflict_resolution = \"b wins\"\n\n"
                             "[storage bench_local]\ntype = \"filesystem\"\npath = \"%2/\"\n"
                             "fileext = \".vcf\"\n\n"
                             "[storage bench_remote]\ntype = \"carddav\"\nurl = \"%3\"\n"
                             "username = \"%4\"\npassword = \"%5\"\n")
                  .arg(status, cards, url.toString(), rt::kUser, rt::kPassword)
                  .toUtf8());

    std::vector<double> ours, theirs, again, answers;
    for (int i = 0; i <= runs; ++i) {  // the first of each warms up
        QFile::remove(book);
        timed(tool, {"init", book});
        const double first = timed(
            tool, {"sync", book, url.toString(), "--user", rt::kUser, "--password-file", password});
        const double none = timed(tool, {"sync", book, "--password-file", password});
        // The server's own part of that: its answer to the same question.
        QElapsedTimer clock;
        clock.start();
        auto asked = client.changesSince(syncToken(book));
        const double answer = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (!asked.ok() || !asked.value.changed.empty()) fail("the sync token was not kept");
        QDir(cards).removeRecursively();
        QDir(status).removeRecursively();
        QDir().mkpath(cards);
        timed("vdirsyncer", {"-c", config, "discover", "bench"});
        const double other = timed("vdirsyncer", {"-c", config, "sync"});
        if (QDir(cards).entryList(QDir::Files).size() != kCards) fail("vdirsyncer fetched too few");
        std::fprintf(stderr, "bench_sync: orvane-db %.2f s, again %.2f s; vdirsyncer %.2f s\n",
                     first, none, other);
        if (i == 0) continue;
        ours.push_back(first);
        again.push_back(none);
        answers.push_back(answer);
        theirs.push_back(other);
    }
    const double o = median(ours), t = median(theirs), n = median(again), a = median(answers);
    std::printf(
        "orvane-db sync, first sync into an empty book, time\t5,000\t%.0f ms\t"
        "vdirsyncer sync into an empty folder\t%.0f ms\t%.2f\t<= 0.5\t%s\n",
        o * 1000, t * 1000, o / t, o / t <= 0.5 ? "ok" : "MISSED");
    std::printf(
        "orvane-db sync, nothing changed, time\t5,000\t%.0f ms\t"
        "radicale answering its sync-collection REPORT\t%.0f ms\t%.2f\t< 1 s\t%s\n",
        n * 1000, a * 1000, n / a, n < 1 ? "ok" : "MISSED");
    work.removeRecursively();
    return 0;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_sync: %s\n", e.what());
        return 1;
    }
}
