#pragma once
// The sync with a CardDAV server: its address, the user and the password
// (kept in the desktop's keyring, never shown again), the address books
// found there to choose from, "Sincronizar ahora" with its report, and
// "Sincronizar cada 15 minutos" (a systemd user timer running orvane-db).
// The certificate question, the guard against emptying a book and the
// other address book are asked as orvane-db asks them.

#include <QUrl>

#include "ui/desk/deskform.h"
#include "ui/desk/syncing.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QTreeWidget;

namespace orv::ui::desk {

class frmsincronizar : public DeskForm {
    Q_OBJECT
  public:
    frmsincronizar();

    enum class State {
        Loading,  // looking at the keyring and the timer
        Ready,    // waiting for the user
        Looking,  // finding the address books
        Found,    // the address books listed
        Syncing,
        Synced,     // the report shown
        Failed,     // the reason shown
        Switching,  // the timer being turned on or off
    };
    State state() const { return state_; }

  protected:
    void Form_Load() override;
    bool Form_QueryUnload() override;

  private:
    enum class Work { None, Load, Sync, Timer };
    void discover();
    void syncNow();
    void start(const SyncJob& job);
    void timerClicked(bool on);
    void cancel();
    void finished();
    void handle(const SyncOutcome& o);
    void showFound(const std::vector<sync::AddressBookInfo>& books);
    void showLast();
    void fail(const QString& why, QWidget* focus = nullptr);
    void setState(State state);
    std::optional<QUrl> chosenBook() const;
    void keptPassword(bool kept);

    State state_ = State::Loading;
    Work work_ = Work::None;
    QString book_;
    SyncJob job_;
    SyncOutcome outcome_;
    std::optional<sync::SyncTarget> last_;
    bool passwordKept_ = false;
    QString keyringProblem_;
    TimerState timer_;
    QString timerError_;
    std::optional<LastSync> lastSync_;

    QLineEdit* servidor_;
    QLineEdit* usuario_;
    QLineEdit* clave_;
    QTreeWidget* libretas_;
    QCheckBox* cada15_;
    QLabel* ultima_;
    QLabel* estado_;
    QPlainTextEdit* informe_;
    ProgressPanel* progress_;
    Task* task_;
    DeskButton* buscar_;
    DeskButton* sincronizar_;
    DeskButton* cerrar_;
};

}  // namespace orv::ui::desk
