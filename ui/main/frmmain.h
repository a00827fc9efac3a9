#pragma once
// The main window: the program's start-up window and its hub (letter index,
// name search, "Nuevo", the picture and "Salir").

#include <QList>
#include <QRect>
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

    // One control as the definition builds it (frmmain_def.cpp).
    struct Control {
        enum Kind { Panel, Command, TextBox, PictureBox } kind;
        bool inPanel;  // placed in the letter panel, not in the window
        QString name;
        QString text;  // caption or initial text
        QRect twips;   // left, top, width, height
        int tabIndex;
        // What a screen reader calls it, where its text does not say (a
        // box's text is what was typed, a picture has none).
        QString accessibleName = {};
    };
    // Every control, in the order it is built (a later one lies on top).
    static const QList<Control>& controls();

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
    // The letter buttons share one handler: each lists the names that begin
    // with its own letter, in lower case (`index` 0 is "a").
    void cbLetra_Click(int index);
    // The three steps every letter button, cbTodos and Buscar share.
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
