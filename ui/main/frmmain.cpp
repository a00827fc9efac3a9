// frmmain's handlers: start and end, the letter index and the name search.

#include "ui/main/frmmain.h"

#include <QFrame>
#include <QLineEdit>

#include "ui/orvmod.h"
#include "ui/windows.h"

namespace orv::ui {

void registerMainWindow() {
    Form::registerKind<frmmain>(QStringLiteral("frmmain"));
}

void frmmain::connectHandlers() {
    onClick(cbSalir, [this] { cbSalir_Click(); });
    onClick(Command29, [this] { Command29_Click(); });
    connect(Picture1, &Picture::clicked, this, [this] { guarded([this] { Picture1_Click(); }); });

    onClick(cbPorLetra, [this] { cbPorLetra_Click(); });
    onClick(cbTodos, [this] { cbTodos_Click(); });
    for (int i = 0; i < 26; ++i) onClick(cbLetras[i], [this, i] { cbLetra_Click(i); });

    onGotFocus(txtBuscar, [this] { txtBuscar_GotFocus(); });
    onKeyPress(txtBuscar, [this](qint16& KeyAscii) { txtBuscar_KeyPress(KeyAscii); });
    onClick(cbBuscar, [this] { cbBuscar_Click(); });
}

// Loading opens nothing: the first database access is the results window's
// or the card's.
void frmmain::Form_Load() {}

void frmmain::cbSalir_Click() {
    Unload();
}

void frmmain::Command29_Click() {
    Form::Show(QStringLiteral("frmfinal"));
}

void frmmain::Picture1_Click() {
    Form::Show(QStringLiteral("frmabout"));
}

// ---- Letter index --------------------------------------------------------

// The caption is the panel's only state.
void frmmain::cbPorLetra_Click() {
    if (cbPorLetra->text() == QLatin1String(kCaptionHidden)) {
        setOuterWidthTwips(this, 5145);
        frmLetras->setEnabled(true);
        cbPorLetra->setText(QString::fromUtf8(kCaptionShown));
    } else {
        setOuterWidthTwips(this, 3945);
        frmLetras->setEnabled(false);
        cbPorLetra->setText(QString::fromUtf8(kCaptionHidden));
    }
}

void frmmain::listar(const QString& filtro) {
    orvmod::sFiltro = filtro;
    orvmod::sOrigen = QStringLiteral("Registros");
    Form::Show(QStringLiteral("frmsecond"));
}

void frmmain::cbTodos_Click() {
    listar(QString());
}

void frmmain::cbLetra_Click(int index) {
    listar(QString(QChar(char16_t(u'a' + index))));
}

// ---- Name search ---------------------------------------------------------

void frmmain::txtBuscar_GotFocus() {
    txtBuscar->setText(QString());
}

void frmmain::txtBuscar_KeyPress(qint16& KeyAscii) {
    if (KeyAscii == 13) {
        Buscar();
        KeyAscii = 0;
    }
}

void frmmain::cbBuscar_Click() {
    Buscar();
}

// The text goes as typed: no trimming, no case change, the prompt included.
void frmmain::Buscar() {
    listar(txtBuscar->text());
}

}  // namespace orv::ui
