// Writes refused while the record card saves or deletes: a full disk, a
// file that refuses writes, a file locked by another process. The card must
// report the engine's message, keep everything typed, and succeed with the
// same command once the fault is gone, losing nothing stored before.

#include <sqlite3.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include "store/engine.h"
#include "support/storetest.h"
#include "support/uifault.h"
#include "ui/orvmod.h"

using namespace orv::ui;
using orv::Contact;
using storetest::contact;
namespace ut = orv::uitest;

namespace {

// Three contacts and a filler whose long note leaves its page nearly full,
// so that a large new contact needs a page the size limit refuses.
std::vector<Contact> book() {
    return {
        contact({"Ana", "López", "Mayor 1", "Madrid", "911", "ana@correo.es", "11", "amiga",
                 "1980-03-05"}),
        contact({"Bruno", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt, std::nullopt, "1975-12-31"}),
        contact({"Carla", "Ruiz", "Luna 3", "Lugo", "982", "carla@correo.es", "33", "prima",
                 "2000-02-29"}),
        contact({"Relleno", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt, std::string(3300, 'r'), std::nullopt}),
    };
}

// The first connection opened after arm(): the card's own.
sqlite3* cardConnection = nullptr;
const char* connectionPragma = nullptr;
bool armed = false;
void arm(const char* pragma) {
    cardConnection = nullptr;
    connectionPragma = pragma;
    armed = true;
    orv::setConnectionHook([](sqlite3* db) {
        if (!armed) return;
        armed = false;
        cardConnection = db;
        if (connectionPragma) sqlite3_exec(db, connectionPragma, nullptr, nullptr, nullptr);
    });
}
bool onCard(const char* sql) {
    return cardConnection && sqlite3_exec(cardConnection, sql, nullptr, nullptr, nullptr) == 0;
}

// Another program holding the book's write lock: the sqlite3 shell inside an
// open BEGIN IMMEDIATE (it lacks our collation, so it touches no index), or
// with `exclusive` one that keeps the whole file to itself (exclusive
// locking mode), which keeps readers out too.
class OtherWriter {
  public:
    bool lock(const QString& path, bool exclusive = false) {
        p_.start("sqlite3", {path});
        if (!p_.waitForStarted(5000)) return false;
        p_.write(exclusive
                     ? "PRAGMA locking_mode = EXCLUSIVE;\nBEGIN EXCLUSIVE;\nSELECT 'bloqueado';\n"
                     : "BEGIN IMMEDIATE;\nSELECT 'bloqueado';\n");
        QByteArray out;
        while (!out.contains("bloqueado") && p_.waitForReadyRead(5000)) out += p_.readAll();
        return out.contains("bloqueado");
    }
    void unlock() {
        if (p_.state() == QProcess::NotRunning) return;
        p_.write("ROLLBACK;\n");
        p_.closeWriteChannel();
        if (!p_.waitForFinished(5000)) p_.kill();
        p_.waitForFinished();
    }
    ~OtherWriter() { unlock(); }

  private:
    QProcess p_;
};

// Counts a window's paints while it lives, asking for one every 20 ms.
class PaintCounter : public QObject {
  public:
    explicit PaintCounter(QWidget* w) : w_(w) {
        w->installEventFilter(this);
        QObject::connect(&timer_, &QTimer::timeout, w, [w] { w->update(); });
        timer_.start(20);
    }
    ~PaintCounter() override { w_->removeEventFilter(this); }
    int paints = 0;

  protected:
    bool eventFilter(QObject*, QEvent* e) override {
        paints += e->type() == QEvent::Paint;
        return false;
    }

  private:
    QWidget* w_;
    QTimer timer_;
};

}  // namespace

class TestFaults : public ut::CardTest {
    Q_OBJECT

    OtherWriter other_;
    QStringList frozen_;  // paths to make writable again at cleanup

