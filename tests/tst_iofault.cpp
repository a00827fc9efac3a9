// The book's writes and syncs failing at each point in turn (a preloaded
// shim: EIO, then ENOSPC) under an import, a sync, "Guardar" and an undo:
// every message is Spanish, and the book is wholly as before or wholly as
// after, never in between.

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cerrno>

#include "store/contact.h"
#include "support/davserver.h"
#include "support/storetest.h"
#include "sync/carddav.h"
#include "sync/mapping.h"

using orv::Contact;
using storetest::contact;

namespace {

// Words of the C library's and SQLite's English texts; none may reach a user.
bool spanishOnly(const QString& text) {
    static const QStringList english = {
        "disk",    "database", "file",       "failed",    "unable",     "locked", "readonly",
        "attempt", "write",    "read",       "open",      "memory",     "full",   "such",
        "busy",    "input",    "output",     "operation", "permission", "denied", "space",
        "left",    "device",   "malformed",  "the",       "is",         "not",    "of",
        "to",      "and",      "constraint", "cannot"};
    for (const QString& w : text.split(QRegularExpression("[^\\p{L}]+"), Qt::SkipEmptyParts))
        if (english.contains(w.toLower())) return false;
    return true;
}

// The contacts with their codes, one line each.
QStringList content(const QString& book) {
    QStringList out;
    for (const Contact& c : storetest::readBook(book, true)) out << storetest::show(c);
    return out;
}

}  // namespace

