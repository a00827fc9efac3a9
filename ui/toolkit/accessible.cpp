#include "ui/toolkit/accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QPalette>
#include <QWidget>
#include <cmath>

#include "ui/toolkit/controls.h"
#include "ui/toolkit/form.h"
#include "ui/toolkit/maskedbox.h"

namespace orv::ui {

namespace {

// A plain QWidget reads as a "filler": every window would say the same.
class WindowAccessible : public QAccessibleWidget {
  public:
    explicit WindowAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Window) {}
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.active = widget()->isActiveWindow();
        return s;
    }
};

// The picture: a button whose press is its click.
class PictureAccessible : public QAccessibleWidget {
  public:
    explicit PictureAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Button) {}
    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == pressAction())
            static_cast<Picture*>(widget())->click();
        else
            QAccessibleWidget::doAction(action);
    }
};

// The masked box reads as it shows ("__/__/____", "25/__/____"): Qt's own
// line edit would tell the text without its blanks ("//").
class MaskedBoxAccessible : public QAccessibleWidget,
                            public QAccessibleTextInterface,
                            public QAccessibleEditableTextInterface {
  public:
    explicit MaskedBoxAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::EditableText) {}
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        if (t == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return shown();
        return QAccessibleWidget::text(t);
    }
    void setText(QAccessible::Text t, const QString& text) override {
        if (t == QAccessible::Value)
            box()->setValue(text);
        else
            QAccessibleWidget::setText(t, text);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = !box()->isReadOnly();
        s.readOnly = box()->isReadOnly();
        s.selectableText = true;
        return s;
    }

    // Text
    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index == 0 && box()->hasSelectedText()) {
            *start = box()->selectionStart();
            *end = *start + int(box()->selectedText().size());
        }
    }
    int selectionCount() const override { return box()->hasSelectedText() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { box()->deselect(); }
    void setSelection(int, int start, int end) override { box()->setSelection(start, end - start); }
    int cursorPosition() const override { return box()->cursorPosition(); }
    void setCursorPosition(int position) override { box()->setCursorPosition(position); }
    QString text(int start, int end) const override {
        const QString s = shown();
        if (end < 0 || end > s.size()) end = int(s.size());
        return start >= end ? QString() : s.mid(start, end - start);
    }
    int characterCount() const override { return int(shown().size()); }
    QRect characterRect(int offset) const override {
        const QFontMetrics fm(box()->font());
        const QString s = shown();
        const int x = fm.horizontalAdvance(s.left(offset));
        const QRect inside = box()->rect().adjusted(3, 0, -3, 0);
        const QRect r(inside.left() + x, inside.center().y() - fm.height() / 2,
                      fm.horizontalAdvance(s.mid(offset, 1)), fm.height());
        return QRect(box()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        return box()->cursorPositionAt(box()->mapFromGlobal(point));
    }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override {
        *start = *end = offset;
        return QString();
    }

    // Editable text: typed where the mask puts it, as keys would.
    void deleteText(int start, int end) override {
        box()->setSelection(start, end - start);
        box()->del();
    }
    void insertText(int offset, const QString& text) override {
        box()->setCursorPosition(offset);
        box()->insert(text);
    }
    void replaceText(int start, int end, const QString& text) override {
        box()->setSelection(start, end - start);
        box()->insert(text);
    }

  private:
    MaskedBox* box() const { return static_cast<MaskedBox*>(widget()); }
    QString shown() const { return box()->Text(); }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    // Only the exact classes: a subclass of Picture or Form would name itself.
    if (className == QLatin1String(Picture::staticMetaObject.className()))
        return new PictureAccessible(widget);
    if (qobject_cast<Form*>(object) && widget->isWindow()) return new WindowAccessible(widget);
    if (className == QLatin1String(MaskedBox::staticMetaObject.className()))
        return new MaskedBoxAccessible(widget);
    // A window's frame holds a group of controls (the letters): a panel, not a border.
    if (className == QLatin1String("QFrame") && qobject_cast<Form*>(object->parent()))
        return new QAccessibleWidget(widget, QAccessible::Grouping);
    return nullptr;
}

double luminance(const QColor& c) {
    auto channel = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = c.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

}  // namespace

void installAccessibility() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    QAccessible::installFactory(factory);
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

void setReadableWhenDisabled(QWidget* box) {
    QPalette pal = box->palette();
    // The face keeps the style's grey, so the browse state still looks it.
    pal.setColor(QPalette::Disabled, QPalette::Base, QColor(0xe6, 0xe6, 0xe6));
    pal.setColor(QPalette::Disabled, QPalette::Text, QColor(0x3c, 0x3c, 0x3c));
    box->setPalette(pal);
}

}  // namespace orv::ui
