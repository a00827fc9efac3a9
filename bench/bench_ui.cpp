// bench_ui SMALL.mdb LARGE.mdb [RUNS]
//
// The program end to end, driven offscreen the way a user drives it (clicks,
// double-clicks, keys), on a small book (e.g. 1,000 contacts) and a large one
// (e.g. 1,000,000). A figure ends when the user would see the result: the
// window shown with its rows painted. Each figure is printed beside a floor
// measured in the same run:
//
//   start-up           bench_startup_main against bench_startup_bare (a bare
//                      Qt window with one button), in turn, separate processes
//   "Todos", "m", "z"  large book against small book
//   "*ez", "*qxz"      large book against SQLite's own LIKE on a plain
//                      connection reading the same first screen
//   Ctrl+End           large book, under one second
//   peak memory        large book against small book, one process per book
//   card opened        double-click on a listed row until the card is painted
//   Guardar            after Modificar, against one UPDATE in its own
//                      transaction on a plain connection with the same
//                      journal and sync settings, on copies of the books
//
// Timings are medians of RUNS after one warm-up, taken in turn on both books
// (or on program and floor) in one process, so that both meet the same
// conditions on a shared machine. Output: one line per figure, fields
// separated by tabs: operation, contacts, median, floor, floor median,
// ratio, target, ok/MISSED.
//
// Make the books with:  orvane-db demo SMALL.mdb 1000; orvane-db demo LARGE.mdb 1000000

#include <sqlite3.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "ui/orvmod.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Peak resident memory of this process, in KiB.
long peakKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

[[noreturn]] void fail(const QString& why) {
    QTextStream(stderr) << "bench_ui: " << why << "\n";
    std::exit(1);
}

double msOf(const QElapsedTimer& clock) {
    return double(clock.nsecsElapsed()) / 1e6;
}

// ---- Floors on a plain SQLite connection ----------------------------------

struct PlainDb {
    explicit PlainDb(const QString& path) {
        if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK)
            fail(QStringLiteral("cannot open %1").arg(path));
    }
    ~PlainDb() { sqlite3_close(db); }
    void exec(const char* sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(QString::fromUtf8(sqlite3_errmsg(db)));
    }
    sqlite3* db = nullptr;
};

