#pragma once
// The three strings shared between the windows.

#include <QString>

namespace orvmod {

extern QString sFiltro;  // name prefix for the next results window
extern QString sOrigen;  // record source for the next results window ("Registros")
extern QString sCodigo;  // code of the contact chosen in the results window, as text

}  // namespace orvmod
