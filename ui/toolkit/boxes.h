#pragma once
// Entry boxes: entry limits that hold for what the user types or pastes but
// never cut a stored value, a multi-line box, and the binding of a box to a
// field of a data control.

#include <QPlainTextEdit>
#include <QString>
#include <QStringView>
#include <functional>
#include <string>

class QLineEdit;

namespace orv {
class DataControl;
}

namespace orv::ui {

// Characters as the user counts them (a pair of surrogates is one).
int charCount(QStringView text);
// The first `n` characters of `text`.
QString firstChars(QStringView text, int n);

// What is left of `now` when the user's change from `before` may not grow
// it past `limit` characters: the inserted part is cut to the room left, so
// a text already longer than the limit takes no new character.
QString limitEdit(const QString& before, const QString& now, int limit);

// Holds a line edit's user edits to `limit` characters. Text set by code is
// shown whole, however long.
void setEntryLimit(QLineEdit* box, int limit);

// A multi-line box with a vertical scroll bar. Tab moves the focus; typing
// and pasting keep to the entry limit, text set by code is shown whole.
class MultiLineBox : public QPlainTextEdit {
    Q_OBJECT
  public:
    explicit MultiLineBox(QWidget* parent = nullptr);
    void setEntryLimit(int limit) { limit_ = limit; }
    int entryLimit() const { return limit_; }

    // Shows a stored text. The box itself knows only one kind of line break:
    // value() gives the text back with the breaks `text` used (CR LF stays
    // CR LF, also on the lines the user edits or adds).
    void setValue(const QString& text);
    QString value() const;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

  private:
    // The characters that may still be inserted in place of the selection.
    int room() const;
    int limit_ = -1;
    QString lineBreak_ = QStringLiteral("\n");
};

// Binds a box to a field of `data`. `set` shows a text, `get` reads the box.
// A value the user has not touched goes back exactly as stored, whatever the
// box did to show it; `get` empty makes the box display only.
void bindBox(orv::DataControl& data, const std::string& field,
             std::function<void(const QString&)> set, std::function<QString()> get);

}  // namespace orv::ui
