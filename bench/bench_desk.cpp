// The import window with a file of 100,000 contacts, driven offscreen as a
// user drives it: from the file opened to its dry run shown, against
// `orvane-db import --dry-run` of the same file in the same run (taken in
// turn); and, while the window imports it, the longest time between two
// paints of its progress.
//   bench_desk ORVANE_DB CONTACTS RUNS

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "ui/desk/desk.h"
#include "ui/desk/deskform.h"
#include "ui/desk/frmimportar.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void writeCards(const QString& path, int n) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    static const char* names[] = {"Ana", "Luis", "Eva", "Marta", "Jaime", "Rocío", "Pablo", "Inés"};
    for (int i = 0; i < n; ++i) {
        const QByteArray given = QByteArray(names[i % 8]) + QByteArray::number(i);
        const QByteArray family = "Apellido" + QByteArray::number(i * 7919 % 100003);
        f.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + given + " " + family + "\r\nN:" + family +
                ";" + given + ";;;\r\nTEL;TYPE=CELL:+34 6" + QByteArray::number(10000000 + i) +
                "\r\nEMAIL:" + given.toLower() + "@example.org\r\nORG:Empresa " +
                QByteArray::number(i % 50) + "\r\nEND:VCARD\r\n");
    }
}

bool makeBook(const QString& tool, const QString& book) {
    QFile::remove(book);
    return QProcess::execute(tool, {"init", book}) == 0;
}

desk::frmimportar* open(const QString& file) {
    desk::setFilesToImport({file});
    return static_cast<desk::frmimportar*>(Form::ShowStartup(QStringLiteral("frmimportar")));
}

bool waitFor(desk::frmimportar* w, desk::frmimportar::State s) {
    QElapsedTimer t;
    t.start();
    // Sleeping between events as the program's own loop does: a loop that
    // polls takes a core from the window's worker.
    while (w->state() != s && t.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return w->state() == s;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "bench_desk ORVANE_DB CONTACTS RUNS\n");
        return 2;
    }
    const QString tool = QString::fromLocal8Bit(argv[1]);
    const int n = std::atoi(argv[2]), runs = std::atoi(argv[3]);
    ProgramEndSeam::install([](int) {});
    initAssets();
    desk::registerDeskWindows();
    QTemporaryDir dir;
    AppPathSeam::set(dir.path());
    const QString book = dir.filePath("orv.mdb"), file = dir.filePath("contactos.vcf");
    writeCards(file, n);
    if (!makeBook(tool, book)) return 1;

    std::vector<double> window, cli;
    for (int r = 0; r < runs; ++r) {
        QElapsedTimer t;
        t.start();
        QProcess p;
        p.start(tool, {"import", book, file, "--dry-run"});
        p.waitForFinished(-1);
        cli.push_back(t.nsecsElapsed() / 1e6);

        t.start();
        desk::frmimportar* w = open(file);
        if (!w || !waitFor(w, desk::frmimportar::State::Checked)) return 1;
        // Shown: the summary painted.
        auto* summary = w->findChild<QLabel*>(QStringLiteral("lblResumen"));
        summary->repaint();
        window.push_back(t.nsecsElapsed() / 1e6);
        w->Unload();
        ProgramEndSeam::reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    const double wm = median(window), cm = median(cli);
    std::printf(
        "import window: file of %d opened to its dry run shown\t%d\t%.0f ms\t"
        "orvane-db import --dry-run, same file\t%.0f ms\t%.2f\t<= 1.2\t%s\n",
        n, n, wm, cm, wm / cm, wm / cm <= 1.2 ? "ok" : "MISSED");

    // The import itself, from the window: its progress painted all along.
    std::vector<double> gaps, times;
    for (int r = 0; r < std::min(runs, 3); ++r) {
        if (!makeBook(tool, book)) return 1;
        desk::frmimportar* w = open(file);
        if (!w || !waitFor(w, desk::frmimportar::State::Checked)) return 1;
        auto* panel = w->findChild<desk::ProgressPanel*>();
        QElapsedTimer t;
        t.start();
        QTest::keyClick(w, Qt::Key_Return);
        if (!waitFor(w, desk::frmimportar::State::Imported)) return 1;
        times.push_back(t.elapsed());
        gaps.push_back(double(panel->longestGapMs()));
        w->Unload();
        ProgramEndSeam::reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    const double gap = *std::max_element(gaps.begin(), gaps.end());
    std::printf(
        "import window: longest gap between two paints of the progress while importing "
        "(import %.0f ms)\t%d\t%.0f ms\t–\t–\t–\t<= 100 ms\t%s\n",
        median(times), n, gap, gap <= 100 ? "ok" : "MISSED");
    return 0;
}
