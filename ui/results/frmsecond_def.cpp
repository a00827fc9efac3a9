// frmsecond's definition: the grid, its two buttons, the hidden code label
// bound to Data1, with their twips and tab order.

#include "ui/results/frmsecond.h"
#include "ui/results/resultsgrid.h"
#include "ui/results/resultsmodel.h"
#include "ui/windows.h"

namespace orv::ui {

frmsecond::frmsecond() : Form(QStringLiteral("frmsecond")) {
    initAssets();
    define();
    connectHandlers();
}

void frmsecond::define() {
    setStandardLook();
    setAccessibleName(QStringLiteral("Resultados"));
    setClientSizeTwips(6480, 4545);

    data2 = new ResultsGrid(this);
    data2->setObjectName(QStringLiteral("data2"));
    data2->setAccessibleName(QStringLiteral("Contactos encontrados"));
    placeTwips(data2, 120, 120, 6255, 3855);
    setTabIndex(data2, 2);
    model = new ResultsModel(this);
    data2->setResultsModel(model);

    cbOk = addButton(this, QStringLiteral("cbOk"), QStringLiteral("Ok"), 120, 4080, 1935, 345, 1);
    cbCancelar = addButton(this, QStringLiteral("cbCancelar"), QStringLiteral("Cancelar"), 4440,
                           4080, 1935, 345, 0);

    txtPasarCodigo =
        addLabel(this, QStringLiteral("txtPasarCodigo"), QString(), 2280, 4080, 735, 375);
    txtPasarCodigo->hide();
    setTabIndex(txtPasarCodigo, 3);
    Data1.bind(
        {"Codigo",
         [this](const std::string& text) { txtPasarCodigo->setText(QString::fromStdString(text)); },
         {}});
}

}  // namespace orv::ui
