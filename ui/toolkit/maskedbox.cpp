#include "ui/toolkit/maskedbox.h"

#include <QKeyEvent>

namespace orv::ui {

namespace {

// Qt's mask notation: "0" an optional digit; a literal that means something
// to Qt is escaped.
QString qtMask(const QString& mask, QChar prompt) {
    static const QString kSpecial = QStringLiteral("AaNnXx90Dd#HhBb><!\\[]{}");
    QString out;
    for (QChar c : mask) {
        if (c == QLatin1Char('#')) {
            out += QLatin1Char('0');
        } else {
            if (kSpecial.contains(c) || c == QLatin1Char(';')) out += QLatin1Char('\\');
            out += c;
        }
    }
    return out + QLatin1Char(';') + prompt;
}

}  // namespace

MaskedBox::MaskedBox(const QString& mask, QChar prompt, QWidget* parent)
    : QLineEdit(parent), mask_(mask), prompt_(prompt) {
    setInputMask(qtMask(mask, prompt));
}

void MaskedBox::setMask(const QString& mask) {
    if (mask == mask_) return;
    mask_ = mask;
    setInputMask(mask.isEmpty() ? QString() : qtMask(mask, prompt_));
}

void MaskedBox::setValue(const QString& text) {
    setText(text);
}

void MaskedBox::Clear() {
    setText(QString());
    // Typing starts again at the first position, not after the mask.
    setCursorPosition(0);
}

void MaskedBox::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    const bool control = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
    if (mask_.contains(QLatin1Char('#')) && !control && typed.size() == 1 && typed[0].isPrint() &&
        !(typed[0] >= QLatin1Char('0') && typed[0] <= QLatin1Char('9'))) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

bool MaskedBox::isBlank() const {
    const QString shown = displayText();
    for (qsizetype i = 0; i < mask_.size() && i < shown.size(); ++i) {
        if (mask_.at(i) == QLatin1Char('#') && shown.at(i).isDigit()) return false;
    }
    return true;
}

}  // namespace orv::ui
