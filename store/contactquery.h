#pragma once
// The contact query: the text the results window opens, built from the
// shared strings sFiltro and sOrigen.

#include <optional>
#include <string>

namespace orv {

// For sOrigen "Registros" (exact, case-sensitive): "Select * From Registros
// WHERE Nombre like '<sFiltro>*'ORDER BY Nombre". A quote in sFiltro is
// doubled, so that it stays an ordinary character of the pattern. Any other
// source gives no query.
std::optional<std::string> contactQuery(const std::string& sFiltro, const std::string& sOrigen);

}  // namespace orv
