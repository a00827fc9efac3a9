#include "ui/toolkit/form.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFrame>
#include <QHash>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <algorithm>

#include "ui/toolkit/accessible.h"
#include "ui/toolkit/controls.h"
#include "ui/toolkit/services.h"
#include "ui/toolkit/twips.h"

namespace orv::ui {

namespace {

struct Registry {
    QHash<QString, Form::Factory> factories;
    QHash<QString, Form*> loaded;  // the shared instance of each loaded kind
    QList<Form*> alive;            // every instance not yet deleted, oldest first
    QIcon icon;
};

Registry& registry() {
    static Registry r;
    return r;
}

const QColor kBackground(14, 17, 36);
// The style's selection blue, darker: white text on it reads at 5.3:1, on
// the style's own at 3.7:1.
const QColor kSelection(0x22, 0x70, 0xa8);

}  // namespace

// ---- Registry ------------------------------------------------------------

void Form::registerKind(const QString& name, Factory factory) {
    registry().factories.insert(name, std::move(factory));
}

bool Form::isRegistered(const QString& name) {
    return registry().factories.contains(name);
}

void Form::unregisterKind(const QString& name) {
    registry().factories.remove(name);
}

Form* Form::instance(const QString& name) {
    return registry().loaded.value(name, nullptr);
}

Form* Form::load(const QString& name, bool* failed) {
    *failed = false;
    Registry& r = registry();
    if (Form* form = r.loaded.value(name, nullptr)) return form;
    if (programEnding()) {
        *failed = true;
        return nullptr;
    }
    const auto factory = r.factories.constFind(name);
    if (factory == r.factories.cend()) {
        qCritical("orv::ui::Form: no window is registered as \"%s\"; nothing shown",
                  qPrintable(name));
        *failed = true;
        return nullptr;
    }
    Form* form = nullptr;
    const Factory make = *factory;
    if (!guarded([&] { form = make(); }) || !form) {
        *failed = true;
        return nullptr;
    }
    form->loaded_ = true;
    r.loaded.insert(name, form);

    QPointer<Form> alive(form);
    const bool ok = guarded([&] { form->Form_Load(); });
    // The load may also have unloaded the window itself, or ended the program.
    if (!alive || !form->loaded_) {
        *failed = true;
        return nullptr;
    }
    if (!ok) {
        form->Unload();
        *failed = true;
        return nullptr;
    }
    form->fitTexts();
    form->applyTabOrder();
    return form;
}

Form* Form::Load(const QString& name) {
    bool failed = false;
    return load(name, &failed);
}

bool Form::Show(const QString& name) {
    bool failed = false;
    Form* form = load(name, &failed);
    return form && form->Show();
}

Form* Form::ShowStartup(const QString& name) {
    bool failed = false;
    Form* form = load(name, &failed);
    if (!form) return nullptr;
    if (form->isVisible()) {
        qWarning("orv::ui::Form: \"%s\" is already shown", qPrintable(name));
        return nullptr;
    }
    form->startup_ = true;
    form->setWindowModality(Qt::NonModal);
    form->show();
    form->activateWindow();
    form->focusFirst();
    return form;
}

QList<Form*> Form::loadedForms() {
    QList<Form*> forms;
    const Registry& r = registry();
    for (Form* form : r.alive) {
        if (form->loaded_) forms.append(form);
    }
    std::stable_partition(forms.begin(), forms.end(), [](Form* f) { return f->startup_; });
    return forms;
}

void Form::unloadAll() {
    QList<QPointer<Form>> forms;
    for (Form* form : loadedForms()) forms.prepend(form);
    for (const QPointer<Form>& form : forms) {
        if (form) form->Unload();
    }
}

void Form::destroyAll() {
    unloadAll();
    const QList<Form*> alive = registry().alive;
    for (Form* form : alive) {
        if (registry().alive.contains(form)) delete form;
    }
}

// ---- This window ---------------------------------------------------------

Form::Form(const QString& kind) : QWidget(nullptr), kind_(kind) {
    setObjectName(kind);
    installAccessibility();
    // The program ends by unloading its start-up window, not by Qt's count
    // of visible windows.
    setAttribute(Qt::WA_QuitOnClose, false);
    registry().alive.append(this);
}

Form::~Form() {
    Registry& r = registry();
    r.alive.removeAll(this);
    if (r.loaded.value(kind_, nullptr) == this) r.loaded.remove(kind_);
    if (loop_) loop_->exit();
}

bool Form::Show() {
    if (!loaded_ || programEnding()) return false;
    if (loop_ || isVisible()) {
        qWarning("orv::ui::Form: \"%s\" is already shown", qPrintable(kind_));
        return false;
    }
    QPointer<QWidget> previous = QApplication::activeWindow();
    QPointer<Form> self(this);

    QEventLoop loop;
    loop_ = &loop;
    setWindowModality(Qt::ApplicationModal);
    show();
    activateWindow();
    focusFirst();
    // A GotFocus handler may already have unloaded the window.
    if (self && loop_ == &loop) loop.exec(QEventLoop::DialogExec);
    // The window may be deleted by now: touch nothing of it.
    if (self && self->loop_ == &loop) self->loop_ = nullptr;

    // Give the window beneath its activation back, as its owner would get it.
    if (previous && previous->isVisible() && !programEnding()) previous->activateWindow();
    return true;
}

void Form::Unload() {
    if (!loaded_) return;
    loaded_ = false;
    Registry& r = registry();
    if (r.loaded.value(kind_, nullptr) == this) r.loaded.remove(kind_);
    hide();
    if (loop_) {
        loop_->exit();
        loop_ = nullptr;
    }
    deleteLater();
    if (startup_) endProgram(0);
}

// ---- Tab order and focus -------------------------------------------------

void Form::setTabIndex(QWidget* control, int index) {
    for (auto it = tabIndexes_.begin(); it != tabIndexes_.end();) {
        if (it.value() == control)
            it = tabIndexes_.erase(it);
        else
            ++it;
    }
    tabIndexes_.insert(index, control);
}

int Form::tabIndex(const QWidget* control) const {
    for (auto it = tabIndexes_.cbegin(); it != tabIndexes_.cend(); ++it) {
        if (it.value() == control) return it.key();
    }
    return -1;
}

QList<QWidget*> Form::tabOrder() const {
    QList<QWidget*> order;
    for (const QPointer<QWidget>& control : tabIndexes_) {
        if (control) order.append(control);
    }
    return order;
}

void Form::applyTabOrder() {
    const QList<QWidget*> order = tabOrder();
    for (qsizetype i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void Form::focusFirst() {
    for (QWidget* control : tabOrder()) {
        if (control->isEnabled() && control->isVisibleTo(this) &&
            (control->focusPolicy() & Qt::TabFocus)) {
            control->setFocus(Qt::OtherFocusReason);
            // Shown at once, not only after a Tab: the user sees what Enter does.
            setAttribute(Qt::WA_KeyboardFocusChange);
            return;
        }
    }
}

// ---- Look and geometry ---------------------------------------------------

void Form::setStandardLook() {
    setWindowTitle(QStringLiteral("ORV v0.90 beta"));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(group, QPalette::Highlight, kSelection);
        pal.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    setPalette(pal);
    setAutoFillBackground(true);
    setFont(defaultFont());
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
}

void Form::fitTexts() {
    for (Label* label : findChildren<Label*>()) label->fitText();
    for (Button* button : findChildren<Button*>()) button->fitText();
}

void Form::setClientSizeTwips(int width, int height) {
    orv::ui::setClientSizeTwips(this, width, height);
}

void Form::setBackgroundPicture(const QPixmap& picture) {
    background_ = picture;
    update();
}

void Form::setProgramIcon(const QIcon& icon) {
    registry().icon = icon;
}

QIcon Form::programIcon() {
    return registry().icon;
}

QFont Form::defaultFont() {
    return fontPt(QStringLiteral("MS Sans Serif"), 8.25);
}

// ---- Building controls ---------------------------------------------------

template <class Control>
Control* Form::placed(Control* control, const QString& name, int left, int top, int width,
                      int height, int tabIndex) {
    control->setObjectName(name);
    placeTwips(control, left, top, width, height);
    if (tabIndex >= 0) setTabIndex(control, tabIndex);
    return control;
}

Button* Form::addButton(QWidget* parent, const QString& name, const QString& caption, int left,
                        int top, int width, int height, int tabIndex) {
    return placed(new Button(caption, parent), name, left, top, width, height, tabIndex);
}

QLineEdit* Form::addTextBox(QWidget* parent, const QString& name, const QString& text, int left,
                            int top, int width, int height, int tabIndex) {
    return placed(new QLineEdit(text, parent), name, left, top, width, height, tabIndex);
}

Label* Form::addLabel(QWidget* parent, const QString& name, const QString& text, int left, int top,
                      int width, int height) {
    return placed(new Label(text, parent), name, left, top, width, height, -1);
}

QFrame* Form::addFrame(QWidget* parent, const QString& name, int left, int top, int width,
                       int height, int tabIndex) {
    auto* frame = new QFrame(parent);
    frame->setFrameShape(QFrame::NoFrame);
    return placed(frame, name, left, top, width, height, tabIndex);
}

Picture* Form::addPicture(QWidget* parent, const QString& name, const QPixmap& picture, int left,
                          int top, int width, int height, int tabIndex) {
    return placed(new Picture(picture, parent), name, left, top, width, height, tabIndex);
}

void Form::onClick(QAbstractButton* button, std::function<void()> handler) {
    connect(button, &QAbstractButton::clicked, this, [handler] { guarded(handler); });
}

// ---- Events --------------------------------------------------------------

void Form::closeEvent(QCloseEvent* event) {
    // Unload hides the window itself; Qt's own close must not run.
    event->ignore();
    if (!loaded_) return;
    bool allowed = false;
    if (!guarded([&] { allowed = Form_QueryUnload(); })) return;
    if (allowed) Unload();
}

void Form::paintEvent(QPaintEvent*) {
    if (background_.isNull()) return;
    QPainter painter(this);
    drawScaled(painter, background_);
}

void Form::mousePressEvent(QMouseEvent* event) {
    notePress(pressed_, event);
}

void Form::mouseReleaseEvent(QMouseEvent* event) {
    if (endsClick(pressed_, event, this)) guarded([this] { Form_Click(); });
}

}  // namespace orv::ui
