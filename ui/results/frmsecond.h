#pragma once
// The results window: the contacts whose name begins with the prefix in
// orvmod::sFiltro, in a read-only grid; the chosen one goes to the record
// card through orvmod::sCodigo.

#include "store/datacontrol.h"
#include "ui/toolkit/toolkit.h"

namespace orv::ui {

class ResultsGrid;
class ResultsModel;

class frmsecond : public Form {
    Q_OBJECT
  public:
    frmsecond();
    ~frmsecond() override;

  private:
    // The window's definition (frmsecond_def.cpp): controls, twips, tab order.
    void define();
    void connectHandlers();

    void Form_Load() override;
    void cbOk_Click();
    void cbCancelar_Click();
    void data2_DblClick();
    // What Ok and a double-click on a row both do.
    void Elegir();
    // Lets go of the record set and its file.
    void Soltar();

    // The query's record set and the hidden label bound to its code.
    orv::DataControl Data1;
    Label* txtPasarCodigo = nullptr;
    ResultsGrid* data2 = nullptr;
    ResultsModel* model = nullptr;
    Button *cbOk = nullptr, *cbCancelar = nullptr;
};

}  // namespace orv::ui