    QString fault_;
    // Turns the fault on (before the card opens for the connection faults)
    // or off; false when this machine cannot produce it.
    bool refuse(bool on) {
        if (fault_ == "full disk")
            return on ? (arm("PRAGMA max_page_count = 1"), true)
                      : onCard("PRAGMA max_page_count = 1073741823");
        if (fault_ == "refused writes")
            return on ? (arm("PRAGMA query_only = 1"), true) : onCard("PRAGMA query_only = 0");
        if (fault_ == "read-only file") {
            if (on) frozen_ << book_;
            return ut::setImmutable(book_, on);
        }
        if (on) return other_.lock(book_);
        other_.unlock();
        return true;
    }
    // Brings the fault back while the card is open.
    bool refuseAgain() {
        if (fault_ == "full disk") return onCard("PRAGMA max_page_count = 1");
        if (fault_ == "refused writes") return onCard("PRAGMA query_only = 1");
        return refuse(true);
    }
    // The connection faults take hold when the card opens; the others at once.
    bool beforeOpening() const { return fault_ == "full disk" || fault_ == "refused writes"; }

  private slots:
    void initTestCase() {
        CardTest::initTestCase();
        paintWhileWaiting();  // as the program's own application does
    }
    void cleanup() {
        other_.unlock();
        for (const QString& p : frozen_) ut::setImmutable(p, false);
        for (const QString& p : frozen_) QFile::setPermissions(p, QFile::Permissions(0x7755));
        frozen_.clear();
        orv::setConnectionHook(nullptr);
        armed = false;
        cardConnection = nullptr;
        CardTest::cleanup();
    }

    // A contact whose row cannot be deleted because another program already
    // did: the store says so instead of reporting a delete that did nothing.
    void deleteOfVanishedRow() {
        storetest::makeBook(book_, book());
        auto db = orv::Database::open(book_.toStdString());
        auto rs = db->openRecordset("Registros");
        QVERIFY(rs->FindFirst("Codigo = 2"));
        orv::Database::open(book_.toStdString())->exec("DELETE FROM Registros WHERE Codigo = 2");
        int number = 0;
        try {
            rs->Delete();
        } catch (const orv::EngineError& e) {
            number = e.number();
        }
        QCOMPARE(number, int(orv::kErrRecordDeleted));
        QCOMPARE(rs->value("Nombre"), orv::Value("Ana"));  // the first row instead
        // Deleting a row that is there still works, and touches no other.
        QVERIFY(rs->FindFirst("Codigo = 3"));
        rs->Delete();
        QCOMPARE(storetest::readBook(book_).size(), std::size_t(2));
    }

