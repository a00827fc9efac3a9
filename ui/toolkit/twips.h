#pragma once
// Geometry in twips (15 to a pixel at 96 dots per inch) and fonts sized for
// that same resolution, so that text keeps to the boxes the twips give it.
// When the desktop asks for larger text, twips and fonts grow together by
// textScale(), as twips did with "large fonts", so nothing is cut.

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

// How much larger than the default the desktop wants its text: its default
// font's size over a stock desktop's (1 up to 11 pt, 14 pt gives 1.27).
// Read from the application's font the first time it is asked. A higher dpi
// or scale factor needs nothing here: Qt scales every pixel by it already.
double textScale();
// The factor a desktop font of `points` asks for.
double textScaleFor(double points);
// Sets the factor (tests, tools); 0 reads the application's font again.
void setTextScale(double scale);

// Twips to pixels at the desktop's text size (px() at the default).
int scaledPx(int twips);

QRect twipRect(int left, int top, int width, int height);

// Places a control relative to its parent.
void placeTwips(QWidget* control, int left, int top, int width, int height);

// Fixes a window's client area; the user cannot resize it.
void setClientSizeTwips(QWidget* window, int width, int height);

// Sets a window's outer width (client width + kBorderTwips). Height and
// position are kept.
void setOuterWidthTwips(QWidget* window, int outerWidth);
int outerWidthTwips(const QWidget* window);

// A font of `points` at 96 dpi times textScale() (set in pixels, so that it
// grows with the twips and never outgrows its box). The family falls back to the system's
// substitutes when it is not installed.
QFont fontPt(const QString& family, double points, bool bold = false);

}  // namespace orv::ui