// SQLite's built-in LIKE scanning the table, reading up to `rows` whole rows;
// the connection is opened each time, as the results window opens the file.
double likeScan(const QString& book, const QByteArray& like, int rows, int* read) {
    QElapsedTimer clock;
    clock.start();
    PlainDb plain(book);
    sqlite3_stmt* s = nullptr;
    const QByteArray sql = "SELECT * FROM Registros WHERE Nombre LIKE '" + like + "'";
    if (sqlite3_prepare_v2(plain.db, sql.constData(), -1, &s, nullptr) != SQLITE_OK)
        fail(QString::fromUtf8(sqlite3_errmsg(plain.db)));
    int n = 0;
    std::size_t sink = 0;
    int rc = SQLITE_ROW;
    while (n < rows && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        for (int c = 0; c < sqlite3_column_count(s); ++c) sink += sqlite3_column_bytes(s, c);
        ++n;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(QString::fromUtf8(sqlite3_errmsg(plain.db)));
    sqlite3_finalize(s);
    *read = n + int(sink & 0);
    return msOf(clock);
}

// One UPDATE of a phone number in its own transaction, rollback journal and
// a full sync, on an open connection (the card's is open when Guardar runs).
double plainUpdate(const QString& book, const QString& code, int run) {
    PlainDb plain(book);
    plain.exec("PRAGMA journal_mode=DELETE");
    plain.exec("PRAGMA synchronous=FULL");
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(plain.db, "UPDATE Registros SET Telefono = ?1 WHERE Codigo = ?2", -1, &s,
                           nullptr) != SQLITE_OK)
        fail(QString::fromUtf8(sqlite3_errmsg(plain.db)));
    // Not the number the card has just stored: SQLite writes nothing for a
    // row that does not change.
    const QByteArray phone = QByteArray::number(700000000 + run);
    sqlite3_bind_text(s, 1, phone.constData(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 2, code.toLongLong());
    QElapsedTimer clock;
    clock.start();
    plain.exec("BEGIN");
    if (sqlite3_step(s) != SQLITE_DONE || sqlite3_changes(plain.db) != 1)
        fail(QStringLiteral("the plain update changed nothing"));
    plain.exec("COMMIT");
    const double ms = msOf(clock);
    sqlite3_finalize(s);
    return ms;
}

// ---- The program, driven offscreen ------------------------------------------

QAbstractButton* button(QWidget* window, const char* name) {
    auto* b = window->findChild<QAbstractButton*>(QString::fromLatin1(name));
    if (!b) fail(QStringLiteral("no button %1").arg(QLatin1String(name)));
    return b;
}

// Calls `shown` once the window `kind` is visible and exposed; polls from the
// event loop, so it also runs inside the modal loop that shows the window.
class WhenShown {
  public:
    WhenShown(const char* kind, std::function<void(Form*)> shown)
        : kind_(QString::fromLatin1(kind)), shown_(std::move(shown)) {
        poll_.setInterval(0);
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            Form* form = Form::instance(kind_);
            if (!form || !form->isVisible()) return;
            poll_.stop();
            if (!QTest::qWaitForWindowExposed(form))
                fail(QStringLiteral("%1 was not exposed").arg(kind_));
            done_ = true;
            shown_(form);
        });
        poll_.start();
    }
    bool done() const { return done_; }

  private:
    QString kind_;
    std::function<void(Form*)> shown_;
    QTimer poll_;
    bool done_ = false;
};

void checkNoMessage() {
    if (!MsgBoxSeam::prompts().isEmpty()) fail(MsgBoxSeam::prompts().constFirst());
}

// Closes a window with one of its buttons, if it is still there.
void closeWith(QPointer<Form> form, const char* name) {
    if (form && form->isVisible()) QTest::mouseClick(button(form, name), Qt::LeftButton);
}

class Session {
  public:
    explicit Session(const QStringList& books) {
        // The windows open <program folder>/orv.mdb: one folder per book,
        // its orv.mdb a link to the book.
        for (const QString& book : books) {
            auto* dir = new QTemporaryDir;
            dirs_.emplace_back(dir);
            if (!dir->isValid() || !QFile::link(QFileInfo(book).absoluteFilePath(),
                                                dir->filePath(QStringLiteral("orv.mdb"))))
                fail(QStringLiteral("cannot link %1").arg(book));
        }
        use(0);
        ProgramEndSeam::install([](int) { fail(QStringLiteral("the program ended")); });
        // A message box answers at once, and the figure fails with its text.
        for (int i = 0; i < 8; ++i) MsgBoxSeam::queueAnswer(vbOK);
        registerWindows();
        main_ = Form::ShowStartup(QStringLiteral("frmmain"));
        if (!main_ || !QTest::qWaitForWindowActive(main_)) fail("the main window did not come");
        QTest::mouseClick(button(main_, "cbPorLetra"), Qt::LeftButton);
    }

    // The book the next opening reads.
    void use(std::size_t book) { AppPathSeam::set(dirs_.at(book)->path()); }
    Form* main() const { return main_; }

    // Runs `act` (a user's click or key on the main window) and returns the
    // milliseconds until the results window is shown with its first rows
    // painted; `then` runs at that point, and the window is closed with
    // "Cancelar" afterwards if it is still open.
    double results(const std::function<void()>& act,
                   const std::function<void(Form*, QTableView*)>& then = {}) {
        QElapsedTimer clock;
        double ms = -1;
        WhenShown shown("frmsecond", [&](Form* form) {
            auto* grid = form->findChild<QTableView*>(QStringLiteral("data2"));
            grid->viewport()->grab();
            ms = msOf(clock);
            QPointer<Form> guard(form);
            if (then) then(form, grid);
            closeWith(guard, "cbCancelar");
        });
        clock.start();
        act();
        settle();
        if (ms < 0) fail(QStringLiteral("the results window did not come"));
        return ms;
    }

