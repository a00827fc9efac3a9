// What a screen reader, a keyboard-only user and a low-vision user get from
// the windows: names, roles and labels, the picture pressed by keys, larger
// text, and the contrast of every text.

#include <QAbstractButton>
#include <QAccessible>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "support/rows.h"
#include "support/storetest.h"
#include "support/uitest.h"
#include "ui/orvmod.h"
#include "ui/toolkit/maskedbox.h"
#include "ui/toolkit/toolkit.h"
#include "ui/windows.h"

using namespace orv::ui;
namespace ut = orv::uitest;

namespace {

QAccessibleInterface* accessible(QWidget* w) {
    return QAccessible::queryAccessibleInterface(w);
}

// The widgets `iface` names in `relation`.
QList<QObject*> related(QAccessibleInterface* iface, QAccessible::Relation relation) {
    QList<QObject*> objects;
    for (const auto& pair : iface->relations(relation)) objects << pair.first->object();
    return objects;
}

Form* showForm(const char* kind) {
    if (QLatin1String(kind) == QLatin1String("frmsecond")) {
        orvmod::sFiltro.clear();
        orvmod::sOrigen = QStringLiteral("Registros");
    }
    Form* form = Form::Load(kind);
    if (!form) return nullptr;
    form->show();
    form->activateWindow();
    form->focusFirst();
    if (!QTest::qWaitForWindowExposed(form)) return nullptr;
    QTest::qWait(20);
    return form;
}

// The window as drawn with its texts made transparent: what lies behind them.
QImage withoutTexts(Form* form) {
    QList<QPair<QWidget*, QPalette>> saved;
    QList<QWidget*> widgets = form->findChildren<QWidget*>();
    widgets.prepend(form);
    for (QWidget* w : widgets) {
        saved.append({w, w->palette()});
        QPalette pal = w->palette();
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText,
                          QPalette::HighlightedText, QPalette::PlaceholderText})
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                pal.setColor(group, role, Qt::transparent);
        w->setPalette(pal);
    }
    const QImage bare = form->grab().toImage();
    for (const auto& [w, pal] : saved) w->setPalette(pal);
    return bare;
}

// The text's own contrast inside `area`: each pixel the text changed against
// the same pixel without it; the best is the glyphs' core (1 when no text).
double inkContrast(const QImage& shot, const QImage& bare, const QRect& area) {
    double best = 1;
    const QRect r = area.intersected(shot.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (shot.pixel(x, y) != bare.pixel(x, y))
                best = std::max(best, contrastRatio(shot.pixel(x, y), bare.pixel(x, y)));
    return best;
}

// Where each text of `form` is drawn, in the window's coordinates, with its
// name; disabled buttons are left out (WCAG exempts inactive controls).
QList<QPair<QString, QRect>> textAreas(Form* form) {
    QList<QPair<QString, QRect>> areas;
    auto add = [&](QWidget* w, QRect r) {
        areas.append({w->objectName(), QRect(w->mapTo(form, r.topLeft()), r.size())});
    };
    for (QWidget* w : form->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(form) || w->geometry().right() < 0) continue;
        if (w->mapTo(form, QPoint()).x() >= form->width()) continue;
        if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
            add(w, label->contentsRect());
        } else if (auto* button = qobject_cast<Button*>(w); button && button->isEnabled()) {
            add(w, button->textRect());
        } else if (auto* box = qobject_cast<QLineEdit*>(w);
                   box && !box->displayText().trimmed().isEmpty()) {
            add(w, box->rect().adjusted(3, 3, -3, -3));
        } else if (auto* text = qobject_cast<QPlainTextEdit*>(w);
                   text && !text->toPlainText().isEmpty()) {
            add(text->viewport(), text->viewport()->rect().adjusted(2, 2, -2, -2));
        } else if (auto* grid = qobject_cast<QTableView*>(w)) {
            // A cell of the selected row and one of the next, inside the grid lines.
            for (int row : {grid->currentIndex().row(), grid->currentIndex().row() + 1})
                add(grid->viewport(),
                    grid->visualRect(grid->model()->index(row, 1)).adjusted(2, 2, -2, -2));
            add(grid->horizontalHeader(), grid->horizontalHeader()->rect().adjusted(2, 2, -2, -2));
        }
    }
    return areas;
}

}  // namespace

