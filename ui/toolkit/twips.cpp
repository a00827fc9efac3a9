#include "ui/toolkit/twips.h"

#include <QStringList>
#include <QWidget>

namespace orv::ui {

QRect twipRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

void placeTwips(QWidget* control, int left, int top, int width, int height) {
    control->setGeometry(twipRect(left, top, width, height));
}

void setClientSizeTwips(QWidget* window, int width, int height) {
    window->setFixedSize(px(width), px(height));
}

void setOuterWidthTwips(QWidget* window, int outerWidth) {
    // Only the client size is ours to set; the window manager owns the frame.
    window->setFixedSize(px(outerWidth - kBorderTwips), window->height());
}

int outerWidthTwips(const QWidget* window) {
    return twips(window->width()) + kBorderTwips;
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
    font.setPixelSize(qMax(1, qRound(points * 96.0 / 72.0)));
    font.setBold(bold);
    return font;
}

}  // namespace orv::ui
