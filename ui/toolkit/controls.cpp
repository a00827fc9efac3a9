#include "ui/toolkit/controls.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPen>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "ui/toolkit/services.h"
#include "ui/toolkit/twips.h"

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

QString Button::shownText() const {
    const QString caption = text();
    QString shown;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size()) ++i;
        shown += caption[i];
    }
    return shown;
}

int Button::accessKeyIndex() const {
    const QString caption = text();
    int shown = 0;
    for (qsizetype i = 0; i < caption.size(); ++i, ++shown) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size()) {
            ++i;
            if (caption[i] != QLatin1Char('&')) return shown;
        }
    }
    return -1;
}

QRect Button::contentsRoom() const {
    // A caption with an access key has the whole face inside the frame: the
    // style's padding would leave a small button no room for the line
    // beneath the descenders.
    if (accessKeyIndex() >= 0) return rect().adjusted(2, 1, -2, -1);
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
}

// A line of the caption, and beneath it a gap and the access key's line.
QRect Button::textRect() const {
    const QFontMetrics fm(font());
    QRect r(0, 0, fm.horizontalAdvance(shownText()), fm.height() + (accessKeyIndex() < 0 ? 0 : 2));
    r.moveCenter(contentsRoom().center());
    return r;
}

QLine Button::accessKeyLine() const {
    const int key = accessKeyIndex();
    if (key < 0) return {};
    const QFontMetrics fm(font());
    const QString shown = shownText();
    const QRect r = textRect();
    const int left = r.left() + fm.horizontalAdvance(shown.left(key));
    return {left, r.bottom(), left + fm.horizontalAdvance(shown.mid(key, 1)) - 1, r.bottom()};
}

void Button::fitText() {
    const QString shown = shownText();
    const int extra = accessKeyIndex() < 0 ? 0 : 2;
    const QRect room = contentsRoom();
    QFont fitted = font();
    for (int size = QFontInfo(fitted).pixelSize(); size > 6; --size) {
        fitted.setPixelSize(size);
        const QFontMetrics fm(fitted);
        if (fm.horizontalAdvance(shown) <= room.width() && fm.height() + extra <= room.height())
            break;
    }
    if (QFontInfo(fitted).pixelSize() != QFontInfo(font()).pixelSize()) setFont(fitted);
}

void Button::paintEvent(QPaintEvent* event) {
    if (accessKeyIndex() < 0) {
        QPushButton::paintEvent(event);
        return;
    }
    // The style underlines an access key at the font's underline position,
    // across the descenders ("q" reads as "g"): the caption is drawn here,
    // with the line beneath them.
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    QPoint shift;
    if (isDown())
        shift = {style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                 style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this)};
    const QRect r = textRect().translated(shift);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(r.left(), r.top() + fontMetrics().ascent(), shownText());
    painter.drawLine(accessKeyLine().translated(shift));
}

// ---- Label ---------------------------------------------------------------

Label::Label(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_NoMousePropagation);
}

void Label::fitText() {
    const QFontMetrics fm(font());
    const int needed = qMax(fm.horizontalAdvance(text()), fm.boundingRect(text()).right() + 1);
    resize(qMax(width(), needed), qMax(height(), fm.height()));
}

// ---- Picture -------------------------------------------------------------

Picture::Picture(const QPixmap& picture, QWidget* parent) : QWidget(parent), picture_(picture) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_NoMousePropagation);
}

int Picture::focusFrameWidth() const {
    return qMax(3, fontMetrics().height() / 5);
}

void Picture::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawScaled(painter, picture_);
    if (hasFocus()) {
        // A white band edged in black: seen on the navy window and on the
        // light parts of the picture alike.
        const int w = focusFrameWidth();
        const QRectF band = QRectF(rect()).adjusted(w / 2.0, w / 2.0, -w / 2.0, -w / 2.0);
        painter.setPen(QPen(Qt::black, w, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.drawRect(band);
        painter.setPen(QPen(Qt::white, w - 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.drawRect(band);
    }
}

void Picture::keyPressEvent(QKeyEvent* event) {
    const bool press = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                       event->key() == Qt::Key_Space;
    if (press && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // As a button: one press, one click, however long the key is held.
        if (!event->isAutoRepeat()) click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Picture::mousePressEvent(QMouseEvent* event) {
    notePress(pressed_, event);
}

void Picture::mouseReleaseEvent(QMouseEvent* event) {
    if (endsClick(pressed_, event, this)) emit clicked();
}

void drawScaled(QPainter& painter, const QPixmap& picture) {
    const double scale = textScale();
    if (scale == 1.0) {
        painter.drawPixmap(0, 0, picture);
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(QRect(QPoint(0, 0), (QSizeF(picture.size()) * scale).toSize()), picture);
}

// ---- Clicks --------------------------------------------------------------

void notePress(bool& pressed, QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed = true;
    event->accept();
}

bool endsClick(bool& pressed, QMouseEvent* event, const QWidget* widget) {
    const bool wasPressed = pressed;
    pressed = false;
    event->accept();
    return wasPressed && event->button() == Qt::LeftButton &&
           widget->rect().contains(event->position().toPoint());
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
