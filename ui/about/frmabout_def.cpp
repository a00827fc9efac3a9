// frmabout's definition: borderless, centred, a picture with five labels.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include "ui/about/frmabout.h"
#include "ui/windows.h"

namespace orv::ui {

const QList<frmabout::Caption>& frmabout::captions() {
    static const QList<Caption> table = {
        {"Label5", "orvane@example.org", {2760, 4680, 2730, 240}, Qt::blue, "Courier New", 9, true},
        {"Label4", "en el año 2000", {240, 4920, 1155, 210}, Qt::red, "Arial", 8.25, true},
        {"Label3", "Equipo de Orvane", {240, 4680, 1605, 210}, Qt::red, "Arial", 8.25, true},
        {"Label2", "v0.90 beta", {3480, 840, 1950, 345}, Qt::blue, "Courier New", 15.75, true},
        {"Label1", "Orvane", {120, 120, 5160, 420}, {0, 192, 0}, "Aksent", 18, false},
    };
    return table;
}

frmabout::frmabout() : Form(QStringLiteral("frmabout")) {
    initAssets();
    define();
    onKeyPress(this, [this](qint16& KeyAscii) { Form_KeyPress(KeyAscii); });
}

void frmabout::define() {
    setWindowTitle(QStringLiteral("Quelbo"));
    setAccessibleName(QStringLiteral("Acerca de Orvane"));
    // A tool window without frame: no caption bar and no task bar entry.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setClientSizeTwips(5790, 5250);
    setBackgroundPicture(QPixmap(QStringLiteral(":/about.png")));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect placed = rect();
        placed.moveCenter(screen->availableGeometry().center());
        move(placed.topLeft());
    }

    for (const Caption& c : captions()) {
        const QRect& r = c.twips;
        Label* label = addLabel(this, c.name, c.text, r.x(), r.y(), r.width(), r.height());
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, c.colour);
        label->setPalette(pal);
        label->setFont(fontPt(c.family, c.points, c.bold));
    }
}

}  // namespace orv::ui
