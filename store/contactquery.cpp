#include "store/contactquery.h"

namespace orv {

std::optional<std::string> contactQuery(const std::string& sFiltro, const std::string& sOrigen) {
    if (sOrigen != "Registros") return std::nullopt;
    std::string q = "Select * From Registros WHERE Nombre like '";
    for (char c : sFiltro) {
        q += c;
        if (c == '\'') q += '\'';  // a quote stays part of the pattern
    }
    return q + "*'ORDER BY Nombre";
}

}  // namespace orv
