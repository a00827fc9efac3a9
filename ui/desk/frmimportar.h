#pragma once
// Importing contact files: for each file in turn, what would come in (the
// dry run) before anything is written, "Importar" (Enter), the report, and
// the import undone at once if wanted.

#include <QStringList>

#include "ui/desk/deskform.h"
#include "ui/desk/importing.h"

class QPlainTextEdit;

namespace orv::ui::desk {

class frmimportar : public DeskForm {
    Q_OBJECT
  public:
    frmimportar();

    enum class State { NoFile, Checking, Checked, Importing, Imported, Undone, Failed };
    State state() const { return state_; }
    // Starts on these files (the first one's dry run at once).
    void setFiles(const QStringList& files);

  protected:
    void Form_Load() override;
    bool Form_QueryUnload() override;

  private:
    void choose();
    void check();
    void import();
    void undo();
    void next();
    void cancel();
    void finished();
    void setState(State state);
    QString fileName() const;
    QString report(const ImportSummary& s) const;

    QStringList files_;
    int current_ = -1;
    State state_ = State::NoFile;
    ImportSummary summary_;
    bool importing_ = false;  // the task running writes

    QLabel* file_;
    QLabel* summaryText_;
    QPlainTextEdit* detail_;
    ProgressPanel* progress_;
    Task* task_;
    DeskButton* elegir_;
    DeskButton* importar_;
    DeskButton* deshacer_;
    DeskButton* siguiente_;
    DeskButton* cancelar_;
};

}  // namespace orv::ui::desk
