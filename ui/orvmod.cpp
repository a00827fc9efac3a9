#include "ui/orvmod.h"

namespace orvmod {

QString sFiltro;
QString sOrigen;
QString sCodigo;

}  // namespace orvmod