    double letter(const char* name, const std::function<void(Form*, QTableView*)>& then = {}) {
        return results([&] { QTest::mouseClick(button(main_, name), Qt::LeftButton); }, then);
    }

    // Types `text` into the search box and presses Enter.
    double search(const QString& text, const std::function<void(Form*, QTableView*)>& then = {}) {
        auto* box = main_->findChild<QLineEdit*>(QStringLiteral("txtBuscar"));
        QTest::mouseClick(box, Qt::LeftButton);
        QTest::keyClicks(box, text);
        return results([&] { QTest::keyClick(box, Qt::Key_Return); }, then);
    }

    // In an open results window: double-clicks `row` and returns the
    // milliseconds until the card is shown painted; `then` runs on the card,
    // which is closed with "Salir" afterwards.
    static double card(QTableView* grid, int row, const std::function<void(Form*)>& then = {}) {
        QElapsedTimer clock;
        double ms = -1;
        WhenShown shown("frmfinal", [&](Form* card) {
            card->grab();
            ms = msOf(clock);
            QPointer<Form> guard(card);
            if (then) then(card);
            closeWith(guard, "cbSalir");
        });
        const QRect cell = grid->visualRect(grid->model()->index(row, 1));
        if (!cell.isValid()) fail("no such row on the first screen");
        // As the system delivers a double-click: a click, then the second
        // press as a double-click, which opens the card.
        clock.start();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
        if (ms < 0) fail(QStringLiteral("the card did not come"));
        return ms;
    }

    // Deletes the windows unloaded meanwhile and checks no box came up.
    static void settle() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        checkNoMessage();
    }

  private:
    std::vector<std::unique_ptr<QTemporaryDir>> dirs_;
    Form* main_ = nullptr;
};

// Rows of the grid's first screen that hold a contact.
int rowsOnScreen(QTableView* grid) {
    const int last = grid->rowAt(grid->viewport()->height() - 1);
    return last < 0 ? grid->model()->rowCount() : last + 1;
}

// Ctrl+End on the grid; the milliseconds until the last row is current and painted.
double toLastRow(QTableView* grid, long* rows) {
    grid->setFocus();
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
    grid->viewport()->grab();
    const double ms = msOf(clock);
    const int last = grid->model()->rowCount() - 1;
    if (grid->model()->canFetchMore({}) || grid->currentIndex().row() != last)
        fail("Ctrl+End did not reach the last row");
    *rows = last + 1;
    return ms;
}

