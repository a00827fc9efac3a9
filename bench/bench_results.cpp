// bench_results SMALL.mdb LARGE.mdb [RUNS]
//
// Opens the results window offscreen the way a user does (the letter panel's
// "Todos", "m" and "z" on the main window) on a small book (the floor, e.g.
// 1,000 contacts) and a large one (e.g. 1,000,000), and prints the time until
// the window is shown with its first screen of rows painted, the time of
// Ctrl+End to the real last row, and the peak memory with "Todos" open and
// after Ctrl+End. Timings are medians of RUNS openings after one warm-up,
// taken in turn on both books in one process; peak memory only grows, so it
// is measured in a process per book.
//
// Make the books with:  orvane-db demo SMALL.mdb 1000; orvane-db demo LARGE.mdb 1000000

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "ui/main/windows.h"
#include "ui/toolkit/toolkit.h"

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
    QTextStream(stderr) << "bench_results: " << why << "\n";
    std::exit(1);
}

// ---- Child: one book, one measurement ------------------------------------

class Session {
  public:
    explicit Session(const QStringList& books) {
        // The window opens <program folder>/orv.mdb: one folder per book,
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
        for (int i = 0; i < 8; ++i) MsgBoxSeam::queueAnswer(vbOK);
        registerWindows();
        main_ = Form::ShowStartup(QStringLiteral("frmmain"));
        if (!main_ || !QTest::qWaitForWindowActive(main_)) fail("the main window did not come");
        QTest::mouseClick(button(main_, "cbPorLetra"), Qt::LeftButton);
    }

    // The book the next opening reads.
    void use(std::size_t book) { AppPathSeam::set(dirs_.at(book)->path()); }

    static QAbstractButton* button(QWidget* window, const char* name) {
        auto* b = window->findChild<QAbstractButton*>(QString::fromLatin1(name));
        if (!b) fail(QStringLiteral("no button %1").arg(QLatin1String(name)));
        return b;
    }

    // Clicks `name` on the main window and returns the milliseconds until the
    // results window is shown with its first rows painted; `then` runs at
    // that point, and the window is closed with "Cancelar" afterwards.
    double open(const char* name, const std::function<void(Form*, QTableView*)>& then = {}) {
        QElapsedTimer clock;
        double ms = -1;
        QTimer poll;
        poll.setInterval(0);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            Form* form = Form::instance(QStringLiteral("frmsecond"));
            if (!form || !form->isVisible()) return;
            poll.stop();
            if (!QTest::qWaitForWindowExposed(form)) fail("the results window was not exposed");
            auto* grid = form->findChild<QTableView*>(QStringLiteral("data2"));
            grid->viewport()->grab();
            ms = double(clock.nsecsElapsed()) / 1e6;
            if (then) then(form, grid);
            QTest::mouseClick(button(form, "cbCancelar"), Qt::LeftButton);
        });
        poll.start();
        clock.start();
        QTest::mouseClick(button(main_, name), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (!MsgBoxSeam::prompts().isEmpty()) fail(MsgBoxSeam::prompts().constFirst());
        if (ms < 0) fail(QStringLiteral("the results window did not come"));
        return ms;
    }

  private:
    std::vector<std::unique_ptr<QTemporaryDir>> dirs_;
    Form* main_ = nullptr;
};

// Ctrl+End on the grid; the milliseconds until the last row is current and painted.
double toLastRow(QTableView* grid, long* rows) {
    grid->setFocus();
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
    grid->viewport()->grab();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    const int last = grid->model()->rowCount() - 1;
    if (grid->model()->canFetchMore({}) || grid->currentIndex().row() != last)
        fail("Ctrl+End did not reach the last row");
    *rows = last + 1;
    return ms;
}

