#pragma once
// The contact table Registros: its columns, in the table's own order, and
// the SQL that creates it. The one place that knows the schema.

#include <array>
#include <string_view>

namespace orv::schema {

inline constexpr std::string_view kTable = "Registros";
inline constexpr std::array<std::string_view, 10> kColumns = {
    "Codigo",   "Nombre", "Apellido", "Domicilio", "Localidad/Provincia",
    "Telefono", "e-mail", "ICQ",      "Mas info",  "Fecha de nacimiento"};
inline constexpr std::string_view kCode = "Codigo";
inline constexpr std::string_view kName = "Nombre";
inline constexpr std::string_view kBirthDate = "Fecha de nacimiento";

// The collation registered on every connection (Spanish order).
inline constexpr std::string_view kCollation = "ESPANOL";

// CREATE TABLE and CREATE INDEX statements.
extern const char* const kCreateSql;

// A column name quoted for SQL ("e-mail" -> "\"e-mail\"").
std::string quoted(std::string_view column);

}  // namespace orv::schema
