#pragma once
// Drives the real record card offscreen for the fault and odd-input tests:
// show it on a code, find its controls, read its state, type and paste.

#include <QString>
#include <QStringList>
#include <functional>

#include "ui/toolkit/toolkit.h"

namespace orv::uitest {

// Makes a file refuse writes, also for root (immutable flag), or allows them again.
bool setImmutable(const QString& path, bool on);

class CardDriver {
  public:
    // Shows the card modally on the contact of `codigo`, runs `body` inside
    // it and unloads it if the body left it open. False when it never came,
    // or when a real message box nobody answered had to be closed with Esc
    // (its text is then in unanswered()).
    bool run(const QString& codigo, const std::function<void()>& body);

    orv::ui::Form* card() const { return card_; }
    QWidget* w(const char* name) const;
    // What a box shows (a masked box as it reads, blanks and prompts included).
    QString text(const char* name) const;
    QString focused() const;
    // "browse" or "edit" when every box and button agrees with that state.
    QString state() const;

    void press(const char* button);
    void settle();
    // Any characters, one key event each, into the focused control.
    void type(const QString& s);
    // Pastes `s` into `box` through the clipboard (Ctrl+V), replacing its text.
    void paste(const char* box, const QString& s);

    static const QStringList& boxes();
    const QStringList& unanswered() const { return unanswered_; }

  private:
    QStringList unanswered_;
    orv::ui::Form* card_ = nullptr;
};

}  // namespace orv::uitest
