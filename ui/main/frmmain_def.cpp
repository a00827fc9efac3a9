// frmmain's definition: its controls with their texts, twips and tab order.

#include <QFrame>
#include <QLineEdit>
#include <QPixmap>

#include "ui/main/frmmain.h"
#include "ui/windows.h"

namespace orv::ui {

frmmain::frmmain() : Form(QStringLiteral("frmmain")) {
    initAssets();
    define();
    connectHandlers();
}

const QList<frmmain::Control>& frmmain::controls() {
    static const QList<Control> table = [] {
        QList<Control> t = {
            // The letter panel lies beyond the right edge until the window widens.
            {Control::Panel, false, "frmLetras", "", {4080, 600, 855, 3375}, 33, "Letras"},
        };
        for (int i = 0; i < 26; ++i) {
            const QChar letter(char16_t(u'a' + i));
            t.append({Control::Command,
                      true,
                      QStringLiteral("cb") + letter.toUpper(),
                      QStringLiteral("&") + letter,
                      {(i % 2) * 360, (i / 2) * 240, 375, 255},
                      6 + i});
        }
        t += {
            {Control::Command, true, "cbTodos", "Todos", {0, 3120, 735, 255}, 5},
            {Control::Command, false, "cbPorLetra", kCaptionHidden, {0, 3600, 3855, 345}, 3},
            {Control::Command, false, "cbSalir", "Salir", {840, 4080, 2175, 345}, 0},
            {Control::Command, false, "Command29", "Nuevo", {120, 240, 1455, 345}, 4},
            {Control::Command, false, "cbBuscar", "Buscar", {3120, 3240, 735, 345}, 2},
            {Control::TextBox,
             false,
             "txtBuscar",
             kPrompt,
             {0, 3240, 3135, 345},
             1,
             "Nombre a buscar"},
            {Control::PictureBox,
             false,
             "Picture1",
             "",
             {480, 360, 3000, 2715},
             32,
             "Acerca de Orvane"},
        };
        return t;
    }();
    return table;
}

void frmmain::define() {
    setStandardLook();
    setAccessibleName(QStringLiteral("Orvane"));
    setClientSizeTwips(3855, 4545);

    for (const Control& c : controls()) {
        QWidget* parent = c.inPanel ? static_cast<QWidget*>(frmLetras) : this;
        const QRect& r = c.twips;
        switch (c.kind) {
            case Control::Panel:
                frmLetras =
                    addFrame(parent, c.name, r.x(), r.y(), r.width(), r.height(), c.tabIndex);
                break;
            case Control::Command:
                addButton(parent, c.name, c.text, r.x(), r.y(), r.width(), r.height(), c.tabIndex);
                break;
            case Control::TextBox:
                addTextBox(parent, c.name, c.text, r.x(), r.y(), r.width(), r.height(), c.tabIndex);
                break;
            case Control::PictureBox:
                addPicture(parent, c.name, QPixmap(QStringLiteral(":/picture1.png")), r.x(), r.y(),
                           r.width(), r.height(), c.tabIndex);
                break;
        }
        if (!c.accessibleName.isEmpty())
            findChild<QWidget*>(c.name)->setAccessibleName(c.accessibleName);
    }
    frmLetras->setEnabled(false);
    for (int i = 0; i < 26; ++i)
        cbLetras[i] = findChild<Button*>(QStringLiteral("cb") + QChar(char16_t(u'A' + i)));
    cbTodos = findChild<Button*>(QStringLiteral("cbTodos"));
    cbPorLetra = findChild<Button*>(QStringLiteral("cbPorLetra"));
    cbSalir = findChild<Button*>(QStringLiteral("cbSalir"));
    Command29 = findChild<Button*>(QStringLiteral("Command29"));
    cbBuscar = findChild<Button*>(QStringLiteral("cbBuscar"));
    txtBuscar = findChild<QLineEdit*>(QStringLiteral("txtBuscar"));
    Picture1 = findChild<Picture*>(QStringLiteral("Picture1"));

    Picture1->setToolTip(QStringLiteral("haz click"));
    // Where the two overlap the button stays on top, so "Nuevo" can be read.
    Command29->raise();
}

}  // namespace orv::ui