class TestA11y : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;

  private slots:
    void initTestCase() {
        // With ORV_DESKTOP_PT the windows are checked as a larger text draws them.
        ut::useDesktopFontFromEnvironment();
        QAccessible::setActive(true);
        registerWindows();
        ut::initWindows();
        const QString book = ut::makeBookFolder(dir_);
        QVERIFY(!book.isEmpty());
        storetest::makeBook(book, {storetest::contact({"Alberto", "Ibáñez Rubio"}),
                                   storetest::contact({"Beatriz"})});
        orvmod::sCodigo = QStringLiteral("1");
    }
    void cleanup() {
        Form::unloadAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void cleanupTestCase() { ut::cleanupWindows(); }

    // Every control of every window: the name a person would say, its role,
    // and for the card's boxes their caption.
    void names_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("control");  // empty: the window itself
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("labelledBy");
        auto row = [](const char* kind, const QString& control, QAccessible::Role role,
                      const QString& name, const QString& label = {}) {
            QTest::addRow("%s %s", kind, qPrintable(control))
                << QString(kind) << control << int(role) << name << label;
        };
        row("frmmain", "", QAccessible::Window, "Orvane");
        row("frmsecond", "", QAccessible::Window, "Resultados");
        row("frmfinal", "", QAccessible::Window, "Ficha de contacto");
        row("frmabout", "", QAccessible::Window, "Acerca de Orvane");
        for (char16_t l = u'a'; l <= u'z'; ++l)
            row("frmmain", "cb" + QString(QChar(l)).toUpper(), QAccessible::Button, QChar(l));
        row("frmmain", "txtBuscar", QAccessible::EditableText, "Nombre a buscar");
        row("frmmain", "Picture1", QAccessible::Button, "Acerca de Orvane");
        row("frmmain", "frmLetras", QAccessible::Grouping, "Letras");
        // The card's captions, each naming its box.
        const char* const captions[][3] = {
            {"Label2", "Nombre", "txtnom"},     {"Label1", "Apellido", "txtape"},
            {"Label5", "Domicilio", "txtdom"},  {"Label6", "Localidad/Provincia", "txtlocprov"},
            {"Label9", "Telefono", "txttel"},   {"Label11", "e-mail", "txtmail"},
            {"Label4", "ICQ", "txticq"},        {"Label3", "Fecha de nacimiento", "txtfnac"},
            {"Label14", "Mas info", "txtinfo"}, {"Label7", "Codigo", "txtcod"}};
        for (const auto& c : captions) {
            row("frmfinal", c[0], QAccessible::StaticText, c[1]);
            row("frmfinal", c[2], QAccessible::EditableText, c[1], c[0]);
        }
        const char* const buttons[][3] = {{"frmmain", "cbTodos", "Todos"},
                                          {"frmmain", "cbPorLetra", "Mostrar letras >>>"},
                                          {"frmmain", "cbSalir", "Salir"},
                                          {"frmmain", "Command29", "Nuevo"},
                                          {"frmmain", "cbBuscar", "Buscar"},
                                          {"frmfinal", "cbNuevo", "Nuevo"},
                                          {"frmfinal", "cbGuardar", "Guardar"},
                                          {"frmfinal", "cbCancelar", "Cancelar"},
                                          {"frmfinal", "cbModificar", "Modificar"},
                                          {"frmfinal", "cbBorrar", "Borrar"},
                                          {"frmfinal", "cbSalir", "Salir"},
                                          {"frmsecond", "cbOk", "Ok"},
                                          {"frmsecond", "cbCancelar", "Cancelar"}};
        for (const auto& b : buttons) row(b[0], b[1], QAccessible::Button, b[2]);
        row("frmsecond", "data2", QAccessible::Table, "Contactos encontrados");
        const char* const about[][2] = {{"Label5", "orvane@example.org"},
                                        {"Label4", "en el año 2000"},
                                        {"Label3", "Equipo de Orvane"},
                                        {"Label2", "v0.90 beta"},
                                        {"Label1", "Orvane"}};
        for (const auto& l : about) row("frmabout", l[0], QAccessible::StaticText, l[1]);
    }
    void names() {
        QFETCH(QString, kind);
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        QFETCH(QString, labelledBy);
        Form* form = showForm(qPrintable(kind));
        QVERIFY(form);
        QWidget* w = control.isEmpty() ? form : form->findChild<QWidget*>(control);
        QVERIFY(w);
        QAccessibleInterface* iface = accessible(w);
        QVERIFY(iface);
        QCOMPARE(int(iface->role()), role);
        QCOMPARE(iface->text(QAccessible::Name), name);
        if (control.isEmpty()) QCOMPARE(form->windowTitle().isEmpty(), false);
        if (!labelledBy.isEmpty()) {
            QWidget* label = form->findChild<QWidget*>(labelledBy);
            // Each names the other: the label labels the box, the box is labelled by it.
            QCOMPARE(related(iface, QAccessible::Label), QList<QObject*>{label});
            QCOMPARE(related(accessible(label), QAccessible::Labelled), QList<QObject*>{w});
        }
    }

    // The captions stay: the shared title, and the box's prompt as its text.
    void captionsKept() {
        for (const char* kind : {"frmmain", "frmsecond", "frmfinal"}) {
            Form* form = showForm(kind);
            QVERIFY(form);
            QCOMPARE(form->windowTitle(), QString("ORV v0.90 beta"));
        }
        auto* box = Form::instance("frmmain")->findChild<QLineEdit*>("txtBuscar");
        const QString prompt = "Ingrese un nombre para buscar...";
        QCOMPARE(box->text(), prompt);
        QCOMPARE(accessible(box)->text(QAccessible::Value), prompt);
    }

    // The picture's press action opens the about window as its click does.
    void picturePressAction() {
        Form* main = showForm("frmmain");
        QVERIFY(main);
        QAccessibleInterface* picture = accessible(main->findChild<QWidget*>("Picture1"));
        QVERIFY(picture->actionInterface());
        QVERIFY(picture->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));
        bool opened = false;
        ut::whenShown("frmabout", [&](Form* about) {
            opened = true;
            about->Unload();
        });
        picture->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(opened);
    }

    // Focused, the picture wears a frame several pixels wide, not a dotted line.
    void pictureFocusFrame() {
        Form* main = showForm("frmmain");
        auto* picture = main->findChild<Picture*>("Picture1");
        const QImage bare = picture->grab().toImage();
        picture->setFocus(Qt::TabFocusReason);
        QVERIFY(picture->hasFocus());
        const QImage shown = picture->grab().toImage();
        QVERIFY(picture->focusFrameWidth() >= 3);
        // Every pixel of the frame's white band, on all four sides.
        const int mid = picture->focusFrameWidth() / 2;
        const QPoint samples[] = {{picture->width() / 2, mid},
                                  {picture->width() / 2, picture->height() - 1 - mid},
                                  {mid, picture->height() / 2},
                                  {picture->width() - 1 - mid, picture->height() / 2}};
        for (QPoint p : samples) QCOMPARE(QColor(shown.pixel(p)), QColor(Qt::white));
        QCOMPARE(shown.copy(10, 10, 50, 50), bare.copy(10, 10, 50, 50));
    }

    // What a desktop font asks for: nothing up to a stock desktop's size.
    void textScaleOfDesktopFont() {
        const struct {
            double points, scale;
        } cases[] = {{8, 1}, {9, 1}, {11, 1}, {14, 14 / 11.0}, {22, 2}};
        for (const auto& c : cases) QCOMPARE(textScaleFor(c.points), c.scale);
    }

    // A 14 pt desktop font: every window and font grows by one factor.
    void largeTextGrowsTogether() {
        if (textScale() != 1) QSKIP("the windows are already drawn larger");
        const QSize before = showForm("frmfinal")->size();
        const int fontBefore = Form::instance("frmfinal")->font().pixelSize();
        cleanup();
        const QFont desktop = QApplication::font();
        QFont large = desktop;
        large.setPointSizeF(14);
        QApplication::setFont(large);
        setTextScale(0);
        Form* card = showForm("frmfinal");
        const double scale = textScale();
        QApplication::setFont(desktop);
        QCOMPARE(scale, 14 / 11.0);
        QCOMPARE(card->size(), QSize(qRound(6480 * scale / 15), qRound(4545 * scale / 15)));
        QCOMPARE(card->font().pixelSize(), qRound(fontBefore * scale));
        QVERIFY(card->size().width() > before.width());
        auto* name = card->findChild<QWidget*>("txtnom");
        QCOMPARE(name->geometry(), QRect(qRound(1560 * scale / 15), qRound(120 * scale / 15),
                                         qRound(4815 * scale / 15), qRound(285 * scale / 15)));
        cleanup();
        setTextScale(0);
        QCOMPARE(showForm("frmfinal")->size(), before);
    }

    // Every window in every state, as drawn: each text at least 4.5:1.
    void contrast_data() {
        // press: a button pressed first.
        testrows::texts({"kind", "press"}, {{"frmmain", "frmmain", ""},
                                            {"frmmain letras", "frmmain", "cbPorLetra"},
                                            {"frmsecond", "frmsecond", ""},
                                            {"frmfinal browse", "frmfinal", ""},
                                            {"frmfinal nuevo", "frmfinal", "cbNuevo"},
                                            {"frmfinal modificar", "frmfinal", "cbModificar"},
                                            {"frmabout", "frmabout", ""}});
    }
    void contrast() {
        QFETCH(QString, kind);
        QFETCH(QString, press);
        Form* form = showForm(qPrintable(kind));
        QVERIFY(form);
        if (!press.isEmpty()) {
            auto* button = form->findChild<QAbstractButton*>(press);
            button->click();
            QTest::qWait(20);
        }
        // The selection as the style paints it, in and out of focus (the
        // about window has none).
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            if (kind != "frmabout")
                QVERIFY(contrastRatio(form->palette().color(group, QPalette::Highlight),
                                      form->palette().color(group, QPalette::HighlightedText)) >=
                        4.5);
        const QImage shot = form->grab().toImage();
        const QImage bare = withoutTexts(form);
        QCOMPARE(form->grab().toImage(), shot);
        const auto areas = textAreas(form);
        QVERIFY(!areas.isEmpty());
        for (const auto& [name, area] : areas) {
            const double ratio = inkContrast(shot, bare, area);
            QVERIFY2(ratio >= 4.5, qPrintable(QString("%1 %2:1").arg(name).arg(ratio, 0, 'f', 2)));
        }
    }

    // The card's date box reads as it shows, empty ("__/__/____") or half
    // typed, whole and in parts, as a screen reader asks for it.
    void dateBoxReadsAsShown() {
        Form* card = showForm("frmfinal");
        QVERIFY(card);
        auto* box = ut::child<MaskedBox>(card, "txtfnac");
        QVERIFY(box);
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(box);
        QCOMPARE(a->role(), QAccessible::EditableText);
        QAccessibleTextInterface* text = a->textInterface();
        QVERIFY(text);
        for (const QString& value : {QString(), QString("25"), QString("25/07/1981")}) {
            box->setValue(value);
            const QString shown = box->displayText();
            QCOMPARE(a->text(QAccessible::Value), shown);
            QCOMPARE(text->characterCount(), int(shown.size()));
            QCOMPARE(text->text(0, text->characterCount()), shown);
            QCOMPARE(text->text(3, 5), shown.mid(3, 2));
        }
        box->setValue(QString());
        QCOMPARE(text->text(0, -1), QString("__/__/____"));
    }
};

QTEST_MAIN(TestA11y)
#include "tst_a11y.moc"
