// Copies touch only their own files: a copy is linked under its name only
// when whole, so a copy killed at any moment leaves nothing behind and never
// counts among those kept; the rotation of copias/ removes only the copies it
// made, whatever else is named like one; a link where copias/ should be is
// refused.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTest>

#include <random>
#include <thread>

#include "store/atomicfile.h"
#include "store/backup.h"
#include "store/history.h"
#include "store/sql.h"
#include "support/storetest.h"

using namespace orv;
using storetest::runTool;

namespace {

bool soundCopy(const QString& path, std::int64_t contacts) {
    try {
        auto db = Database::open(path.toStdString(), false);
        sql::Statement ok(db->handle(), "PRAGMA integrity_check");
        sql::Statement n(db->handle(), "SELECT count(*) FROM Registros");
        return ok.step() && ok.text(0) == "ok" && n.step() && n.int64(0) == contacts;
    } catch (const EngineError&) {
        return false;
    }
}

QStringList everything(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

}  // namespace

class TestBackup : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString book_;

    QString path(const QString& name) const { return dir_.filePath(name); }
    QString copias() const { return path("copias"); }

  private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        book_ = path("orv.mdb");
        // Large enough that a copy takes a while to be killed in.
        const auto r = runTool({"demo", book_, "20000"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
    }

    void init() { QDir(copias()).removeRecursively(); }

    // The user's files beside a copy and in copias/ stay as they were: a
    // DEST.parcial, a file named like the oldest copy, a copy of a copy
    // made by hand (its mark names another file), a file of another book.
    void userFilesAreNeverTouchedNorCounted() {
        storetest::writeFile(path("mia.mdb.parcial"), "del usuario\n");
        auto r = runTool({"backup", book_, path("mia.mdb")});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(storetest::fileBytes(path("mia.mdb.parcial")), QByteArray("del usuario\n"));
        QVERIFY(soundCopy(path("mia.mdb"), 20000));

        r = runTool({"backup", book_});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const QString first = everything(copias()).first();
        QVERIFY(QFile::copy(copias() + "/" + first, copias() + "/orv-00000000-000000000.mdb"));
        storetest::writeFile(copias() + "/orv-0000.mdb", "una nota que se llama como una copia");
        QVERIFY(QFile::copy(path("mia.mdb"), copias() + "/otra-20000101-000000000.mdb"));
        const QStringList users = {"orv-00000000-000000000.mdb", "orv-0000.mdb",
                                   "otra-20000101-000000000.mdb"};
        QByteArray bytes[3];
        for (int i = 0; i < 3; ++i) bytes[i] = storetest::fileBytes(copias() + "/" + users[i]);

        for (int i = 0; i < 9; ++i) backup::keepCopy(book_.toStdString());
        QStringList left = everything(copias());
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(left.removeAll(users[i]) == 1, qPrintable(users[i]));
            QCOMPARE(storetest::fileBytes(copias() + "/" + users[i]), bytes[i]);
        }
        QCOMPARE(left.size(), backup::kKeptCopies);
        QVERIFY(!left.contains(first));  // the oldest of ours went
        const Fd dir = backup::openCopies(book_.toStdString());
        QCOMPARE(backup::ourCopies(dir.get(), "orv.mdb").size(), std::size_t(backup::kKeptCopies));
        QCOMPARE(backup::otherFiles(dir.get(), "orv.mdb"),
                 (std::vector<std::string>{"orv-0000.mdb", "orv-00000000-000000000.mdb"}));
        // An explicit destination is never replaced.
        r = runTool({"backup", book_, path("mia.mdb")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("ya existe"), r.err.constData());
    }

    // A link where copias/ should be is refused, and nothing is written
    // where it points; so is a file there.
    void copiasMustBeAFolder() {
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(elsewhere.path(), copias()));
        auto r = runTool({"backup", book_});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("es un enlace simbólico"), r.err.constData());
        QVERIFY(everything(elsewhere.path()).isEmpty());
        r = runTool({"check", book_});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("es un enlace simbólico"), r.err.constData());
        QVERIFY(QFile::remove(copias()));
        storetest::writeFile(copias(), "");
        r = runTool({"backup", book_});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("no es una carpeta"), r.err.constData());
        QVERIFY(QFile::remove(copias()));
    }

    // Killed at random moments, a copy leaves nothing in copias/ nor beside
    // its destination but whole copies; the next copies count only whole ones.
    void killedCopiesLeaveNothing() {
        std::mt19937 rng(20261208);
        int whole = 0, cut = 0;
        const QStringList besideBefore = everything(dir_.path());
        for (int i = 0; i < 40; ++i) {
            const bool intoCopias = i % 2 == 0;
            const QString dest = path(QStringLiteral("destino%1.mdb").arg(i));
            QProcess p;
            p.start(ORV_DB_TOOL,
                    intoCopias ? QStringList{"backup", book_} : QStringList{"backup", book_, dest});
            QVERIFY(p.waitForStarted());
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 60000));
            ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
            p.waitForFinished();
            const bool done = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
            done ? ++whole : ++cut;
            for (const QString& f : everything(copias()))
                QVERIFY2(f.startsWith("orv-") && f.endsWith(".mdb") &&
                             soundCopy(copias() + "/" + f, 20000),
                         qPrintable(f));
            QStringList beside = everything(dir_.path());
            // The book's own (WAL) side files come and go with its readers.
            for (const char* own : {"copias", "orv.mdb-wal", "orv.mdb-shm"}) beside.removeAll(own);
            for (const QString& f : beside)
                if (!besideBefore.contains(f))
                    QVERIFY2(f.startsWith("destino") && soundCopy(path(f), 20000), qPrintable(f));
        }
        qInfo("%d copies killed, %d ended first", cut, whole);
        QVERIFY(cut > 10);
        for (int i = 0; i < 8; ++i) backup::keepCopy(book_.toStdString());
        QCOMPARE(everything(copias()).size(), backup::kKeptCopies);
    }

    // The one way an output is made (exports, copies): whatever happens, the
    // folder holds the whole file under its name or nothing new, the
    // owner's alone; a name taken is never replaced.
    void outputIsWholeOrNothing_data() {
        QTest::addColumn<bool>("named");  // a temporary name, not a file with none
        QTest::addColumn<bool>("taken");  // the name is there already
        QTest::addColumn<bool>("cut");    // an exception before it is named
        for (bool named : {false, true})
            for (bool taken : {false, true})
                for (bool cut : {false, true})
                    QTest::addRow("%s%s%s", named ? "named" : "nameless", taken ? ", taken" : "",
                                  cut ? ", cut" : "")
                        << named << taken << cut;
    }
    void outputIsWholeOrNothing() {
        QFETCH(bool, named);
        QFETCH(bool, taken);
        QFETCH(bool, cut);
        QTemporaryDir tmp;
        const QString target = tmp.filePath("salida.csv");
        if (taken) storetest::writeFile(target, "del usuario\n");
        const Fd dir(::open(QFile::encodeName(tmp.path()).constData(), O_RDONLY | O_DIRECTORY));
        // Past the buffer, and a tail left in it.
        const std::string body = "uno," + std::string(3 << 20, 'x') + ",fin";
        bool published = false;
        try {
            AtomicFile f(dir.get(), tmp.path().toStdString(), nullptr, named);
            QCOMPARE(f.temporaryName().empty(), !named);
            f.write(body.substr(0, 4));
            f.write(body.substr(4, 3 << 20));
            f.write(body.substr(4 + (3 << 20)));
            if (cut) throw std::runtime_error("cortado");
            published = f.publish("salida.csv");
        } catch (const std::runtime_error&) {
            QVERIFY(cut);
        }
        QCOMPARE(published, !taken && !cut);
        QCOMPARE(everything(tmp.path()),
                 taken || published ? QStringList{"salida.csv"} : QStringList{});
        if (taken) QCOMPARE(storetest::fileBytes(target), QByteArray("del usuario\n"));
        if (!published) return;
        QVERIFY(storetest::fileBytes(target) == QByteArray::fromStdString(body));
        struct stat sb;
        QVERIFY(::stat(QFile::encodeName(target).constData(), &sb) == 0);
        QCOMPARE(sb.st_mode & 0777, 0600u);
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_backup.moc"
