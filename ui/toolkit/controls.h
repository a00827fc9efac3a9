#pragma once
// Controls with the behaviour the windows rely on, and the key and focus
// events they raise.

#include <QLabel>
#include <QLine>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <functional>

class QPainter;

namespace orv::ui {

// A command button that clicks on Enter as well as on Space while it has the
// focus (a plain QPushButton outside a dialog ignores Enter).
class Button : public QPushButton {
    Q_OBJECT
  public:
    explicit Button(const QString& caption, QWidget* parent = nullptr);

    // Takes a smaller size of its face where the caption would be cut.
    void fitText();
    // The caption as shown: without the "&" that marks the access key.
    QString shownText() const;
    // Where the caption is drawn, and its access key's underline (an empty
    // line when it has none).
    QRect textRect() const;
    QLine accessKeyLine() const;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QRect contentsRoom() const;
    // The index in shownText() of the access key, -1 when there is none.
    int accessKeyIndex() const;
};

// A label that keeps mouse clicks to itself: a click on a label goes to the
// label, not to the window beneath it. Transparent, no focus.
class Label : public QLabel {
    Q_OBJECT
  public:
    explicit Label(const QString& text, QWidget* parent = nullptr);

    // Grows to its text in its own font (the windows size their captions to
    // their text, and a face other than the one they were drawn for is wider).
    void fitText();
};

// A picture box: shows a fixed picture at its top left, takes the focus
// (by Tab or click) and emits clicked() on a left click, or on Enter or Space
// while it has the focus, which a wide frame shows.
class Picture : public QWidget {
    Q_OBJECT
  public:
    explicit Picture(const QPixmap& picture, QWidget* parent = nullptr);
    const QPixmap& picture() const { return picture_; }
    void click() { emit clicked(); }
    // The width of the focus frame, in pixels.
    int focusFrameWidth() const;

  signals:
    void clicked();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    QPixmap picture_;
    bool pressed_ = false;
};

// Draws a picture at the top left, grown with the desktop's text (textScale)
// as the twips around it are.
void drawScaled(QPainter& painter, const QPixmap& picture);

// A left click on a widget is a press and a release on it: notePress at the
// press, endsClick at the release (true when the two make a click).
void notePress(bool& pressed, QMouseEvent* event);
bool endsClick(bool& pressed, QMouseEvent* event, const QWidget* widget);

// ---- KeyPress ------------------------------------------------------------

// Receives the character code of a key by reference before the control (or
// window) sees the key: Enter 13, Esc 27, Backspace 8, Space 32, otherwise
// the character's code (Ctrl+letter gives 1..26). Setting it to 0 drops the
// key; setting another code delivers that character instead.
using KeyPressHandler = std::function<void(qint16& KeyAscii)>;

// Installs the KeyPress handler of a control, or of a window (which then gets
// only the keys it receives itself, when none of its controls has the focus).
// Only keys that yield a character raise it: not arrows, function keys,
// Delete, a modifier alone, Alt or Meta combinations (access keys), nor Tab
// on a control (Tab moves the focus). One handler per target; it is run
// guarded (see services.h).
void onKeyPress(QWidget* target, KeyPressHandler handler);

// The character code a key event yields for a KeyPress handler of `target`;
// 0 when it raises none.
qint16 keyAscii(const QKeyEvent* event, bool targetIsWindow = false);

// ---- GotFocus ------------------------------------------------------------

// Runs `handler` (guarded) each time the control receives the focus: by Tab,
// click, SetFocus, the initial focus of a shown window, or because the
// focused control was disabled. Not when its window is merely activated again
// with the same control focused (a modal window closing, a switch between
// programs). One handler per control.
void onGotFocus(QWidget* control, std::function<void()> handler);

// ---- SendKeys ------------------------------------------------------------

// "{Tab}" without waiting: a Tab key press is queued and handled after the
// current handler returns, by whatever control has the focus then, so the
// focus moves to the next control in tab order that can take it. Other key
// strings are not supported (logged).
void SendKeys(const QString& keys);

}  // namespace orv::ui
