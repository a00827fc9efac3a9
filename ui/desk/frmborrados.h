#pragma once
// The deleted contacts, newest first, to bring one back under its code; and
// the recent changes, to put the whole book back as it was before one.

#include <QList>

#include "ui/desk/deskform.h"

class QTabWidget;
class QTreeWidget;

namespace orv::ui::desk {

class frmborrados : public DeskForm {
    Q_OBJECT
  public:
    frmborrados();

    // A run of changes made together (an import, a sync, an undo): shown
    // and undone as one.
    struct Run {
        qint64 first = 0, last = 0;  // moments of its oldest and newest change
        QString origen, tipo;
        QStringList names;  // the first few
        qint64 count = 0;
    };

  protected:
    void Form_Load() override;

  private:
    void fill();
    void restore();
    void undoTo();
    void tabChanged();

    QTabWidget* tabs_;
    QTreeWidget* deleted_;
    QTreeWidget* changes_;
    QLabel* status_;
    DeskButton* restaurar_;
    DeskButton* deshacer_;
    DeskButton* cerrar_;
    ProgressPanel* progress_;
    Task* task_;
    QList<Run> runs_;
};

}  // namespace orv::ui::desk