    void faults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("saveError");
        QTest::addColumn<int>("deleteError");  // 0: the delete must succeed
        // Deleting needs no new page, so a full book still lets one delete.
        QTest::newRow("full disk") << "full disk" << int(orv::kErrDiskFull) << 0;
        QTest::newRow("refused writes")
            << "refused writes" << int(orv::kErrReadOnly) << int(orv::kErrReadOnly);
        QTest::newRow("read-only file")
            << "read-only file" << int(orv::kErrReadOnly) << int(orv::kErrReadOnly);
        QTest::newRow("locked by another process")
            << "locked by another process" << int(orv::kErrLocked) << int(orv::kErrLocked);
    }
    void faults() {
        QFETCH(QString, fault);
        QFETCH(int, saveError);
        QFETCH(int, deleteError);
        fault_ = fault;
        storetest::makeBook(book_, book());
        if (fault == "read-only file" && (geteuid() != 0 || !ut::setImmutable(book_, false)))
            QSKIP("cannot make a file read-only for root here");
        const auto before = storetest::readBook(book_);
        if (beforeOpening()) QVERIFY(refuse(true));

        // Texts at every box's limit, in characters of two and three bytes.
        const QString limits[] = {"50", "50", "50", "50", "50", "100", "50", "", "200"};
        QStringList typed;
        for (int i = 0; i < ut::CardDriver::boxes().size(); ++i)
            typed << QString("Ñandú €%1 ").arg(i).repeated(40).left(limits[i].toInt());
        typed[7] = "01/01/1990";
        const Contact added =
            contact({typed[0].toStdString(), typed[1].toStdString(), typed[2].toStdString(),
                     typed[3].toStdString(), typed[4].toStdString(), typed[5].toStdString(),
                     typed[6].toStdString(), typed[8].toStdString(), "1990-01-01"});
        qint64 waited = 0;

        QVERIFY(card_.run("2", [&] {
            if (!beforeOpening()) QVERIFY(refuse(true));
            card_.press("cbNuevo");
            for (int i = 0; i < typed.size(); ++i) {
                const QByteArray box = ut::CardDriver::boxes()[i].toLatin1();
                if (i == 7) {
                    card_.w(box.constData())->setFocus();
                    card_.type("01011990");
                } else {
                    card_.paste(box.constData(), typed[i]);
                }
            }
            MsgBoxSeam::queueAnswer(vbOK);
            QElapsedTimer clock;
            clock.start();
            {
                PaintCounter painted(card_.window());
                card_.press("cbGuardar");
                // Another program's lock is waited for without freezing the window.
                if (fault == "locked by another process")
                    QVERIFY2(painted.paints >= 10, qPrintable(QString::number(painted.paints)));
            }
            waited = clock.elapsed();
            QCOMPARE(prompts().size(), 1);
            QVERIFY2(prompts()[0].startsWith(QString("Error %1: ").arg(saveError)),
                     qPrintable(prompts()[0]));
            QCOMPARE(card_.state(), QString("edit"));
            for (int i = 0; i < typed.size(); ++i)
                QCOMPARE(card_.text(qPrintable(ut::CardDriver::boxes()[i])), typed[i]);

            // The fault goes; the same Guardar now stores the contact.
            QVERIFY(refuse(false));
            card_.press("cbGuardar");
            QCOMPARE(prompts().size(), 1);
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtnom"), QString("Bruno"));

            // Borrar under the same fault.
            QVERIFY(refuseAgain());
            MsgBoxSeam::queueAnswer(vbYes);
            if (deleteError) MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbBorrar");
            if (deleteError) {
                QCOMPARE(prompts().size(), 3);
                QVERIFY2(prompts()[2].startsWith(QString("Error %1: ").arg(deleteError)),
                         qPrintable(prompts()[2]));
                QCOMPARE(card_.text("txtnom"), QString("Bruno"));
                QCOMPARE(card_.state(), QString("browse"));
                QVERIFY(refuse(false));
                MsgBoxSeam::queueAnswer(vbYes);
                card_.press("cbBorrar");
            }
            QCOMPARE(card_.text("txtnom"), QString("Ana"));
        }));
        QCOMPARE(prompts().count(kAskDeleteMsg), deleteError ? 2 : 1);
        QCOMPARE(prompts().size(), deleteError ? 4 : 2);
        qInfo("%s: refused after %lld ms", qPrintable(fault), waited);

        // Bruno went, the new contact came whole, nothing else changed.
        std::vector<Contact> want = before;
        want.erase(want.begin() + 1);
        want.push_back(added);
        const auto now = storetest::readBook(book_);
        QCOMPARE(now.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i)
            QCOMPARE(storetest::show(now[i]), storetest::show(want[i]));
    }

    // A change to a shown contact under a fault: kept, then stored on retry.
    void modifyRefusedThenRetried() {
        fault_ = "refused writes";
        storetest::makeBook(book_, book());
        QVERIFY(refuse(true));
        QVERIFY(card_.run("1", [&] {
            card_.press("cbModificar");
            card_.paste("txtape", "Gómez");
            MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbGuardar");
            QCOMPARE(prompts().size(), 1);
            QCOMPARE(card_.state(), QString("edit"));
            QCOMPARE(card_.text("txtape"), QString("Gómez"));
            QVERIFY(refuse(false));
            card_.press("cbGuardar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtape"), QString("Gómez"));
        }));
        QCOMPARE(*storetest::readBook(book_).at(0)[orv::kApellido], std::string("Gómez"));
    }

    // A book another program holds locked while a window opens it: the
    // lock's message, the program goes on where it was, and the same window
    // opens once the lock is gone.
    void lockAtOpen_data() {
        QTest::addColumn<QString>("window");
        QTest::newRow("card") << "frmfinal";
        QTest::newRow("results") << "frmsecond";
    }
    void lockAtOpen() {
        QFETCH(QString, window);
        storetest::makeBook(book_, book());
        orvmod::sFiltro = "c";
        orvmod::sOrigen = "Registros";
        QString code;
        ut::whenShown(window, [&](Form* form) {
            if (auto* box = form->findChild<QLineEdit*>("txtcod"))
                code = box->displayText().trimmed();
            if (auto* label = form->findChild<QLabel*>("txtPasarCodigo")) code = label->text();
            form->Unload();
        });
        // A writer in the middle of its transaction shuts no reader out.
        QVERIFY(other_.lock(book_));
        orvmod::sCodigo = "3";
        QVERIFY(Form::Show(window));
        QCOMPARE(code, QString("3"));
        QVERIFY(prompts().isEmpty());
        other_.unlock();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // its book closed

        QVERIFY(other_.lock(book_, true));
        MsgBoxSeam::queueAnswer(vbOK);
        QVERIFY(!Form::Show(window));
        QCOMPARE(prompts().size(), 1);
        QVERIFY2(prompts()[0].startsWith(QString("Error %1: ").arg(orv::kErrLocked)),
                 qPrintable(prompts()[0]));
        QVERIFY(ut::programEnds().isEmpty());
        QVERIFY(!Form::instance(window));

        other_.unlock();
        code.clear();
        ut::whenShown(window, [&](Form* form) {
            if (auto* box = form->findChild<QLineEdit*>("txtcod"))
                code = box->displayText().trimmed();
            if (auto* label = form->findChild<QLabel*>("txtPasarCodigo")) code = label->text();
            form->Unload();
        });
        QVERIFY(Form::Show(window));
        QCOMPARE(code, QString("3"));  // Carla: the contact asked for, the one listed
        QCOMPARE(prompts().size(), 1);
    }

    // Cancelar while another program is in the middle of writing the book:
    // the book is read all the same (no reader is shut out), and the boxes
    // show the stored values, not the cancelled text.
    void cancelUnderLock() {
        storetest::makeBook(book_, book());
        QVERIFY(card_.run("3", [&] {
            card_.press("cbModificar");
            card_.paste("txtnom", "Cancelado");
            card_.paste("txtape", "Nada");
            QVERIFY(other_.lock(book_));
            card_.press("cbCancelar");
            QVERIFY(prompts().isEmpty());
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtnom"), QString("Carla"));
            QCOMPARE(card_.text("txtape"), QString("Ruiz"));
            other_.unlock();
        }));
        QCOMPARE(ut::storedNames(book_), (QStringList{"Ana", "Bruno", "Carla", "Relleno"}));
        QVERIFY(ut::programEnds().isEmpty());
    }

    // A book that is read-only when the card opens it: the store is refused
    // with the engine's message, the typed contact stays, Cancelar still
    // works and nothing is written.
    void readOnlyFromTheStart() {
        storetest::makeBook(book_, book());
        const QByteArray before = storetest::fileBytes(book_);
        frozen_ << book_;
        if (geteuid() == 0) {
            if (!ut::setImmutable(book_, true)) QSKIP("cannot make a file read-only for root here");
        } else {
            QFile::setPermissions(book_, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        }
        QVERIFY(card_.run("1", [&] {
            card_.newContact("Zoe", "01011990");
            MsgBoxSeam::queueAnswer(vbOK);
            card_.press("cbGuardar");
            QCOMPARE(prompts().size(), 1);
            QVERIFY2(prompts().at(0).startsWith("Error 3031: "), qPrintable(prompts().at(0)));
            QCOMPARE(card_.state(), QString("edit"));
            QCOMPARE(card_.text("txtnom"), QString("Zoe"));
            card_.press("cbCancelar");
            QCOMPARE(card_.state(), QString("browse"));
            QCOMPARE(card_.text("txtnom"), QString("Ana"));
        }));
        QCOMPARE(storetest::fileBytes(book_), before);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
