// frmfinal's binding: the field of Data1 each box shows and stores, and how
// the date and code boxes show a stored text.

#include <QLineEdit>

#include "store/dates.h"
#include "store/schema.h"
#include "ui/card/frmfinal.h"
#include "ui/toolkit/boxes.h"
#include "ui/toolkit/maskedbox.h"

namespace orv::ui {

void frmfinal::bindData() {
    // Data1: the whole table of the book, opened after Form_Load.
    Data1.setSource(BookPath().toStdString(), "Registros");
    const std::pair<QLineEdit*, const char*> lines[] = {
        {txtnom, "Nombre"},    {txtape, "Apellido"},
        {txtdom, "Domicilio"}, {txtlocprov, "Localidad/Provincia"},
        {txttel, "Telefono"},  {txtmail, "e-mail"},
        {txticq, "ICQ"},
    };
    for (const auto& [box, field] : lines) {
        bindBox(
            Data1, field,
            [box](const QString& text) {
                box->setText(text);
                // A value longer than the box shows its start, not its end.
                box->setCursorPosition(0);
            },
            [box] { return box->text(); });
    }
    bindBox(
        Data1, std::string(schema::kBirthDate),
        [this](const QString& text) {
            // A text that names no day would show as stray digits taken for
            // one: the box stays blank, the stored text untouched.
            txtfnac->setValue(orv::isoFromDisplay(text.toStdString()) ? text : QString());
        },
        [this] { return txtfnac->Text(); });
    bindBox(
        Data1, "Mas info", [this](const QString& text) { txtinfo->setValue(text); },
        [this] { return txtinfo->value(); });
    bindBox(
        Data1, std::string(schema::kCode),
        [this](const QString& text) {
            // Display only: a code the six digit positions cannot hold (a
            // longer or negative one) is shown whole rather than cut.
            bool digits = true;
            for (QChar c : text) digits = digits && c.isDigit();
            txtcod->setMask(digits ? QString(qMax<qsizetype>(6, text.size()), QLatin1Char('#'))
                                   : QString());
            txtcod->setValue(text);
        },
        nullptr);
}

}  // namespace orv::ui
