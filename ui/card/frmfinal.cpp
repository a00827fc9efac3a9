// frmfinal's routines and handlers: the three states, the positioning on
// sCodigo's contact, the commands and Enter as Tab.

#include "ui/card/frmfinal.h"

#include <QLineEdit>
#include <cctype>
#include <charconv>
#include <cmath>

#include "store/datacontrol.h"
#include "store/dates.h"
#include "store/schema.h"
#include "ui/orvmod.h"
#include "ui/toolkit/boxes.h"
#include "ui/toolkit/maskedbox.h"

namespace orv::ui {

void frmfinal::connectHandlers() {
    onClick(cbNuevo, [this] { cbNuevo_Click(); });
    onClick(cbGuardar, [this] { cbGuardar_Click(); });
    onClick(cbCancelar, [this] { cbCancelar_Click(); });
    onClick(cbModificar, [this] { cbModificar_Click(); });
    onClick(cbBorrar, [this] { cbBorrar_Click(); });
    onClick(cbSalir, [this] { cbSalir_Click(); });
    onGotFocus(cbNuevo, [this] { cbNuevo_GotFocus(); });
    for (QWidget* box : cajas())
        onKeyPress(box, [this](qint16& KeyAscii) { Cajas_KeyPress(KeyAscii); });
}

QList<QWidget*> frmfinal::cajas() const {
    return {txtnom, txtape, txtdom, txtlocprov, txttel, txtmail, txticq, txtfnac, txtinfo};
}

void frmfinal::Form_Load() {
    NoCajas();
    SiBotones();
    // The data control opens its record set once the load handler is done;
    // the first focus then lands on cbNuevo, whose GotFocus runs Buscar.
    Data1.Refresh();
}

bool frmfinal::Form_QueryUnload() {
    return cbSalir->isEnabled();
}

// ---- Routines ------------------------------------------------------------

void frmfinal::SiCajas() {
    for (QWidget* box : cajas()) box->setEnabled(true);
}

void frmfinal::NoCajas() {
    for (QWidget* box : cajas()) box->setEnabled(false);
}

void frmfinal::SiBotones() {
    cbNuevo->setEnabled(true);
    cbGuardar->setEnabled(false);
    cbCancelar->setEnabled(false);
    cbModificar->setEnabled(true);
    cbBorrar->setEnabled(true);
    cbSalir->setEnabled(true);
}

void frmfinal::NoBotones() {
    cbNuevo->setEnabled(false);
    cbGuardar->setEnabled(true);
    cbCancelar->setEnabled(true);
    cbModificar->setEnabled(false);
    cbBorrar->setEnabled(false);
    cbSalir->setEnabled(false);
}

void frmfinal::Limpiador() {
    txtfnac->Clear();
}

void frmfinal::Nuevo() {
    SiCajas();
    NoBotones();
    Data1.recordset()->AddNew();
    Limpiador();
    txtnom->setFocus();
}

QString frmfinal::numeroDeCodigo(const QString& codigo) {
    const QByteArray text = codigo.toLatin1();
    const char* p = text.constData();
    const char* end = p + text.size();
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    // The longest leading part that reads as a number: sign, digits, a
    // fraction, an exponent.
    const char* q = p;
    if (q < end && (*q == '+' || *q == '-')) ++q;
    const char* digits = q;
    while (q < end && std::isdigit(static_cast<unsigned char>(*q))) ++q;
    bool any = q > digits;
    if (q < end && *q == '.') {
        const char* frac = q + 1;
        while (frac < end && std::isdigit(static_cast<unsigned char>(*frac))) ++frac;
        if (any || frac > q + 1) {
            any = true;
            q = frac;
        }
    }
    if (!any) return QStringLiteral("0");
    if (q < end && (*q == 'e' || *q == 'E')) {
        const char* e = q + 1;
        if (e < end && (*e == '+' || *e == '-')) ++e;
        const char* expDigits = e;
        while (e < end && std::isdigit(static_cast<unsigned char>(*e))) ++e;
        if (e > expDigits) q = e;
    }
    double value = 0;
    std::from_chars(*p == '+' ? p + 1 : p, q, value);
    if (value == 0) return QStringLiteral("0");  // also "-0"
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15)
        return QString::number(static_cast<qint64>(value));
    char out[64];
    const auto r = std::to_chars(out, out + sizeof out, value);
    return QString::fromLatin1(out, r.ptr - out);
}

void frmfinal::Buscar() {
    orv::Recordset* rs = Data1.recordset();
    // A search would drop a pending change; the focus can reach cbNuevo
    // while Cancelar is still on its way to discarding one.
    if (!rs || rs->editMode() != orv::Recordset::EditMode::None) return;
    bool whole = false;
    const qint64 code = numeroDeCodigo(orvmod::sCodigo).toLongLong(&whole);
    if (whole)
        rs->FindCode(code);
    else
        rs->MoveFirst();  // no contact has that code
}

