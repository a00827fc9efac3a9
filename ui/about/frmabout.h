#pragma once
// The about window: the program's name and version over a picture; closes at
// a click on it or at any key that yields a character.

#include <QColor>
#include <QList>
#include <QRect>
#include <QString>

#include "ui/toolkit/toolkit.h"

namespace orv::ui {

class frmabout : public Form {
    Q_OBJECT
  public:
    frmabout();

    // One label as the definition builds it (frmabout_def.cpp).
    struct Caption {
        QString name;
        QString text;
        QRect twips;  // left, top, width, height
        QColor colour;
        QString family;
        double points;
        bool bold;
    };
    static const QList<Caption>& captions();

  private:
    // The window's definition (frmabout_def.cpp).
    void define();

    void Form_Click() override;
    void Form_KeyPress(qint16& KeyAscii);
    // Neither a close box nor the window manager closes it.
    bool Form_QueryUnload() override { return false; }
};

}  // namespace orv::ui
