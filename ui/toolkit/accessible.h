#pragma once
// What a screen reader is told: each window is a window of its own name (not
// the shared caption), the picture a button that presses, and how a
// window's colours are kept legible (at least 4.5:1) where the style would
// grey them out.

#include <QColor>
#include <QString>

class QWidget;

namespace orv::ui {

// Installs the accessibility of the toolkit's own controls (once; done by
// Form's constructor).
void installAccessibility();

// Contrast of two colours, WCAG 2.1 (1 to 21).
double contrastRatio(const QColor& a, const QColor& b);

// A disabled box that still reads: grey face, dark text (the style's greyed
// text on grey gives 1.6:1). It stays disabled.
void setReadableWhenDisabled(QWidget* box);

}  // namespace orv::ui
