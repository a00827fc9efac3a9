// bench_startup_bare START_NS: the floor for start-up, a bare Qt window with
// one button; prints the milliseconds from START_NS until it is painted.

#include <QApplication>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include "bench/startup/painted.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    QApplication app(argc, argv);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QPushButton(QStringLiteral("Salir")));
    orv::bench::PaintedReporter reporter(&window, argv[1]);
    window.show();
    return app.exec();
}
