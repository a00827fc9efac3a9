#include "ui/toolkit/accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPalette>
#include <QWidget>
#include <cmath>

#include "ui/toolkit/controls.h"
#include "ui/toolkit/form.h"

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

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    // Only the exact classes: a subclass of Picture or Form would name itself.
    if (className == QLatin1String(Picture::staticMetaObject.className()))
        return new PictureAccessible(widget);
    if (qobject_cast<Form*>(object) && widget->isWindow()) return new WindowAccessible(widget);
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