namespace {

const QString kBorrarPregunta = QStringLiteral("Desea borrar el siguiente registro?");

bool isGone(const orv::EngineError& e) {
    return e.number() == orv::kErrRecordDeleted || e.number() == orv::kErrNoCurrentRecord;
}

// The contact is no longer in the book: said plainly, with no engine number.
void sayGone() {
    MsgBox(QStringLiteral("Este contacto ya no está en la agenda: se ha borrado en otra parte."));
}

// A value as the question about another writer's change shows it: on one
// line, and not the whole of a long note.
QString shownValue(const std::string& field, const orv::Value& v) {
    QString text = QString::fromStdString(orv::fieldText(field, v));
    if (text.isEmpty()) return QStringLiteral("(vacío)");
    text.replace(QLatin1Char('\n'), QStringLiteral(" / "));
    constexpr int kLongest = 100;
    if (text.size() > kLongest) text = text.left(kLongest) + QStringLiteral("…");
    return text;
}

}  // namespace

// ---- Commands ------------------------------------------------------------

void frmfinal::cbNuevo_GotFocus() {
    Buscar();
}

void frmfinal::cbNuevo_Click() {
    Nuevo();
}

void frmfinal::cbGuardar_Click() {
    if (txtnom->text().isEmpty()) {
        txtnom->setFocus();
        MsgBox(QStringLiteral("El campo 'Nombre' no puede estar vacio!"));
        return;
    }
    if (orv::isoFromDisplay(txtfnac->Text().toStdString())) {
        // A store the engine refuses throws here: the state, the pending
        // change and the typed texts stay, so the user can retry or cancel.
        if (!Guardar()) return;
        NoCajas();
        SiBotones();
    } else {
        MsgBox(QStringLiteral("La fecha, del campo 'Fecha de nacimiento' es incorrecta!"));
        Limpiador();
        txtfnac->setFocus();
    }
}

bool frmfinal::Guardar() {
    for (bool again = false;;) {
        try {
            Data1.Update(again);
            return true;
        } catch (const orv::DataChangedError& e) {
            // Another writer changed what the user changed too: the user
            // decides, seeing both; the other value stays in the history.
            QString prompt = QStringLiteral(
                "Este contacto se ha cambiado en otra parte mientras lo modificaba:\n");
            for (const auto& f : e.fields())
                prompt += QStringLiteral("\n%1: %2")
                              .arg(QString::fromStdString(f.name), shownValue(f.name, f.theirs));
            prompt += QStringLiteral(
                "\n\nDesea guardar lo que ha escrito en su lugar? Lo anterior quedará en el "
                "historial.");
            if (MsgBox(prompt, vbYesNo) != vbYes) return false;
        } catch (const orv::EngineError& e) {
            if (e.number() != orv::kErrRecordDeleted || again) throw;
            if (MsgBox(QStringLiteral("Este contacto se ha borrado en otra parte mientras lo "
                                      "modificaba.\nDesea guardarlo de nuevo con los datos "
                                      "escritos?"),
                       vbYesNo) != vbYes) {
                SiBotones();
                NoCajas();
                Data1.recordset()->MoveFirst();
                return false;
            }
            again = true;
        }
    }
}

void frmfinal::cbCancelar_Click() {
    SiBotones();
    NoCajas();
    try {
        Data1.recordset()->CancelUpdate();
    } catch (const orv::EngineError&) {
        // The change is dropped even when the stored row cannot be read
        // again (another program holds the file): the boxes show the values
        // last read, which the change never touched, not the cancelled text.
        Data1.currentChanged();
        throw;
    }
}

void frmfinal::cbModificar_Click() {
    orv::Recordset* rs = Data1.recordset();
    if (rs->RecordCount() == 0) {
        MsgBox(QStringLiteral("No hay registros para modificar!"));
        return;
    }
    try {
        // Reads the row anew: what the boxes show now is what Guardar
        // compares with.
        rs->Edit();
    } catch (const orv::EngineError& e) {
        if (!isGone(e)) throw;
        if (!rs->hasCurrent()) rs->MoveFirst();
        sayGone();
        return;
    }
    SiCajas();
    NoBotones();
}

void frmfinal::cbBorrar_Click() {
    orv::Recordset* rs = Data1.recordset();
    if (rs->RecordCount() != 0) {
        QString prompt = kBorrarPregunta;
        while (MsgBox(prompt, vbYesNo) == vbYes) {
            try {
                // A delete the engine refuses throws here: the contact stays shown.
                rs->Delete();
                Limpiador();
                break;
            } catch (const orv::DataChangedError&) {
                // Changed since it was shown: shown as it is now, asked again.
                prompt = QStringLiteral(
                             "Este contacto se ha cambiado en otra parte: ahora se ven sus "
                             "datos actuales.\n") +
                         kBorrarPregunta;
            } catch (const orv::EngineError& e) {
                if (!isGone(e)) throw;
                sayGone();
                break;
            }
        }
    } else {
        MsgBox(QStringLiteral("No hay registros para borrar!"));
    }
    Data1.Refresh();
}

void frmfinal::cbSalir_Click() {
    Unload();
}

void frmfinal::Cajas_KeyPress(qint16& KeyAscii) {
    if (KeyAscii == 13) {
        SendKeys(QStringLiteral("{Tab}"));
        KeyAscii = 0;
    }
}

}  // namespace orv::ui
