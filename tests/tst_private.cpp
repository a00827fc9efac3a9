// The owner's alone: every file and folder the programs make is for its
// owner only whatever the umask, check says when others can read a book or
// its copies (and changes nothing), and a folder that others can write is
// never where the program reads a book or a plugin.

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTest>

#include <thread>

#include "store/engine.h"
#include "store/history.h"
#include "store/sql.h"
#include "support/storetest.h"
#include "ui/toolkit/services.h"

using namespace orv;
using orv::ui::AppPathSeam;
using orv::ui::BookPath;
using storetest::runTool;

namespace {

int modeOf(const QString& path) {
    struct stat sb;
    return ::lstat(QFile::encodeName(path).constData(), &sb) == 0 ? int(sb.st_mode & 07777) : -1;
}

// Runs f with the process's umask set to `mask` (children inherit it).
template <typename F>
void withUmask(mode_t mask, F f) {
    const mode_t old = ::umask(mask);
    f();
    ::umask(old);
}

}  // namespace

class TestPrivate : public QObject {
    Q_OBJECT

  private slots:
    void madeForTheOwnerAlone_data() {
        QTest::addColumn<int>("mask");
        QTest::newRow("umask 022") << 022;
        QTest::newRow("umask 002") << 002;
        QTest::newRow("umask 000") << 000;
        QTest::newRow("umask 0277") << 0277;
    }
    // The book, its side files while written, copias/ and its copies,
    // exports, the data folder the windows make.
    void madeForTheOwnerAlone() {
        QFETCH(int, mask);
        QTemporaryDir dir;
        const QString book = dir.filePath("orv.mdb");
        withUmask(mode_t(mask), [&] {
            auto r = runTool({"demo", book, "150"});
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QCOMPARE(modeOf(book), 0600);
            {
                auto db = Database::open(book.toStdString());
                sql::WriteTransaction tx(db->handle());
                db->exec("UPDATE Registros SET Telefono = '600'");
                int sides = 0;
                for (const char* s : {"-journal", "-wal", "-shm"})
                    if (QFile::exists(book + s)) {
                        ++sides;
                        QCOMPARE(modeOf(book + s), 0600);
                    }
                QVERIFY(sides > 0);
            }
            r = runTool({"backup", book});
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QCOMPARE(modeOf(dir.filePath("copias")), 0700);
            for (const QString& f : QDir(dir.filePath("copias")).entryList(QDir::Files))
                QCOMPARE(modeOf(dir.filePath("copias/" + f)), 0600);
            // An import of more than a hundred keeps a copy too.
            QVERIFY(runTool({"export", book, dir.filePath("todo.vcf")}).exitCode == 0);
            QVERIFY(runTool({"export", book, dir.filePath("todo.csv")}).exitCode == 0);
            for (const char* f : {"todo.vcf", "todo.csv"}) QCOMPARE(modeOf(dir.filePath(f)), 0600);
            r = runTool({"import", book, dir.filePath("todo.vcf"), "--keep-duplicates"});
            QVERIFY2(r.exitCode == 0 && r.out.contains("Copia de la agenda"), r.err.constData());
            QCOMPARE(QDir(dir.filePath("copias")).entryList(QDir::Files).size(), 2);
            r = runTool({"backup", book, dir.filePath("a mano.mdb")});
            QCOMPARE(modeOf(dir.filePath("a mano.mdb")), 0600);
            QCOMPARE(runTool({"check", book}).exitCode, 0);

            // The windows' own book, in data folders made for the owner.
            AppPathSeam::set("/usr/lib");
            const QByteArray oldData = qgetenv("XDG_DATA_HOME");
            qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath("datos/compartidos")));
            const QString made = BookPath();
            qputenv("XDG_DATA_HOME", oldData);
            AppPathSeam::reset();
            QCOMPARE(made, dir.filePath("datos/compartidos/orvane/orv.mdb"));
            for (const char* f : {"datos", "datos/compartidos", "datos/compartidos/orvane"})
                QCOMPARE(modeOf(dir.filePath(f)), 0700);
            QCOMPARE(modeOf(made), 0600);
        });
    }

    // check names what others can read and how to change it, and changes
    // nothing; writing a book keeps the mode it has.
    void checkSaysWhoCanRead() {
        QTemporaryDir dir;
        const QString book = dir.filePath("orv.mdb");
        QVERIFY(runTool({"demo", book, "10"}).exitCode == 0);
        QVERIFY(runTool({"backup", book}).exitCode == 0);
        const QString copy = QDir(dir.filePath("copias")).entryInfoList(QDir::Files)[0].filePath();
        QVERIFY(::chmod(QFile::encodeName(book).constData(), 0644) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir.filePath("copias")).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(copy).constData(), 0664) == 0);
        const auto r = runTool({"check", book});
        QCOMPARE(r.exitCode, 1);
        const QString err = QString::fromUtf8(r.err);
        QVERIFY2(err.contains("otros usuarios pueden leer la agenda (permisos 644); para que sea "
                              "solo de usted: chmod 600 " +
                              book),
                 qPrintable(err));
        QVERIFY2(err.contains("chmod 700 " + dir.filePath("copias")), qPrintable(err));
        QVERIFY2(err.contains("un archivo de la carpeta de copias"), qPrintable(err));
        QCOMPARE(modeOf(book), 0644);
        QCOMPARE(modeOf(copy), 0664);
        storetest::writeFile(dir.filePath("uno.vcf"), "BEGIN:VCARD\r\nFN:Uno\r\nEND:VCARD\r\n");
        QVERIFY(runTool({"import", book, dir.filePath("uno.vcf")}).exitCode == 0);
        QCOMPARE(modeOf(book), 0644);
    }

    void othersCanWrite_data() {
        QTest::addColumn<int>("parent");  // the folder above's mode
        QTest::addColumn<int>("folder");
        QTest::addColumn<bool>("others");
        QTest::newRow("own") << 0755 << 0755 << false;
        QTest::newRow("own, private") << 0700 << 0700 << false;
        QTest::newRow("world-writable") << 0755 << 0777 << true;
        QTest::newRow("world-writable, sticky") << 0755 << 01777 << true;
        QTest::newRow("inside a sticky shared folder") << 01777 << 0755 << false;
        QTest::newRow("inside a shared folder, not sticky") << 0777 << 0755 << true;
    }
    void othersCanWrite() {
        QFETCH(int, parent);
        QFETCH(int, folder);
        QFETCH(bool, others);
        QTemporaryDir dir;
        const QString above = dir.filePath("arriba"), program = above + "/programa";
        QVERIFY(QDir().mkpath(program));
        QVERIFY(::chmod(QFile::encodeName(program).constData(), mode_t(folder)) == 0);
        QVERIFY(::chmod(QFile::encodeName(above).constData(), mode_t(parent)) == 0);
        QCOMPARE(ui::othersCanWrite(program), others);
    }

    // Started from a folder anyone can write, the windows open the user's own
    // book, never one put beside the program, and Qt loads no plugin from there.
    void plantedBookAndPluginsAreIgnored() {
        QTemporaryDir dir;
        const QString shared = dir.filePath("compartida"), data = dir.filePath("datos");
        QVERIFY(QDir().mkpath(shared + "/platforms"));
        QVERIFY(::chmod(QFile::encodeName(shared).constData(), 0777) == 0);
        storetest::makeBook(shared + "/orv.mdb", {storetest::contact({"Intruso"})});
        const QByteArray planted = storetest::fileBytes(shared + "/orv.mdb");

        AppPathSeam::set(shared);
        const QByteArray oldData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(data));
        const QString book = BookPath();
        qputenv("XDG_DATA_HOME", oldData);
        AppPathSeam::reset();
        QCOMPARE(book, data + "/orvane/orv.mdb");
        QVERIFY(storetest::readBook(book).empty());
        QCOMPARE(storetest::fileBytes(shared + "/orv.mdb"), planted);

        // The real program, copied there, asked to say where it looks.
        const QString program = shared + "/orvane";
        QVERIFY(QFile::copy(QStringLiteral(ORV_PROGRAM), program));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_DEBUG_PLUGINS", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_DATA_HOME", data);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, {});
        QVERIFY(p.waitForStarted());
        QByteArray said;
        for (int i = 0; i < 100 && !said.contains("/styles"); ++i) {
            p.waitForReadyRead(100);
            said += p.readAll();
        }
        p.kill();
        p.waitForFinished();
        said += p.readAll();
        QVERIFY2(said.contains("checking directory path"), said.constData());
        QVERIFY2(!said.contains(QFile::encodeName(shared)), said.constData());
        // From a folder of the user's own, Qt still looks there as it always has.
        const QString own = dir.filePath("propia");
        QVERIFY(QDir().mkpath(own));
        QVERIFY(QFile::copy(program, own + "/orvane"));
        p.start(own + "/orvane", {});
        QVERIFY(p.waitForStarted());
        said.clear();
        for (int i = 0; i < 100 && !said.contains("/styles"); ++i) {
            p.waitForReadyRead(100);
            said += p.readAll();
        }
        p.kill();
        p.waitForFinished();
        QVERIFY2(said.contains(QFile::encodeName(own + "/platforms")), said.constData());
    }
};

QTEST_MAIN(TestPrivate)
#include "tst_private.moc"