class TestIoFault : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<rt::DavServer> server_;
    QUrl url_;

    struct Op {
        QString program;
        QStringList args;  // "@" stands for the book
    };

    // The book each run starts from, and what the operation does to it.
    Op prepare(const QString& op, const QString& book) {
        std::vector<Contact> base;
        for (int i = 0; i < 40; ++i)
            base.push_back(
                contact({storetest::numbered("Base", i), "Ruiz", storetest::numbered("Mayor ", i),
                         "Lugo", storetest::numbered("600 000 0", i)}));
        if (op == "sync") {
            storetest::makeBook(book, {});
            return {ORV_DB_TOOL,
                    {"sync", "@", url_.toString(), "--user", server_->user(), "--password-file",
                     dir_.filePath("clave")}};
        }
        storetest::makeBook(book, base);
        if (op == "import") {
            QByteArray vcf;
            for (int i = 0; i < 150; ++i)
                vcf += QByteArray::fromStdString(orv::sync::cardFromContact(
                    contact({storetest::numbered("Nuevo", i), {}, {}, {}, std::to_string(i)}),
                    storetest::numbered("u", i)));
            storetest::writeFile(dir_.filePath("nuevos.vcf"), vcf);
            return {ORV_DB_TOOL, {"import", "@", dir_.filePath("nuevos.vcf")}};
        }
        if (op == "guardar") return {ORV_SAVE_CHILD, {"@", "7", "Telefono", "699 999 999"}};
        // undo: back to before an import of a hundred.
        QThread::msleep(20);
        const QString moment = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss.zzz");
        QThread::msleep(20);
        QByteArray csv = "Nombre,Telefono\n";
        for (int i = 0; i < 100; ++i)
            csv += "Otro" + QByteArray::number(i) + ",61" + QByteArray::number(i) + "\n";
        storetest::writeFile(dir_.filePath("otros.csv"), csv);
        const storetest::Run run = storetest::runTool({"import", book, dir_.filePath("otros.csv")});
        if (run.exitCode != 0) qWarning("%s", run.err.constData());
        return {ORV_DB_TOOL, {"undo", "@", "--to", moment}};
    }

    struct Result {
        int exitCode = -1;
        bool crashed = false, fired = false;
        QString messages;
    };
    Result run(const Op& op, const QString& book, const QStringList& fault) {
        QStringList args = op.args;
        args.replaceInStrings(QRegularExpression("^@$"), book);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString fired = dir_.filePath("disparado");
        QFile::remove(fired);
        if (!fault.isEmpty()) {
            env.insert("LD_PRELOAD", ORV_IOFAULT);
            env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
            env.insert("ORV_FAULT_PATH", book);
            env.insert("ORV_FAULT_ON", fault[0]);
            env.insert("ORV_FAULT_ERRNO", fault[1]);
            env.insert("ORV_FAULT_NTH", fault[2]);
            env.insert("ORV_FAULT_FIRED", fired);
        }
        p.setProcessEnvironment(env);
        p.start(op.program, args);
        Result r;
        if (!p.waitForFinished(120000)) return r;
        r.crashed = p.exitStatus() != QProcess::NormalExit;
        r.exitCode = p.exitCode();
        r.fired = QFile::exists(fired);
        r.messages = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

  private slots:
    void initTestCase() {
        if (!QFile::exists(ORV_IOFAULT)) QSKIP("the fault shim was not built");
        server_ = std::make_unique<rt::DavServer>(rt::davServers().value(0, "radicale"));
        const QString why = server_->start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        url_ = server_->bookUrl("fallos");
        QVERIFY(
            !orv::sync::CardDavClient({url_, server_->user(), server_->password(), {}, 10000, 100})
                 .createAddressBook("Fallos")
                 .failed());
        // The server's side: cards for the sync to bring down, the same every run.
        orv::sync::CardDavClient client(
            {url_, server_->user(), server_->password(), {}, 10000, 100});
        for (int i = 0; i < 30; ++i) {
            const std::string uid = storetest::numbered("s", i);
            QVERIFY(client
                        .put(client.hrefForUid(QString::fromStdString(uid)),
                             QByteArray::fromStdString(
                                 orv::sync::cardFromContact(contact({storetest::numbered("Serv", i),
                                                                     {},
                                                                     {},
                                                                     {},
                                                                     storetest::numbered("7", i)}),
                                                            uid)),
                             {})
                        .ok());
        }
        storetest::writeFile(dir_.filePath("clave"), server_->password().toUtf8() + "\n");
        QFile::setPermissions(dir_.filePath("clave"), QFile::ReadOwner | QFile::WriteOwner);
    }

    void everyWriteAndSync_data() {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("on");
        QTest::addColumn<int>("err");
        for (const char* op : {"import", "sync", "guardar", "undo"})
            for (const char* on : {"write", "sync"})
                for (int err : {EIO, ENOSPC})
                    QTest::addRow("%s, %s, %s", op, on, err == EIO ? "EIO" : "ENOSPC")
                        << op << on << err;
    }
    void everyWriteAndSync() {
        QFETCH(QString, op);
        QFETCH(QString, on);
        QFETCH(int, err);
        const QString pristine = dir_.filePath(op + ".mdb");
        QFile::remove(pristine);
        const Op what = prepare(op, pristine);
        const QStringList before = content(pristine);

        const QString book = dir_.filePath("libro.mdb");
        auto fresh = [&] {
            for (const char* side : {"", "-wal", "-shm"}) QFile::remove(book + side);
            QVERIFY(QFile::copy(pristine, book));
        };
        fresh();
        const Result clean = run(what, book, {});
        QVERIFY2(clean.exitCode == 0, qPrintable(clean.messages));
        const QStringList after = content(book);
        QVERIFY(after != before);

        int faults = 0, refused = 0;
        for (int n = 1; n < 400; ++n) {
            fresh();
            const Result r = run(what, book, {on, QString::number(err), QString::number(n)});
            QVERIFY2(!r.crashed && (r.exitCode == 0 || r.exitCode == 1),
                     qPrintable(QString("%1: %2").arg(n).arg(r.messages)));
            QVERIFY2(spanishOnly(r.messages), qPrintable(r.messages));
            if (err == ENOSPC && r.exitCode == 1 && on == "write")
                QVERIFY2(r.messages.contains("lleno") || r.messages.contains("espacio"),
                         qPrintable(r.messages));
            const QStringList now = content(book);
            QVERIFY2(now == before || now == after, qPrintable(QString::number(n)));
            QVERIFY2(r.exitCode == 0 || now == before, qPrintable(r.messages));
            if (!r.fired) break;
            ++faults;
            refused += r.exitCode == 1;
        }
        qInfo("%d faults, %d of them refused with a message", faults, refused);
        QVERIFY(faults > 0);
    }
};

QTEST_MAIN(TestIoFault)
#include "tst_iofault.moc"
