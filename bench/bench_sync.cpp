// The sync of CARDS cards (bench.sh's SYNC_CARDS) against vdirsyncer doing
// the same in the same run, from each of radicale and xandikos on loopback:
// a first sync into an empty book (an empty folder), a sync with nothing
// changed, and one with one card changed on the server. The cards go
// straight into each server's storage, so that only the measured syncs
// travel over HTTP. Prints bench.sh's rows (tab-separated). Given a second
// orvane-db (an earlier build), it is timed the same way in the same run,
// and rows compare the two: a change's cost, free of the machine's moods.
//
//   [ORV_BENCH_PEER=0] bench_sync ORVANE_DB RUNS CARDS [EARLIER_ORVANE_DB]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "exchange/vcardmerge.h"
#include "store/engine.h"
#include "store/sql.h"
#include "support/davserver.h"
#include "sync/carddav.h"
#include "sync/mapping.h"
#include "tools/orvane-db/demo.h"

namespace {

// Thrown, so that the server stops with its object.
[[noreturn]] void fail(const QString& why) {
    throw std::runtime_error(why.toStdString());
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        fail("cannot write " + path);
}

// Runs the command; false, with what it said in `why`, when it failed.
bool attempt(const QString& program, const QStringList& args, double& seconds,
             QString* why = nullptr) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ORVANE_CARDDAV_PASSWORD", rt::kPassword);
    p.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    const bool done =
        p.waitForFinished(1200000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    if (!done && why) *why = program + " " + args.join(' ') + ": " + p.readAllStandardError();
    return done;
}

// Seconds the command took; it must succeed.
double timed(const QString& program, const QStringList& args) {
    double seconds = 0;
    QString why;
    if (!attempt(program, args, seconds, &why)) fail(why);
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void run(const QString& program, const QStringList& args, const QString& dir) {
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        fail(program + " " + args.join(' ') + ": " + p.readAllStandardError());
}

// xandikos serves what its collection's git repository holds: the files as
// they are now, committed.
void commit(const QString& folder) {
    run("git", {"add", "-A", "."}, folder);
    run("git",
        {"-c", "user.name=bench", "-c", "user.email=bench@localhost", "commit", "-qm", "cards",
         "--allow-empty", "--", "."},
        folder);
}

// The card files moved from one folder to another, `count` of them at most.
void moveCards(const QString& from, const QString& to, qsizetype count) {
    QDir source(from);
    const QStringList names = source.entryList({"*.vcf"}, QDir::Files);
    for (qsizetype i = 0; i < std::min(count, names.size()); ++i)
        if (!QFile::rename(source.filePath(names[i]), QDir(to).filePath(names[i])))
            fail("cannot move " + names[i]);
}

// One card of the server changed, as a phone would.
void changeOne(orv::sync::CardDavClient& client, int serial) {
    const QString href = client.hrefForUid("bench-7");
    auto got = client.fetch({href});
    if (!got.ok() || got.value.cards.empty()) fail("cannot read bench-7");
    const std::string text = orv::exchange::mergeVCard(
        got.value.cards[0].vcard.toStdString(), {{"TEL", "600 000 " + std::to_string(serial)}});
    if (!client.put(href, QByteArray::fromStdString(text), got.value.cards[0].etag).ok())
        fail("cannot change bench-7");
}

void benchServer(const QString& kind, const QString& tool, const QString& earlier, int runs,
                 int cards) {
    rt::DavServer server(kind);
    if (QString why = server.start(); !why.isEmpty()) fail(why);
    const QUrl url = server.bookUrl("bench");
    orv::sync::CardDavOptions setup{url, server.user(), server.password(), {}, 600000, 100};
    // Its first listing waits while the server reads every card: minutes on a busy machine.
    setup.limits.requestMs = setup.limits.syncMs = 3600000;
    orv::sync::CardDavClient client(setup);
    if (auto made = client.createAddressBook("Bench"); made.failed()) fail(made.message);
    const QString folder = server.bookFolder("bench") + "/";
    orv::db::DemoGenerator gen(7);
    for (int i = 0; i < cards; ++i) {
        const std::string uid = "bench-" + std::to_string(i);
        writeFile(folder + QString::fromStdString(uid) + ".vcf",
                  QByteArray::fromStdString(orv::sync::cardFromContact(gen.contact(i), uid)));
    }
    if (server.xandikos()) commit(folder);
    // Each server reads every card (radicale into its cache) on the first listing.
    QElapsedTimer warm;
    warm.start();
    auto listed = client.list();
    std::fprintf(stderr, "bench_sync: %s read the cards in %.1f s\n", qPrintable(kind),
                 warm.elapsed() / 1000.0);
    if (!listed.ok() || listed.value.cards.size() != std::size_t(cards))
        fail(kind + " does not list the cards: " + listed.error.message);

    QDir work(QDir::temp().filePath("orvane-bench-sync"));
    work.removeRecursively();
    if (!QDir().mkpath(work.path())) fail("cannot make " + work.path());
    const QString password = work.filePath("clave"), book = work.filePath("book.mdb"),
                  files = work.filePath("cards"), status = work.filePath("status"),
                  config = work.filePath("vdirsyncer.conf");
    writeFile(password, rt::kPassword.toUtf8());
    QFile::setPermissions(password, QFile::ReadOwner | QFile::WriteOwner);
    const QString login = server.user().isEmpty()
                              ? QString()
                              : QStringLiteral("username = \"%1\"\npassword = \"%2\"\n")
                                    .arg(server.user(), server.password());
    writeFile(config,
              QStringLiteral("[general]\nstatus_path = \"%1/\"\n\n"
                             "[pair bench]\na = \"bench_local\"\nb = \"bench_remote\"\n"
                             "collections = null\nconflict_resolution = \"b wins\"\n\n"
                             "[storage bench_local]\ntype = \"filesystem\"\npath = \"%2/\"\n"
                             "fileext = \".vcf\"\n\n"
                             "[storage bench_remote]\ntype = \"carddav\"\nurl = \"%3\"\n%4")
                  .arg(status, files, url.toString(), login)
                  .toUtf8());
    QStringList first = {"sync", book, url.toString()};
    if (!server.user().isEmpty())
        first << "--user" << server.user() << "--password-file" << password;
    QStringList again = {"sync", book};
    if (!server.user().isEmpty()) again << "--password-file" << password;

    const QString hidden = work.filePath("hidden");
    // ORV_BENCH_PEER=0: only this build against the earlier one (vdirsyncer
    // takes minutes a run at 20,000 cards).
    const bool peer = qEnvironmentVariable("ORV_BENCH_PEER") != QLatin1String("0");
    std::vector<double> ours[3], theirs[3], before[3];
    bool gaveUp = false;  // vdirsyncer's first sync did not end
    int serial = 0;
    // One build's three syncs; with an earlier build, the two take turns
    // going first, so that neither always meets the server as the other left it.
    const auto syncs = [&](const QString& program, std::vector<double>* into) {
        QFile::remove(book);
        timed(program, {"init", book});
        into[0].push_back(timed(program, first));
        into[1].push_back(timed(program, again));
        changeOne(client, ++serial);
        into[2].push_back(timed(program, again));
        std::fprintf(stderr, "bench_sync: %s: %s %.2f / %.2f / %.2f s\n", qPrintable(kind),
                     program == tool ? "orvane-db" : "the earlier orvane-db", into[0].back(),
                     into[1].back(), into[2].back());
    };
    for (int i = 0; i < runs; ++i) {
        if (earlier.isEmpty()) {
            syncs(tool, ours);
        } else {
            syncs(i % 2 ? earlier : tool, i % 2 ? before : ours);
            syncs(i % 2 ? tool : earlier, i % 2 ? ours : before);
        }

        if (!peer) continue;
        QDir(files).removeRecursively();
        QDir(status).removeRecursively();
        QDir().mkpath(files);
        timed("vdirsyncer", {"-c", config, "discover", "bench"});
        double took = 0;
        if (!attempt("vdirsyncer", {"-c", config, "sync"}, took)) {
            // It asks for every card in one multiget, which xandikos answers by
            // looking each card up among all the others: beyond some thousands
            // vdirsyncer's HTTP client gives up (after 5 minutes). Its state for
            // the next two syncs is then built a thousand cards at a time.
            gaveUp = true;
            QDir(files).removeRecursively();
            QDir(status).removeRecursively();
            QDir().mkpath(files);
            QDir().mkpath(hidden);
            timed("vdirsyncer", {"-c", config, "discover", "bench"});
            moveCards(folder, hidden, cards);
            for (int shown = 0; shown < cards; shown += 1000) {
                moveCards(hidden, folder, 1000);
                if (server.xandikos()) commit(folder);
                timed("vdirsyncer", {"-c", config, "sync"});
            }
        }
        theirs[0].push_back(took);
        if (QDir(files).entryList(QDir::Files).size() != qsizetype(cards))
            fail("vdirsyncer fetched too few");
        theirs[1].push_back(timed("vdirsyncer", {"-c", config, "sync"}));
        changeOne(client, ++serial);
        theirs[2].push_back(timed("vdirsyncer", {"-c", config, "sync"}));
        std::fprintf(stderr,
                     "bench_sync: %s: orvane-db %.2f / %.2f / %.2f s; vdirsyncer %.2f / %.2f / "
                     "%.2f s\n",
                     qPrintable(kind), ours[0].back(), ours[1].back(), ours[2].back(),
                     theirs[0].back(), theirs[1].back(), theirs[2].back());
    }
    const char* what[3] = {"first sync into an empty book", "nothing changed",
                           "one card changed on the server"};
    const char* floor[3] = {"vdirsyncer sync into an empty folder",
                            "vdirsyncer sync, nothing changed",
                            "vdirsyncer sync, one card changed"};
    const double target[3] = {0.15, 0.05, 0.05};
    for (int k = 0; k < 3 && peer; ++k) {
        const double o = median(ours[k]), t = median(theirs[k]);
        // A floor that gave up took longer than it shows: the ratio is at most this.
        const bool bound = k == 0 && gaveUp;
        std::printf(
            "orvane-db sync (%s), %s, time\t%d\t%.0f ms\t%s%s\t%s%.0f ms\t%s%.3f\t<= "
            "%.2f\t%s\n",
            qPrintable(kind), what[k], cards, o * 1000, floor[k], bound ? " (gave up)" : "",
            bound ? "> " : "", t * 1000, bound ? "< " : "", o / t, target[k],
            o / t <= target[k] ? "ok" : "MISSED");
    }
    for (int k = 0; k < 3 && !earlier.isEmpty(); ++k) {
        const double o = median(ours[k]), b = median(before[k]);
        std::printf(
            "orvane-db sync (%s), %s, time\t%d\t%.0f ms\tthe earlier orvane-db, same "
            "run\t%.0f ms\t%.3f\t<= 1.05\t%s\n",
            qPrintable(kind), what[k], cards, o * 1000, b * 1000, o / b,
            o / b <= 1.05 ? "ok" : "MISSED");
    }
    work.removeRecursively();
}

}  // namespace

int run(int argc, char** argv) {
    if (argc != 4 && argc != 5) fail("uso: bench_sync ORVANE_DB RUNS CARDS [EARLIER_ORVANE_DB]");
    const QString earlier = argc == 5 ? QString::fromLocal8Bit(argv[4]) : QString();
    const QString tool = QString::fromLocal8Bit(argv[1]);
    const int runs = std::max(1, std::atoi(argv[2]));
    const int cards = std::max(10, std::atoi(argv[3]));
    for (const QString& kind : rt::davServers()) benchServer(kind, tool, earlier, runs, cards);
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
