// frmsecond's handlers: load the list, choose a contact, cancel.

#include "ui/results/frmsecond.h"

#include "store/contactquery.h"
#include "ui/orvmod.h"
#include "ui/results/resultsgrid.h"
#include "ui/results/resultsmodel.h"
#include "ui/windows.h"

namespace orv::ui {

void registerResultsWindow() {
    Form::registerKind<frmsecond>(QStringLiteral("frmsecond"));
}

frmsecond::~frmsecond() {
    // The model reads Data1's record set: it goes first.
    Soltar();
}

void frmsecond::connectHandlers() {
    onClick(cbOk, [this] { cbOk_Click(); });
    onClick(cbCancelar, [this] { cbCancelar_Click(); });
    connect(data2, &ResultsGrid::rowDoubleClicked, this,
            [this] { guarded([this] { data2_DblClick(); }); });
}

// Engine errors are left to the toolkit: a file or table that cannot be
// opened ends the program; an invalid pattern is shown and the window unloads.
void frmsecond::Form_Load() {
    auto db = orv::Database::open(BookPath().toStdString());
    // Any other record source has no query: the grid stays empty.
    if (const auto query =
            orv::contactQuery(orvmod::sFiltro.toStdString(), orvmod::sOrigen.toStdString()))
        Data1.setRecordset(db->openQuery(*query));
    Data1.Refresh();
    model->setRecordset(Data1.queryRecordset());
    data2->showFirstRow();
}

void frmsecond::cbOk_Click() {
    Elegir();
}

void frmsecond::data2_DblClick() {
    Elegir();
}

// The code is read before the window (and its label) goes.
void frmsecond::Elegir() {
    orvmod::sCodigo = txtPasarCodigo->text();
    Unload();
    // The card works on the same file: this window's read of it ends here.
    Soltar();
    Form::Show(QStringLiteral("frmfinal"));
}

void frmsecond::cbCancelar_Click() {
    Unload();
}

void frmsecond::Soltar() {
    if (model) model->setRecordset(nullptr);
    Data1.setRecordset(nullptr);
}

}  // namespace orv::ui