// "Modificar", a new phone number typed, then "Guardar": the milliseconds of
// the Guardar click until it returns (the change is committed) and the card
// is painted again.
double modifyAndSave(Form* card, int run) {
    QTest::mouseClick(button(card, "cbModificar"), Qt::LeftButton);
    auto* phone = card->findChild<QLineEdit*>(QStringLiteral("txttel"));
    if (!phone || !phone->isEnabled()) fail("Modificar did not open the boxes");
    QTest::mouseClick(phone, Qt::LeftButton);
    QTest::keyClick(phone, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(phone, QString::number(600000000 + run));
    // A contact without a date of birth cannot be stored as it is.
    auto* date = card->findChild<QLineEdit*>(QStringLiteral("txtfnac"));
    if (!date) fail("no date box");
    if (date->displayText().contains(QLatin1Char('_'))) {
        QTest::mouseClick(date, Qt::LeftButton);
        QTest::keyClick(date, Qt::Key_Home);
        QTest::keyClicks(date, QStringLiteral("01011970"));
    }
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(button(card, "cbGuardar"), Qt::LeftButton);
    card->grab();
    const double ms = msOf(clock);
    checkNoMessage();
    if (!button(card, "cbModificar")->isEnabled()) fail("Guardar did not store the change");
    return ms;
}

constexpr int kCardRow = 2;
// Rows the LIKE floor reads at least: a screenful, also when the window
// found nothing to show.
constexpr int kFloorRows = 16;  // the row double-clicked: the third on the screen

int child(const QStringList& args) {
    // open RUNS BUTTON SMALL LARGE | search RUNS TEXT LIKE BOOK | end RUNS SMALL LARGE
    // | card RUNS SMALL LARGE | save RUNS SMALL LARGE | memory BOOK
    const QString what = args.value(0);
    QTextStream out(stdout);
    if (what == QLatin1String("memory")) {
        Session session({args.value(1)});
        const long shown = peakKiB();
        long open = 0, end = 0, rows = 0;
        session.letter("cbTodos", [&](Form*, QTableView* grid) {
            open = peakKiB();
            toLastRow(grid, &rows);
            end = peakKiB();
        });
        out << shown << " " << open << " " << end << "\n";
        return 0;
    }
    const int runs = std::max(1, args.value(1).toInt());
    if (what == QLatin1String("search")) {
        const QString text = args.value(2), book = args.value(4);
        const QByteArray like = args.value(3).toUtf8();
        Session session({book});
        std::vector<double> window, floor;
        int screen = 0, read = 0;
        for (int run = 0; run <= runs; ++run) {
            const double w =
                session.search(text, [&](Form*, QTableView* grid) { screen = rowsOnScreen(grid); });
            Session::settle();
            // The floor reads as many rows as the window showed.
            const double f = likeScan(book, like, std::max(screen, kFloorRows), &read);
            if (run > 0) {
                window.push_back(w);
                floor.push_back(f);
            }
        }
        out << median(window) << " " << median(floor) << " " << read << "\n";
        return 0;
    }
    const QStringList books = args.mid(what == QLatin1String("open") ? 3 : 2);
    Session session(books);
    std::vector<std::vector<double>> times(books.size()), floors(books.size());
    std::vector<long> rows(books.size());
    for (int run = 0; run <= runs; ++run) {  // run 0 warms up
        for (std::size_t b = 0; b < std::size_t(books.size()); ++b) {
            session.use(b);
            double ms = 0, floor = 0;
            if (what == QLatin1String("open")) {
                ms = session.letter(args.value(2).toLatin1().constData(),
                                    [&](Form*, QTableView* grid) { rows[b] = rowsOnScreen(grid); });
            } else if (what == QLatin1String("end")) {
                session.letter("cbTodos",
                               [&](Form*, QTableView* grid) { ms = toLastRow(grid, &rows[b]); });
            } else if (what == QLatin1String("card")) {
                session.letter(
                    "cbM", [&](Form*, QTableView* grid) { ms = Session::card(grid, kCardRow); });
            } else if (what == QLatin1String("save")) {
                session.letter("cbM", [&](Form*, QTableView* grid) {
                    Session::card(grid, kCardRow,
                                  [&](Form* card) { ms = modifyAndSave(card, run); });
                });
                Session::settle();
                floor = plainUpdate(books[b], orvmod::sCodigo.trimmed(), run);
            } else {
                fail(QStringLiteral("unknown measurement %1").arg(what));
            }
            Session::settle();
            if (run > 0) {
                times[b].push_back(ms);
                floors[b].push_back(floor);
            }
        }
    }
    for (std::size_t b = 0; b < times.size(); ++b)
        out << median(times[b]) << " " << median(floors[b]) << " " << rows[b] << " ";
    out << "\n";
    return 0;
}

// ---- Parent: runs the children and prints the figures -------------------

QList<double> measure(const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList all{QStringLiteral("--child")};
    all << args;
    p.start(QCoreApplication::applicationFilePath(), all);
    if (!p.waitForFinished(1800000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        fail(QStringLiteral("measurement failed: %1").arg(args.join(QLatin1Char(' '))));
    QList<double> values;
    for (const QByteArray& v : p.readAllStandardOutput().simplified().split(' '))
        values << v.toDouble();
    return values;
}

// One start of a start-up program: the milliseconds from just before the
// process is started until its window is painted, as the program reports.
double startOnce(const QString& program) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const qint64 ns = qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
    QProcess p;
    p.start(program, {QString::number(ns)});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTextStream(stderr) << p.readAllStandardError();
        fail(QStringLiteral("%1 failed").arg(program));
    }
    return p.readAllStandardOutput().trimmed().toDouble();
}

QString ms(double v) {
    return QString::number(v, 'f', v < 10 ? 2 : 1) + QStringLiteral(" ms");
}
QString mib(double kib) {
    return QString::number(kib / 1024, 'f', 1) + QStringLiteral(" MiB");
}

void row(const QString& op, const QString& contacts, const QString& value, const QString& floor,
         const QString& floorValue, const QString& ratio, const QString& target, bool ok) {
    QTextStream(stdout) << op << '\t' << contacts << '\t' << value << '\t' << floor << '\t'
                        << floorValue << '\t' << ratio << '\t' << target << '\t'
                        << (ok ? "ok" : "MISSED") << Qt::endl;
}

void ratioRow(const QString& op, const QString& contacts, double value, const QString& floor,
              double floorValue, double target) {
    const double r = value / floorValue;
    row(op, contacts, ms(value), floor, ms(floorValue), QString::number(r, 'f', 2),
        QStringLiteral("<= %1").arg(target, 0, 'f', 1), r <= target);
}

QString count(const QString& book) {
    PlainDb plain(book);
    sqlite3_stmt* s = nullptr;
    // Not through the name index: this connection lacks its collation.
    sqlite3_prepare_v2(plain.db, "SELECT count(*) FROM Registros NOT INDEXED", -1, &s, nullptr);
    const long long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    QString text = QString::number(n);
    for (int i = text.size() - 3; i > 0; i -= 3) text.insert(i, QLatin1Char(','));
    return text;
}

// A fresh copy of `book` beside it, for the measurements that write.
QString workCopy(const QString& book) {
    const QFileInfo info(book);
    const QString copy = info.absolutePath() + QStringLiteral("/work-") + info.fileName();
    QFile::remove(copy);
    QFile::remove(copy + QStringLiteral("-journal"));
    if (!QFile::copy(book, copy)) fail(QStringLiteral("cannot copy %1").arg(book));
    return copy;
}

int parent(const QString& small, const QString& large, int runs, const QString& only) {
    for (const QString& book : {small, large}) {
        if (!QFileInfo::exists(book)) fail(QStringLiteral("no book %1").arg(book));
    }
    const QString nS = count(small), nL = count(large);
    const QString r = QString::number(runs);
    const auto wanted = [&](const char* part) { return only.isEmpty() || only == part; };

    if (wanted("startup")) {
        const QString dir = QCoreApplication::applicationDirPath();
        const QString program = dir + QStringLiteral("/bench_startup_main");
        const QString bare = dir + QStringLiteral("/bench_startup_bare");
        std::vector<double> p, b;
        for (int run = 0; run <= runs; ++run) {
            const double tp = startOnce(program), tb = startOnce(bare);
            if (run > 0) {
                p.push_back(tp);
                b.push_back(tb);
            }
        }
        ratioRow(QStringLiteral("start-up to the main window painted"), QStringLiteral("-"),
                 median(p), QStringLiteral("bare Qt window with one button"), median(b), 1.3);
    }

    if (wanted("open")) {
        const struct {
            const char* label;
            const char* button;
        } cases[] = {{"\"m\"", "cbM"}, {"\"Todos\"", "cbTodos"}, {"\"z\"", "cbZ"}};
        for (const auto& c : cases) {
            const QList<double> t =
                measure({QStringLiteral("open"), r, QString::fromLatin1(c.button), small, large});
            ratioRow(QStringLiteral("results window %1, first screen painted").arg(c.label), nL,
                     t.value(3), QStringLiteral("the same at %1").arg(nS), t.value(0), 1.5);
        }
    }

    if (wanted("search")) {
        const struct {
            const char* text;
            const char* like;
        } cases[] = {{"*ez", "%ez%"}, {"*qxz", "%qxz%"}};
        for (const auto& c : cases) {
            const QList<double> t =
                measure({QStringLiteral("search"), r, QString::fromLatin1(c.text),
                         QString::fromLatin1(c.like), large});
            ratioRow(QStringLiteral("results window \"%1\" (Enter), first screen painted")
                         .arg(QLatin1String(c.text)),
                     nL, t.value(0),
                     QStringLiteral("SQLite LIKE '%1', %2 rows read")
                         .arg(QLatin1String(c.like))
                         .arg(t.value(2)),
                     t.value(1), 3.0);
        }
    }

    if (wanted("end")) {
        const QList<double> e = measure({QStringLiteral("end"), r, small, large});
        row(QStringLiteral("\"Todos\": Ctrl+End to the last row painted"), nL, ms(e.value(3)),
            QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"),
            QStringLiteral("< 1000 ms"), e.value(3) < 1000);
    }

    if (wanted("memory")) {
        const QList<double> mS = measure({QStringLiteral("memory"), small});
        const QList<double> mL = measure({QStringLiteral("memory"), large});
        const struct {
            const char* label;
            int index;
            double target;
        } cases[] = {{"peak memory, \"Todos\" open", 1, 40},
                     {"peak memory, \"Todos\" after Ctrl+End", 2, 200}};
        for (const auto& c : cases) {
            const double extra = (mL.value(c.index) - mS.value(c.index)) / 1024;
            row(QLatin1String(c.label), nL, mib(mL.value(c.index)),
                QStringLiteral("the same at %1").arg(nS), mib(mS.value(c.index)),
                QStringLiteral("%1%2 MiB").arg(extra >= 0 ? "+" : "").arg(extra, 0, 'f', 1),
                QStringLiteral("<= +%1 MiB").arg(c.target), extra <= c.target);
        }
    }

    if (wanted("card")) {
        const QList<double> t = measure({QStringLiteral("card"), r, small, large});
        ratioRow(QStringLiteral("card opened by double-click, painted"), nL, t.value(3),
                 QStringLiteral("the same at %1").arg(nS), t.value(0), 1.5);
    }

    if (wanted("save")) {
        const QString cS = workCopy(small), cL = workCopy(large);
        const QList<double> t = measure({QStringLiteral("save"), r, cS, cL});
        QFile::remove(cS);
        QFile::remove(cL);
        const QString floor = QStringLiteral("one UPDATE, plain SQLite, FULL sync");
        ratioRow(QStringLiteral("\"Guardar\" after \"Modificar\", stored"), nS, t.value(0), floor,
                 t.value(1), 1.5);
        ratioRow(QStringLiteral("\"Guardar\" after \"Modificar\", stored"), nL, t.value(3), floor,
                 t.value(4), 1.5);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && QByteArray(argv[1]) == "--child") {
        // The offscreen platform's note on every shown window is noise here.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
            if (!msg.contains(QLatin1String("propagateSizeHints")) &&
                !msg.contains(QLatin1String("XDG_RUNTIME_DIR")))
                QTextStream(stderr) << (type == QtDebugMsg ? "" : "Qt: ") << msg << "\n";
        });
        QApplication app(argc, argv);
        return child(app.arguments().mid(2));
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: bench_ui SMALL.mdb LARGE.mdb [RUNS [PART]]\n"
                     "  PART: startup, open, search, end, memory, card or save (all when none)\n"
                     "  e.g. orvane-db demo small.mdb 1000; orvane-db demo large.mdb 1000000\n");
        return 2;
    }
    return parent(args[0], args[1], args.size() > 2 ? std::max(5, args[2].toInt()) : 7,
                  args.value(3));
}
