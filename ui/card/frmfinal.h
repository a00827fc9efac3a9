#pragma once
// The record card: one contact in bound boxes, with its browse, new and
// modify states and the commands that add, change and delete contacts.

#include <QList>
#include <QString>

#include "store/datacontrol.h"
#include "ui/toolkit/toolkit.h"

class QLineEdit;

namespace orv::ui {

class MaskedBox;
class MultiLineBox;

class frmfinal : public Form {
    Q_OBJECT
  public:
    frmfinal();

    // The code text Buscar searches for: the leading number of `codigo`
    // (leading blanks skipped, 0 when there is none) in its shortest form.
    static QString numeroDeCodigo(const QString& codigo);

    // One caption as the definition builds it (frmfinal_def.cpp): it labels
    // the box beside it, for the eye and for a screen reader.
    struct Caption {
        const char* name;
        const char* text;
        int left, top, width;
        const char* box;
    };
    static const QList<Caption>& captions();

  private:
    // The window's definition (frmfinal_def.cpp): controls, texts, fonts,
    // twips, tab order.
    void define();
    // The fields of Data1 the boxes show and store (frmfinal_bind.cpp).
    void bindData();
    void connectHandlers();

    void Form_Load() override;
    // The close box acts as Salir, and only where Salir may be used.
    bool Form_QueryUnload() override;

    // Routines.
    void SiCajas();
    void NoCajas();
    void SiBotones();
    void NoBotones();
    void Limpiador();
    void Nuevo();
    void Buscar();

    // Commands.
    void cbNuevo_Click();
    void cbGuardar_Click();
    void cbCancelar_Click();
    void cbModificar_Click();
    void cbBorrar_Click();
    void cbSalir_Click();

    void cbNuevo_GotFocus();
    // The nine entry boxes share one KeyPress handler: Enter acts as Tab.
    void Cajas_KeyPress(qint16& KeyAscii);

    // Stores the pending change; false when the user chose not to store it
    // over another writer's change, or not to store anew a contact deleted
    // meanwhile (the card is then back in browse).
    bool Guardar();
    QList<QWidget*> cajas() const;

    QLineEdit* txtnom = nullptr;
    QLineEdit* txtape = nullptr;
    QLineEdit* txtdom = nullptr;
    QLineEdit* txtlocprov = nullptr;
    QLineEdit* txttel = nullptr;
    QLineEdit* txtmail = nullptr;
    QLineEdit* txticq = nullptr;
    MaskedBox* txtfnac = nullptr;
    MultiLineBox* txtinfo = nullptr;
    MaskedBox* txtcod = nullptr;

    Button* cbNuevo = nullptr;
    Button* cbGuardar = nullptr;
    Button* cbCancelar = nullptr;
    Button* cbModificar = nullptr;
    Button* cbBorrar = nullptr;
    Button* cbSalir = nullptr;

    orv::DataControl Data1;
};

}  // namespace orv::ui
