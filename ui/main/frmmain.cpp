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
    using Handler = void (frmmain::*)();
    static constexpr Handler kLetterHandlers[26] = {
        &frmmain::cbA_Click, &frmmain::cbB_Click, &frmmain::cbC_Click, &frmmain::cbD_Click,
        &frmmain::cbE_Click, &frmmain::cbF_Click, &frmmain::cbG_Click, &frmmain::cbH_Click,
        &frmmain::cbI_Click, &frmmain::cbJ_Click, &frmmain::cbK_Click, &frmmain::cbL_Click,
        &frmmain::cbM_Click, &frmmain::cbN_Click, &frmmain::cbO_Click, &frmmain::cbP_Click,
        &frmmain::cbQ_Click, &frmmain::cbR_Click, &frmmain::cbS_Click, &frmmain::cbT_Click,
        &frmmain::cbU_Click, &frmmain::cbV_Click, &frmmain::cbW_Click, &frmmain::cbX_Click,
        &frmmain::cbY_Click, &frmmain::cbZ_Click};
    for (int i = 0; i < 26; ++i) {
        const Handler handler = kLetterHandlers[i];
        onClick(cbLetras[i], [this, handler] { (this->*handler)(); });
    }

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
void frmmain::cbA_Click() {
    listar(QStringLiteral("a"));
}
void frmmain::cbB_Click() {
    listar(QStringLiteral("b"));
}
void frmmain::cbC_Click() {
    listar(QStringLiteral("c"));
}
void frmmain::cbD_Click() {
    listar(QStringLiteral("d"));
}
void frmmain::cbE_Click() {
    listar(QStringLiteral("e"));
}
void frmmain::cbF_Click() {
    listar(QStringLiteral("f"));
}
void frmmain::cbG_Click() {
    listar(QStringLiteral("g"));
}
void frmmain::cbH_Click() {
    listar(QStringLiteral("h"));
}
void frmmain::cbI_Click() {
    listar(QStringLiteral("i"));
}
void frmmain::cbJ_Click() {
    listar(QStringLiteral("j"));
}
void frmmain::cbK_Click() {
    listar(QStringLiteral("k"));
}
void frmmain::cbL_Click() {
    listar(QStringLiteral("l"));
}
void frmmain::cbM_Click() {
    listar(QStringLiteral("m"));
}
void frmmain::cbN_Click() {
    listar(QStringLiteral("n"));
}
void frmmain::cbO_Click() {
    listar(QStringLiteral("o"));
}
void frmmain::cbP_Click() {
    listar(QStringLiteral("p"));
}
void frmmain::cbQ_Click() {
    listar(QStringLiteral("q"));
}
void frmmain::cbR_Click() {
    listar(QStringLiteral("r"));
}
void frmmain::cbS_Click() {
    listar(QStringLiteral("s"));
}
void frmmain::cbT_Click() {
    listar(QStringLiteral("t"));
}
void frmmain::cbU_Click() {
    listar(QStringLiteral("u"));
}
void frmmain::cbV_Click() {
    listar(QStringLiteral("v"));
}
void frmmain::cbW_Click() {
    listar(QStringLiteral("w"));
}
void frmmain::cbX_Click() {
    listar(QStringLiteral("x"));
}
void frmmain::cbY_Click() {
    listar(QStringLiteral("y"));
}
void frmmain::cbZ_Click() {
    listar(QStringLiteral("z"));
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
    orvmod::sFiltro = txtBuscar->text();
    orvmod::sOrigen = QStringLiteral("Registros");
    Form::Show(QStringLiteral("frmsecond"));
}

}  // namespace orv::ui
