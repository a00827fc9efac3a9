// frmabout's definition: borderless, centred, a picture with five labels.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include "ui/about/frmabout.h"
#include "ui/windows.h"

namespace orv::ui {

namespace {

Label* styled(Label* label, const QColor& colour, const QFont& font) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, colour);
    label->setPalette(pal);
    label->setFont(font);
    return label;
}

}  // namespace

frmabout::frmabout() : Form(QStringLiteral("frmabout")) {
    initAssets();
    define();
    onKeyPress(this, [this](qint16& KeyAscii) { Form_KeyPress(KeyAscii); });
}

void frmabout::define() {
    setWindowTitle(QStringLiteral("Quelbo"));
    // A tool window without frame: no caption bar and no task bar entry.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setClientSizeTwips(5790, 5250);
    setBackgroundPicture(QPixmap(QStringLiteral(":/about.png")));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect placed = rect();
        placed.moveCenter(screen->availableGeometry().center());
        move(placed.topLeft());
    }

    styled(addLabel(this, QStringLiteral("Label5"), QStringLiteral("orvane@example.org"), 2760,
                    4680, 2730, 240),
           QColor(0, 0, 255), fontPt(QStringLiteral("Courier New"), 9, true));
    styled(addLabel(this, QStringLiteral("Label4"), QStringLiteral("en el año 2000"), 240, 4920,
                    1155, 210),
           QColor(255, 0, 0), fontPt(QStringLiteral("Arial"), 8.25, true));
    styled(addLabel(this, QStringLiteral("Label3"), QStringLiteral("Equipo de Orvane"), 240, 4680,
                    1605, 210),
           QColor(255, 0, 0), fontPt(QStringLiteral("Arial"), 8.25, true));
    styled(addLabel(this, QStringLiteral("Label2"), QStringLiteral("v0.90 beta"), 3480, 840, 1950,
                    345),
           QColor(0, 0, 255), fontPt(QStringLiteral("Courier New"), 15.75, true));
    styled(addLabel(this, QStringLiteral("Label1"), QStringLiteral("Orvane"), 120, 120, 5160, 420),
           QColor(0, 192, 0), fontPt(QStringLiteral("Aksent"), 18));
}

}  // namespace orv::ui