int child(const QStringList& args) {
    // --child open RUNS BUTTON BOOK... | end RUNS BOOK... | memory BOOK
    // Timings alternate between the books, so that both meet the same
    // conditions (other work on the machine, caches); one median per book.
    const QString what = args.value(0);
    QTextStream out(stdout);
    if (what == QLatin1String("memory")) {
        Session session({args.value(1)});
        const long shown = peakKiB();
        long open = 0, end = 0, rows = 0;
        session.open("cbTodos", [&](Form*, QTableView* grid) {
            open = peakKiB();
            toLastRow(grid, &rows);
            end = peakKiB();
        });
        out << shown << " " << open << " " << end << "\n";
        return 0;
    }
    const int runs = std::max(1, args.value(1).toInt());
    const bool end = what == QLatin1String("end");
    if (!end && what != QLatin1String("open"))
        fail(QStringLiteral("unknown measurement %1").arg(what));
    const QByteArray name = end ? QByteArray("cbTodos") : args.value(2).toLatin1();
    const QStringList books = args.mid(end ? 2 : 3);
    Session session(books);
    std::vector<std::vector<double>> times(books.size());
    std::vector<long> rows(books.size());
    for (int run = 0; run <= runs; ++run) {  // run 0 warms up
        for (std::size_t b = 0; b < std::size_t(books.size()); ++b) {
            session.use(b);
            double ms = 0;
            if (end) {
                session.open(name.constData(),
                             [&](Form*, QTableView* grid) { ms = toLastRow(grid, &rows[b]); });
            } else {
                ms = session.open(name.constData());
            }
            if (run > 0) times[b].push_back(ms);
        }
    }
    for (std::size_t b = 0; b < times.size(); ++b) out << median(times[b]) << " " << rows[b] << " ";
    out << "\n";
    return 0;
}

// ---- Parent: runs the children and prints the table ---------------------

QList<double> measure(const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList all{QStringLiteral("--child")};
    all << args;
    p.start(QCoreApplication::applicationFilePath(), all);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        fail(QStringLiteral("measurement failed: %1").arg(args.join(QLatin1Char(' '))));
    QList<double> values;
    for (const QByteArray& v : p.readAllStandardOutput().simplified().split(' '))
        values << v.toDouble();
    return values;
}

int parent(const QString& small, const QString& large, int runs) {
    for (const QString& book : {small, large}) {
        if (!QFileInfo::exists(book)) fail(QStringLiteral("no book %1").arg(book));
    }
    std::printf("Results window, offscreen; median of %d openings after one warm-up.\n", runs);
    std::printf("small book (floor): %s\nlarge book:         %s\n\n", qPrintable(small),
                qPrintable(large));

    std::printf("%-30s %12s %12s %8s   %s\n", "open until first rows painted", "small (ms)",
                "large (ms)", "ratio", "target");
    const struct {
        const char* label;
        const char* button;
    } cases[] = {{"\"Todos\"", "cbTodos"}, {"\"m\"", "cbM"}, {"\"z\"", "cbZ"}};
    const QString r = QString::number(runs);
    for (const auto& c : cases) {
        const QList<double> t =
            measure({QStringLiteral("open"), r, QString::fromLatin1(c.button), small, large});
        std::printf("%-30s %12.1f %12.1f %8.2f   ratio <= 1.5\n", c.label, t.value(0), t.value(2),
                    t.value(2) / t.value(0));
    }
    const QList<double> e = measure({QStringLiteral("end"), r, small, large});
    std::printf("%-30s %12.1f %12.1f %8.2f   large < 1000 ms\n", "Ctrl+End to the last row",
                e.value(0), e.value(2), e.value(2) / e.value(0));
    std::printf("%-30s %12.0f %12.0f\n\n", "  rows reached", e.value(1), e.value(3));

    const QList<double> memS = measure({QStringLiteral("memory"), small});
    const QList<double> memL = measure({QStringLiteral("memory"), large});
    std::printf("%-30s %12s %12s %8s   %s\n", "peak memory (VmHWM)", "small (MiB)", "large (MiB)",
                "extra", "target");
    const char* labels[] = {"main window shown", "\"Todos\" open", "after Ctrl+End"};
    const char* targets[] = {"", "extra <= 40 MiB", "extra <= 200 MiB"};
    for (int i = 0; i < 3; ++i) {
        const double s = memS.value(i) / 1024, l = memL.value(i) / 1024;
        std::printf("%-30s %12.1f %12.1f %+8.1f   %s\n", labels[i], s, l, l - s, targets[i]);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && QByteArray(argv[1]) == "--child") {
        // The offscreen platform's note on every shown window is noise here.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
            if (!msg.contains(QLatin1String("propagateSizeHints")))
                QTextStream(stderr) << (type == QtDebugMsg ? "" : "Qt: ") << msg << "\n";
        });
        QApplication app(argc, argv);
        return child(app.arguments().mid(2));
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: bench_results SMALL.mdb LARGE.mdb [RUNS]\n"
                     "  e.g. orvane-db demo small.mdb 1000; orvane-db demo large.mdb 1000000\n");
        return 2;
    }
    return parent(args[0], args[1], args.size() > 2 ? std::max(5, args[2].toInt()) : 7);
}
