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

void frmmain::define() {
    setStandardLook();
    setClientSizeTwips(3855, 4545);

    // The letter panel lies beyond the right edge until the window widens.
    frmLetras = addFrame(this, QStringLiteral("frmLetras"), 4080, 600, 855, 3375, 33);
    frmLetras->setEnabled(false);
    for (int i = 0; i < 26; ++i) {
        const QChar letter(char16_t(u'a' + i));
        cbLetras[i] =
            addButton(frmLetras, QStringLiteral("cb") + letter.toUpper(),
                      QStringLiteral("&") + letter, (i % 2) * 360, (i / 2) * 240, 375, 255, 6 + i);
    }
    cbTodos = addButton(frmLetras, QStringLiteral("cbTodos"), QStringLiteral("Todos"), 0, 3120, 735,
                        255, 5);

    cbPorLetra = addButton(this, QStringLiteral("cbPorLetra"), QString::fromUtf8(kCaptionHidden), 0,
                           3600, 3855, 345, 3);
    cbSalir = addButton(this, QStringLiteral("cbSalir"), QStringLiteral("Salir"), 840, 4080, 2175,
                        345, 0);
    Command29 = addButton(this, QStringLiteral("Command29"), QStringLiteral("Nuevo"), 120, 240,
                          1455, 345, 4);
    cbBuscar = addButton(this, QStringLiteral("cbBuscar"), QStringLiteral("Buscar"), 3120, 3240,
                         735, 345, 2);
    txtBuscar = addTextBox(this, QStringLiteral("txtBuscar"), QString::fromUtf8(kPrompt), 0, 3240,
                           3135, 345, 1);
    Picture1 = addPicture(this, QStringLiteral("Picture1"),
                          QPixmap(QStringLiteral(":/picture1.png")), 480, 360, 3000, 2715, 32);
    Picture1->setToolTip(QStringLiteral("haz click"));
    // Where the two overlap the button stays on top, so "Nuevo" can be read.
    Command29->raise();
}

}  // namespace orv::ui
