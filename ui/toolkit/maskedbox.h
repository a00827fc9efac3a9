#pragma once
// The masked edit box: a line edit whose text follows a fixed mask of digit
// positions and literals, and that reads exactly as it shows.

#include <QChar>
#include <QLineEdit>
#include <QString>

namespace orv::ui {

class MaskedBox : public QLineEdit {
    Q_OBJECT
  public:
    // `mask` in the box's own notation: "#" is one digit position, any other
    // character a literal ("##/##/####"). `prompt` is shown in every digit
    // position not typed.
    MaskedBox(const QString& mask, QChar prompt, QWidget* parent = nullptr);

    QString Mask() const { return mask_; }
    // Changes the mask; an empty one shows any text as it is.
    void setMask(const QString& mask);
    QChar PromptChar() const { return prompt_; }

    // What the box shows: typed digits, literals and the prompt character in
    // each digit position not typed ("__/__/____" when empty). Never "".
    QString Text() const { return displayText(); }
    // Shows `text` from the first position on: digits fill the digit
    // positions, literals in `text` match the mask's own.
    void setValue(const QString& text);
    // Empties every digit position; the literals stay.
    void Clear();
    // No digit typed.
    bool isBlank() const;

  protected:
    // A character that is no digit is refused in a digit position, the
    // separator too: Qt's own box would jump past the next "/" instead,
    // leaving a prompt behind ("1/" giving "1_/").
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QString mask_;
    QChar prompt_;
};

}  // namespace orv::ui
