// frmfinal's definition: its boxes, buttons and captions with their texts,
// fonts, twips and tab order.

#include <QLineEdit>

#include "ui/card/frmfinal.h"
#include "ui/toolkit/boxes.h"
#include "ui/toolkit/maskedbox.h"
#include "ui/windows.h"

namespace orv::ui {

namespace {

const QColor kCaptionGreen(0, 255, 0);
const QColor kCaptionRed(255, 0, 0);

void paintCaption(Label* label, const QColor& colour, const QString& family) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, colour);
    label->setPalette(pal);
    label->setFont(fontPt(family, 8.25, true));
}

}  // namespace

const QList<frmfinal::Caption>& frmfinal::captions() {
    static const QList<Caption> table = {
        {"Label2", "Nombre", 120, 120, 660, "txtnom"},
        {"Label1", "Apellido", 120, 480, 690, "txtape"},
        {"Label5", "Domicilio", 120, 840, 780, "txtdom"},
        {"Label6", "Localidad/Provincia", 120, 1200, 1725, "txtlocprov"},
        {"Label9", "Telefono", 120, 1560, 765, "txttel"},
        {"Label11", "e-mail", 120, 1920, 510, "txtmail"},
        {"Label4", "ICQ", 120, 2280, 330, "txticq"},
        {"Label3", "Fecha de nacimiento", 120, 2640, 1785, "txtfnac"},
        {"Label14", "Mas info", 120, 3000, 735, "txtinfo"},
        {"Label7", "Codigo", 3960, 2640, 600, "txtcod"},
    };
    return table;
}

frmfinal::frmfinal() : Form(QStringLiteral("frmfinal")) {
    initAssets();
    define();
    bindData();
    connectHandlers();
}

void frmfinal::define() {
    setStandardLook();
    setAccessibleName(QStringLiteral("Ficha de contacto"));
    setClientSizeTwips(6480, 4545);

    struct Line {
        QLineEdit** box;
        const char* name;
        int left, top, width, limit, tabIndex;
    };
    const Line lines[] = {
        {&txtnom, "txtnom", 1560, 120, 4815, 50, 0},
        {&txtape, "txtape", 1560, 480, 4815, 50, 1},
        {&txtdom, "txtdom", 1560, 840, 4815, 50, 2},
        {&txtlocprov, "txtlocprov", 2280, 1200, 4095, 50, 3},
        {&txttel, "txttel", 1560, 1560, 2175, 50, 4},
        {&txtmail, "txtmail", 1560, 1920, 4815, 100, 5},
        {&txticq, "txticq", 1560, 2280, 2175, 50, 6},
    };
    for (const Line& l : lines) {
        QLineEdit* box = addTextBox(this, QString::fromLatin1(l.name), QString(), l.left, l.top,
                                    l.width, 285, l.tabIndex);
        // The limit holds for typing and pasting only: a longer stored
        // value is shown whole and goes back unchanged.
        setEntryLimit(box, l.limit);
        setReadableWhenDisabled(box);
        *l.box = box;
    }

    txtfnac = new MaskedBox(QStringLiteral("##/##/####"), QLatin1Char('_'), this);
    txtfnac->setObjectName(QStringLiteral("txtfnac"));
    placeTwips(txtfnac, 2280, 2640, 1455, 285);
    setTabIndex(txtfnac, 7);
    setReadableWhenDisabled(txtfnac);

    txtinfo = new MultiLineBox(this);
    txtinfo->setObjectName(QStringLiteral("txtinfo"));
    txtinfo->setEntryLimit(200);
    placeTwips(txtinfo, 1560, 3000, 4815, 975);
    setTabIndex(txtinfo, 8);
    setReadableWhenDisabled(txtinfo);

    // Display only: it shows the code and never takes the focus.
    txtcod = new MaskedBox(QStringLiteral("######"), QLatin1Char(' '), this);
    txtcod->setObjectName(QStringLiteral("txtcod"));
    txtcod->setFocusPolicy(Qt::NoFocus);
    txtcod->setReadOnly(true);
    txtcod->setEnabled(false);
    placeTwips(txtcod, 5040, 2640, 1335, 285);
    setTabIndex(txtcod, 9);
    setReadableWhenDisabled(txtcod);

    cbNuevo = addButton(this, QStringLiteral("cbNuevo"), QStringLiteral("Nuevo"), 120, 4080, 855,
                        375, 10);
    cbGuardar = addButton(this, QStringLiteral("cbGuardar"), QStringLiteral("Guardar"), 960, 4080,
                          855, 375, 11);
    cbCancelar = addButton(this, QStringLiteral("cbCancelar"), QStringLiteral("Cancelar"), 1800,
                           4080, 855, 375, 12);
    cbModificar = addButton(this, QStringLiteral("cbModificar"), QStringLiteral("Modificar"), 2640,
                            4080, 855, 375, 13);
    cbBorrar = addButton(this, QStringLiteral("cbBorrar"), QStringLiteral("Borrar"), 3480, 4080,
                         855, 375, 14);
    cbSalir = addButton(this, QStringLiteral("cbSalir"), QStringLiteral("Salir"), 5520, 4080, 855,
                        375, 15);

    for (const Caption& c : captions()) {
        Label* label = addLabel(this, QString::fromLatin1(c.name), QString::fromLatin1(c.text),
                                c.left, c.top, c.width, 195);
        // Its box is read by this caption ("Nombre", not "text").
        label->setBuddy(findChild<QWidget*>(QString::fromLatin1(c.box)));
        if (label->objectName() == QLatin1String("Label7"))
            paintCaption(label, kCaptionRed, QStringLiteral("Tahoma"));
        else
            paintCaption(label, kCaptionGreen, QStringLiteral("MS Sans Serif"));
    }
}

}  // namespace orv::ui
