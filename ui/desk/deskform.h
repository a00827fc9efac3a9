#pragma once
// What the desktop's windows (import, sync, deleted contacts, copy) share: a
// window of the program's registry laid out by Qt (it grows with the
// desktop's font), a default button that Enter presses wherever the focus
// is, Esc as the cancel button, and long work in a thread of its own whose
// progress the window shows while it goes on painting.

#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "store/contact.h"
#include "ui/toolkit/toolkit.h"

class QProgressBar;
class QThread;
class QTimer;
class QVBoxLayout;

namespace orv::ui::desk {

// Thrown by a task's own code when it sees that it was cancelled.
struct Cancelled {};

// Work done off the window's thread. The work reports how far it is and
// looks whether it was cancelled; when it returns (or throws), finished()
// comes on the window's thread.
class Task : public QObject {
    Q_OBJECT
  public:
    explicit Task(QObject* parent = nullptr);
    ~Task() override;

    // Starts `work` in a thread of its own. An engine error or any other
    // exception it lets out becomes error(); Cancelled is cancelled().
    void start(std::function<void(Task&)> work);
    bool running() const { return running_; }
    // Asks the work to stop (it stops where it next looks).
    void cancel() { cancel_ = true; }
    bool cancelled() const { return cancel_; }
    // From the work: throws Cancelled when asked to stop.
    void check() const {
        if (cancel_) throw Cancelled{};
    }
    // From the work: `done` of `total` (0: not known), and what it is doing.
    void progress(qint64 done, qint64 total) {
        done_ = done;
        total_ = total;
    }
    void setStage(const QString& stage);
    qint64 done() const { return done_; }
    qint64 total() const { return total_; }
    QString stage() const;
    // What went wrong, in Spanish; empty when the work ended well or was cancelled.
    const QString& error() const { return error_; }
    // Waits for the work to end (the window is closing).
    void wait();

  signals:
    void finished();

  private:
    std::atomic<bool> cancel_{false};
    std::atomic<qint64> done_{0}, total_{0};
    mutable std::mutex stageLock_;
    QString stage_;
    QString error_;
    bool running_ = false;
    QThread* thread_ = nullptr;
};

// A bar and a line under it saying how far a task is, redrawn while it runs.
class ProgressPanel : public QWidget {
    Q_OBJECT
  public:
    explicit ProgressPanel(QWidget* parent = nullptr);
    // Follows `task` until it ends; `unit` names what is counted ("bytes"
    // shows a percentage; "contactos" a count).
    void follow(Task* task, const QString& unit);
    void stop();
    QProgressBar* bar() const { return bar_; }
    QLabel* line() const { return line_; }
    // The longest time between two paints of the progress while following
    // (for the bench).
    qint64 longestGapMs() const { return longestGap_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void tick();
    QProgressBar* bar_;
    QLabel* line_;
    QTimer* timer_;
    QPointer<Task> task_;
    QString unit_;
    QElapsedTimer sincePaint_;
    qint64 longestGap_ = 0;
};

// A button that clicks on Enter as well as Space while it has the focus, as
// the four windows' buttons do; laid out by Qt, its caption never shrinks.
class DeskButton : public QPushButton {
    Q_OBJECT
  public:
    explicit DeskButton(const QString& caption, QWidget* parent = nullptr);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A desktop window of the program.
class DeskForm : public Form {
    Q_OBJECT
  public:
    // The button that Enter presses when the focus is not on another button.
    QPushButton* defaultButton() const { return default_; }

  protected:
    DeskForm(const QString& kind, const QString& title);

    // Marks `button` the default (Enter), drawn as such; nullptr for none.
    void setDefaultButton(QPushButton* button);
    // Esc presses it (when enabled).
    void setCancelButton(QPushButton* button) { cancel_ = button; }
    // A button of the window, named; its click runs guarded.
    DeskButton* addButton(const QString& name, const QString& caption,
                          std::function<void()> handler);
    // A text that wraps, readable by a screen reader (and selectable by keys
    // when `focusable`, so that a report can be read line by line).
    QLabel* addText(const QString& name, const QString& text = QString());
    QVBoxLayout* layout() const { return layout_; }
    // The window's place and size once its contents are laid out.
    void finishLayout(int minWidth);

    void keyPressEvent(QKeyEvent* event) override;

  private:
    QVBoxLayout* layout_;
    QPointer<QPushButton> default_, cancel_;
};

// "1 contacto", "3 contactos".
QString plural(qint64 n, const QString& one, const QString& many);
// A moment (unix ms) as the windows show it: "07/12/2026 14:30".
QString momentText(qint64 ms);
// A name for a contact as the lists show it.
QString contactName(const orv::Contact& c);

}  // namespace orv::ui::desk
