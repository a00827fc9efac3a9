#pragma once
// The window base class: one shared instance per window kind, built from its
// definition on first use; modal Show that returns when the window unloads;
// Unload from the window's own handlers; tab order from a TabIndex table and
// the initial focus rule; the shared window look.

#include <QFont>
#include <QIcon>
#include <QMap>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

class QAbstractButton;
class QEventLoop;
class QFrame;
class QLineEdit;

namespace orv::ui {

class Button;
class Label;
class Picture;

class Form : public QWidget {
    Q_OBJECT
  public:
    using Factory = std::function<Form*()>;

    // ---- Registry of window kinds ----

    // Registers a kind ("frmmain", "frmsecond", ...). The factory builds a
    // new instance from its definition (controls, texts, geometry, tab order:
    // all in the constructor); Form_Load runs after it. Registering a name
    // again replaces its factory.
    static void registerKind(const QString& name, Factory factory);
    template <class T>
    static void registerKind(const QString& name) {
        registerKind(name, [] { return static_cast<Form*>(new T); });
    }
    static bool isRegistered(const QString& name);
    static void unregisterKind(const QString& name);

    // The loaded instance of a kind, or nullptr.
    static Form* instance(const QString& name);

    // Loads a kind if it is not loaded (build + Form_Load) without showing
    // it. nullptr when the kind is not registered (logged) or its Form_Load
    // raised an engine error (handled; the half-built window is unloaded).
    static Form* Load(const QString& name);

    // Shows a kind modally with no owner, loading it first if needed; returns
    // when the window has been unloaded. Returns false at once, showing
    // nothing, when the kind is not registered (logged), its load failed, it
    // is already shown, or the program is ending.
    static bool Show(const QString& name);

    // Shows a kind modeless as the start-up window: unloading it ends the
    // program (endProgram(0)). nullptr when it cannot be shown.
    static Form* ShowStartup(const QString& name);

    // Every loaded window (start-up window first).
    static QList<Form*> loadedForms();
    // Unloads every loaded window, newest first.
    static void unloadAll();
    // Unloads everything and deletes every window now, also those whose
    // deletion is pending (end of main, end of a test).
    static void destroyAll();

    // ---- This window ----

    QString kind() const { return kind_; }
    // Modal show of this (loaded) window; see the static Show.
    bool Show();
    // Hides and detaches the window at once and ends its modal loop; it is
    // deleted later, so a handler of the window may call this and run on to
    // its end. The next Show of the kind builds a fresh instance. Unloading
    // the start-up window ends the program.
    void Unload();
    bool isLoaded() const { return loaded_; }
    bool isShownModal() const { return loop_ != nullptr; }
    bool isStartup() const { return startup_; }

    // ---- Tab order and focus ----

    // Records a control's TabIndex. The toolkit applies the order after
    // Form_Load; call applyTabOrder() again if controls are added later.
    void setTabIndex(QWidget* control, int index);
    int tabIndex(const QWidget* control) const;  // -1 when none
    QList<QWidget*> tabOrder() const;            // by TabIndex
    void applyTabOrder();
    // Gives the focus to the enabled, visible control with the lowest
    // TabIndex that can take it (its GotFocus runs). Done at every Show.
    void focusFirst();

    // ---- Look and geometry ----

    // Caption "ORV v0.90 beta", background RGB 14,17,36, the program's icon,
    // default font, fixed size with minimise and close but no maximise,
    // placement by the system. Call in the definition, then
    // setClientSizeTwips().
    void setStandardLook();
    void setClientSizeTwips(int width, int height);
    // Every caption whole in the font actually found: labels grow to their
    // text, a button's caption takes a smaller size where it would be cut.
    // Done once the window is loaded.
    void fitTexts();
    // Drawn at the client area's top left, beneath every control.
    void setBackgroundPicture(const QPixmap& picture);

    // The program's icon, used by setStandardLook (set once at start-up).
    static void setProgramIcon(const QIcon& icon);
    static QIcon programIcon();
    // The font of the shared look (8.25 pt sans at 96 dpi).
    static QFont defaultFont();

    // ---- Building controls (definitions) ----
    // Each creates the control as a child of `parent` (this window or a
    // frame in it), named `name` (its objectName), placed in twips; a
    // tabIndex >= 0 is recorded with setTabIndex.

    Button* addButton(QWidget* parent, const QString& name, const QString& caption, int left,
                      int top, int width, int height, int tabIndex);
    QLineEdit* addTextBox(QWidget* parent, const QString& name, const QString& text, int left,
                          int top, int width, int height, int tabIndex);
    Label* addLabel(QWidget* parent, const QString& name, const QString& text, int left, int top,
                    int width, int height);
    QFrame* addFrame(QWidget* parent, const QString& name, int left, int top, int width, int height,
                     int tabIndex);
    Picture* addPicture(QWidget* parent, const QString& name, const QPixmap& picture, int left,
                        int top, int width, int height, int tabIndex);

    // Connects a button's click to a handler, run guarded.
    void onClick(QAbstractButton* button, std::function<void()> handler);

  protected:
    // `kind` is the registered name; it is also the objectName.
    explicit Form(const QString& kind);
    ~Form() override;

    // The window's load event: after the definition is built, before the
    // window is first shown. An engine error escaping it abandons the load.
    virtual void Form_Load() {}
    // A left click on the window itself (not on one of its controls).
    virtual void Form_Click() {}
    // The close box (or the window manager's close). Return false to refuse;
    // the window then stays as it is. Unload() is not subject to it.
    virtual bool Form_QueryUnload() { return true; }

    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    static Form* load(const QString& name, bool* failed);
    // Names and places a new control of the definition (see addButton).
    template <class Control>
    Control* placed(Control* control, const QString& name, int left, int top, int width, int height,
                    int tabIndex);

    QString kind_;
    bool loaded_ = false;
    bool startup_ = false;
    bool pressed_ = false;
    QEventLoop* loop_ = nullptr;
    QPixmap background_;
    QMap<int, QPointer<QWidget>> tabIndexes_;
};

}  // namespace orv::ui
