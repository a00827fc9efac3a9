#pragma once
// The main window: the program's start-up window and its hub (letter index,
// name search, "Nuevo", the picture and "Salir").

#include <QString>

#include "ui/toolkit/toolkit.h"

class QFrame;
class QLineEdit;

namespace orv::ui {

class frmmain : public Form {
    Q_OBJECT
  public:
    frmmain();

    static constexpr const char* kCaptionHidden = "Mostrar letras >>>";
    static constexpr const char* kCaptionShown = "Ocultar letras <<<";
    static constexpr const char* kPrompt = "Ingrese un nombre para buscar...";

  private:
    // The window's definition (frmmain_def.cpp): controls, texts, twips, tab order.
    void define();
    void connectHandlers();

    void Form_Load() override;

    void cbSalir_Click();
    void Command29_Click();
    void Picture1_Click();

    // Letter index.
    void cbPorLetra_Click();
    void cbTodos_Click();
    void cbA_Click();
    void cbB_Click();
    void cbC_Click();
    void cbD_Click();
    void cbE_Click();
    void cbF_Click();
    void cbG_Click();
    void cbH_Click();
    void cbI_Click();
    void cbJ_Click();
    void cbK_Click();
    void cbL_Click();
    void cbM_Click();
    void cbN_Click();
    void cbO_Click();
    void cbP_Click();
    void cbQ_Click();
    void cbR_Click();
    void cbS_Click();
    void cbT_Click();
    void cbU_Click();
    void cbV_Click();
    void cbW_Click();
    void cbX_Click();
    void cbY_Click();
    void cbZ_Click();
    // The three steps every letter handler and cbTodos share.
    void listar(const QString& filtro);

    // Name search.
    void txtBuscar_GotFocus();
    void txtBuscar_KeyPress(qint16& KeyAscii);
    void cbBuscar_Click();
    void Buscar();

    QFrame* frmLetras = nullptr;
    Button* cbLetras[26] = {};
    Button* cbTodos = nullptr;
    Button* cbPorLetra = nullptr;
    Button* cbSalir = nullptr;
    Button* Command29 = nullptr;
    Button* cbBuscar = nullptr;
    QLineEdit* txtBuscar = nullptr;
    Picture* Picture1 = nullptr;
};

}  // namespace orv::ui
