#pragma once
// A consistent copy of the book where the user chooses, made while the book
// may be open in other windows or written by another program (as orvane-db
// backup makes it), and its report.

#include "ui/desk/deskform.h"

class QLineEdit;

namespace orv::ui::desk {

class frmcopia : public DeskForm {
    Q_OBJECT
  public:
    frmcopia();

    enum class State { Ready, Copying, Copied, Failed };
    State state() const { return state_; }

  protected:
    void Form_Load() override;
    bool Form_QueryUnload() override;

  private:
    void choose();
    void copy();
    void finished();
    void setState(State state);

    State state_ = State::Ready;
    QString book_, made_;
    qint64 contacts_ = 0;

    QLabel* origen_;
    QLineEdit* destino_;
    QLabel* estado_;
    ProgressPanel* progress_;
    Task* task_;
    DeskButton* elegir_;
    DeskButton* copiar_;
    DeskButton* cerrar_;
};

}  // namespace orv::ui::desk
