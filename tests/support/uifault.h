#pragma once
// Drives the real record card offscreen for the card, fault and odd-input tests:
// show it on a code, find its controls, read its state, type and paste.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "support/uitest.h"
#include "ui/toolkit/toolkit.h"

// The card's messages, as the card tests compare them.
inline const QString kNameMsg = "El campo 'Nombre' no puede estar vacio!";
inline const QString kDateMsg = "La fecha, del campo 'Fecha de nacimiento' es incorrecta!";
inline const QString kNoModifyMsg = "No hay registros para modificar!";
inline const QString kAskDeleteMsg = "Desea borrar el siguiente registro?";
inline const QString kNoDeleteMsg = "No hay registros para borrar!";

namespace orv::uitest {

// Makes a file refuse writes, also for root (immutable flag), or allows them again.
bool setImmutable(const QString& path, bool on);

// The names of a book's contacts in code order ("<null>" for a null).
QStringList storedNames(const QString& book);

class CardDriver {
  public:
    // Shows the card modally on the contact of `codigo`, runs `body` inside
    // it and unloads it if the body left it open. False when it never came,
    // or when a real message box nobody answered had to be closed with Esc
    // (its text is then in unanswered()).
    bool run(const QString& codigo, const std::function<void()>& body);

    orv::ui::Form* window() const { return card_; }
    template <class T = QWidget>
    T* w(const char* name) const {
        T* found = child<T>(card_, name);
        if (!found) qFatal("no control %s", name);
        return found;
    }
    // What a box shows (a masked box as it reads, blanks and prompts included).
    QString text(const char* name) const;
    // The code box's digits without its padding.
    QString code() const { return text("txtcod").trimmed(); }
    QString focused() const;
    // "browse" or "edit" when every box and button agrees with that state.
    QString state() const;

    void press(const char* button);
    // Nuevo, then `name` in Nombre and `date` (ddmmyyyy digits) in the date box.
    void newContact(const QString& name, const QString& date);
    void enter();
    void settle();
    // Any characters, one key event each, into the focused control (QTest's
    // own keyClicks takes ASCII only).
    void type(const QString& s);
    // Pastes `s` into `box` through the clipboard (Ctrl+V), replacing its text.
    void paste(const char* box, const QString& s);

    // The nine entry boxes in tab order.
    static const QStringList& boxes();
    const QStringList& unanswered() const { return unanswered_; }

  private:
    QStringList unanswered_;
    orv::ui::Form* card_ = nullptr;
};

// The frame of a card test: every window registered, and each test function
// on a fresh temporary book where the windows open it.
class CardTest : public QObject {
    Q_OBJECT
  protected:
    std::unique_ptr<QTemporaryDir> dir_;
    QString book_;
    CardDriver card_;

    QStringList prompts() const { return orv::ui::MsgBoxSeam::prompts(); }

  protected slots:
    void initTestCase();
    void init();
    void cleanup();
};

}  // namespace orv::uitest
