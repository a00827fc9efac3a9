#pragma once
// Geometry in twips (15 to a pixel at 96 dots per inch) and fonts sized for
// that same resolution, so that text keeps to the boxes the twips give it.

#include <QFont>
#include <QRect>
#include <QString>

class QWidget;

namespace orv::ui {

inline constexpr int kTwipsPerPixel = 15;
// A window's outer width is its client width plus this (borders).
inline constexpr int kBorderTwips = 90;

// Twips to pixels, rounded to the nearest pixel.
constexpr int px(int twips) {
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}
constexpr int twips(int pixels) {
    return pixels * kTwipsPerPixel;
}

QRect twipRect(int left, int top, int width, int height);

// Places a control relative to its parent.
void placeTwips(QWidget* control, int left, int top, int width, int height);

// Fixes a window's client area; the user cannot resize it.
void setClientSizeTwips(QWidget* window, int width, int height);

// Sets a window's outer width (client width + kBorderTwips). Height and
// position are kept.
void setOuterWidthTwips(QWidget* window, int outerWidth);
int outerWidthTwips(const QWidget* window);

// A font of `points` at 96 dpi (set in pixels, so a screen's own dpi does not
// make it outgrow its box). The family falls back to the system's
// substitutes when it is not installed.
QFont fontPt(const QString& family, double points, bool bold = false);

}  // namespace orv::ui
