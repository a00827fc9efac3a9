#include "ui/toolkit/twips.h"

#include <QGuiApplication>
#include <QStringList>
#include <QWidget>
#include <cmath>

namespace orv::ui {

namespace {

// The largest default font of a stock desktop (GNOME's 11 pt; Qt's own is 9,
// KDE's 10): up to it the windows stay as they were drawn.
constexpr double kDesktopPoints = 11.0;

double g_textScale = 0;

}  // namespace

double textScaleFor(double points) {
    return points > kDesktopPoints ? points / kDesktopPoints : 1.0;
}

double textScale() {
    if (g_textScale <= 0) {
        const QFont font = QGuiApplication::font();
        double points = font.pointSizeF();
        if (points <= 0) points = font.pixelSize() * 72.0 / 96.0;
        g_textScale = textScaleFor(points);
    }
    return g_textScale;
}

void setTextScale(double scale) {
    g_textScale = scale;
}

int scaledPx(int twips) {
    const double scale = textScale();
    return scale == 1.0 ? px(twips) : int(std::lround(twips * scale / kTwipsPerPixel));
}

QRect twipRect(int left, int top, int width, int height) {
    return QRect(scaledPx(left), scaledPx(top), scaledPx(width), scaledPx(height));
}

void placeTwips(QWidget* control, int left, int top, int width, int height) {
    control->setGeometry(twipRect(left, top, width, height));
}

void setClientSizeTwips(QWidget* window, int width, int height) {
    window->setFixedSize(scaledPx(width), scaledPx(height));
}

void setOuterWidthTwips(QWidget* window, int outerWidth) {
    // Only the client size is ours to set; the window manager owns the frame.
    window->setFixedSize(scaledPx(outerWidth - kBorderTwips), window->height());
}

int outerWidthTwips(const QWidget* window) {
    return int(std::lround(twips(window->width()) / textScale())) + kBorderTwips;
}

QFont fontPt(const QString& family, double points, bool bold) {
    QFont font;
    // Narrow metric-compatible faces first where the named one is missing,
    // so captions fit the widths their twips allow.
    QStringList families{family};
    if (family.contains(QLatin1String("Courier"), Qt::CaseInsensitive)) {
        families << QStringLiteral("Liberation Mono") << QStringLiteral("Nimbus Mono PS")
                 << QStringLiteral("DejaVu Sans Mono");
        font.setStyleHint(QFont::TypeWriter);
    } else {
        families << QStringLiteral("Liberation Sans") << QStringLiteral("Nimbus Sans")
                 << QStringLiteral("Arial") << QStringLiteral("DejaVu Sans");
        font.setStyleHint(QFont::SansSerif);
    }
    font.setFamilies(families);
    font.setPixelSize(qMax(1, qRound(points * 96.0 / 72.0 * textScale())));
    font.setBold(bold);
    return font;
}

}  // namespace orv::ui
