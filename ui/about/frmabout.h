#pragma once
// The about window: the program's name and version over a picture; closes at
// a click on it or at any key that yields a character.

#include "ui/toolkit/toolkit.h"

namespace orv::ui {

class frmabout : public Form {
    Q_OBJECT
  public:
    frmabout();

  private:
    // The window's definition (frmabout_def.cpp).
    void define();

    void Form_Click() override;
    void Form_KeyPress(qint16& KeyAscii);
    // Neither a close box nor the window manager closes it.
    bool Form_QueryUnload() override { return false; }
};

}  // namespace orv::ui
