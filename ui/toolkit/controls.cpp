#include "ui/toolkit/controls.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include "ui/toolkit/services.h"

namespace orv::ui {

// ---- Button --------------------------------------------------------------

Button::Button(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setAutoDefault(false);
}

void Button::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // Held down, Enter would click once per repeat; one press, one click.
        if (!event->isAutoRepeat()) click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}

// ---- Label ---------------------------------------------------------------

Label::Label(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_NoMousePropagation);
}

// ---- Picture -------------------------------------------------------------

Picture::Picture(const QPixmap& picture, QWidget* parent) : QWidget(parent), picture_(picture) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_NoMousePropagation);
}

void Picture::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, picture_);
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(1, 1, -1, -1);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

void Picture::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed_ = true;
    event->accept();
}

void Picture::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = pressed_;
    pressed_ = false;
    event->accept();
    if (wasPressed && event->button() == Qt::LeftButton &&
        rect().contains(event->position().toPoint()))
        emit clicked();
}

// ---- KeyPress ------------------------------------------------------------

qint16 keyAscii(const QKeyEvent* event, bool targetIsWindow) {
    if (event->type() != QEvent::KeyPress) return 0;
    const Qt::KeyboardModifiers mods = event->modifiers();
    if (mods & (Qt::AltModifier | Qt::MetaModifier)) return 0;
    // Ctrl+letter is a control character whatever text the platform gives.
    if ((mods & Qt::ControlModifier) && event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z)
        return qint16(event->key() - Qt::Key_A + 1);
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return 13;
        case Qt::Key_Escape:
            return 27;
        case Qt::Key_Backspace:
            return 8;
        case Qt::Key_Tab:
            // On a control Tab moves the focus; a window with no control
            // that takes the focus gets it as a character.
            return targetIsWindow && !(mods & Qt::ShiftModifier) ? 9 : 0;
        case Qt::Key_Backtab:
        case Qt::Key_Delete:
            return 0;
        default:
            break;
    }
    const QString text = event->text();
    if (text.isEmpty()) return 0;
    const char16_t c = text.at(0).unicode();
    if (c == 0x7f) return 0;
    return qint16(c);
}

namespace {

int keyForCode(qint16 code) {
    switch (code) {
        case 13:
            return Qt::Key_Return;
        case 27:
            return Qt::Key_Escape;
        case 8:
            return Qt::Key_Backspace;
        case 9:
            return Qt::Key_Tab;
        case 32:
            return Qt::Key_Space;
        default:
            break;
    }
    if (code >= 'a' && code <= 'z') return Qt::Key_A + (code - 'a');
    if (code >= 'A' && code <= 'Z') return Qt::Key_A + (code - 'A');
    if (code >= '0' && code <= '9') return Qt::Key_0 + (code - '0');
    return Qt::Key_unknown;
}

class KeyPressFilter : public QObject {
  public:
    KeyPressFilter(QWidget* target, KeyPressHandler handler)
        : QObject(target), target_(target), handler_(std::move(handler)) {}

    void setHandler(KeyPressHandler handler) { handler_ = std::move(handler); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != target_ || event->type() != QEvent::KeyPress || redelivering_) return false;
        auto* key = static_cast<QKeyEvent*>(event);
        const bool isWindow = target_->isWindow();
        if (isWindow) {
            // A key a control did not take travels up to its window; the
            // window's own KeyPress is only for keys sent to the window.
            QWidget* focus = target_->focusWidget();
            if (focus && focus != target_) return false;
        }
        qint16 code = keyAscii(key, isWindow);
        if (code == 0) return false;
        const qint16 original = code;

        QPointer<QWidget> target(target_);
        KeyPressHandler handler = handler_;  // the handler may replace itself
        if (!guarded([&] { handler(code); })) return true;
        if (code == 0 || !target) return true;
        if (code == original) return false;

        QKeyEvent replacement(QEvent::KeyPress, keyForCode(code), key->modifiers(),
                              QString(QChar(char16_t(code))), key->isAutoRepeat());
        redelivering_ = true;
        QCoreApplication::sendEvent(target, &replacement);
        redelivering_ = false;
        return true;
    }

  private:
    QWidget* target_;
    KeyPressHandler handler_;
    bool redelivering_ = false;
};

class GotFocusFilter : public QObject {
  public:
    GotFocusFilter(QWidget* control, std::function<void()> handler)
        : QObject(control), control_(control), handler_(std::move(handler)) {}

    void setHandler(std::function<void()> handler) { handler_ = std::move(handler); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != control_) return false;
        if (event->type() == QEvent::FocusOut) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            // The window lost activation, the control is still its focus.
            suspended_ = reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason;
        } else if (event->type() == QEvent::FocusIn) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            const bool regained = suspended_ && (reason == Qt::ActiveWindowFocusReason ||
                                                 reason == Qt::PopupFocusReason);
            suspended_ = false;
            if (!regained) {
                std::function<void()> handler = handler_;
                guarded(handler);
            }
        }
        return false;
    }

  private:
    QWidget* control_;
    std::function<void()> handler_;
    bool suspended_ = false;
};

// Filters are plain QObjects (no meta-object of their own), so look them up by type.
template <class Filter>
Filter* filterOf(QWidget* widget) {
    for (QObject* child : widget->children()) {
        if (auto* filter = dynamic_cast<Filter*>(child)) return filter;
    }
    return nullptr;
}

}  // namespace

void onKeyPress(QWidget* target, KeyPressHandler handler) {
    if (auto* filter = filterOf<KeyPressFilter>(target)) {
        filter->setHandler(std::move(handler));
        return;
    }
    target->installEventFilter(new KeyPressFilter(target, std::move(handler)));
}

void onGotFocus(QWidget* control, std::function<void()> handler) {
    if (auto* filter = filterOf<GotFocusFilter>(control)) {
        filter->setHandler(std::move(handler));
        return;
    }
    control->installEventFilter(new GotFocusFilter(control, std::move(handler)));
}

// ---- SendKeys ------------------------------------------------------------

void SendKeys(const QString& keys) {
    if (keys.compare(QLatin1String("{Tab}"), Qt::CaseInsensitive) != 0) {
        qWarning("SendKeys: unsupported keys \"%s\"", qPrintable(keys));
        return;
    }
    QWidget* focus = QApplication::focusWidget();
    QPointer<QWidget> window = focus ? focus->window() : QApplication::activeWindow();
    if (!window) return;
    // Queued: handled after the current handler returns, by the control
    // that has the focus then.
    QMetaObject::invokeMethod(
        qApp,
        [window] {
            if (!window) return;
            QWidget* receiver = window->focusWidget();
            if (!receiver) receiver = window;
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier, QStringLiteral("\t"));
            QCoreApplication::sendEvent(receiver, &press);
        },
        Qt::QueuedConnection);
}

}  // namespace orv::ui
