#pragma once
// The contact table Registros: its columns, in the table's own order, and
// the SQL that creates it. The one place that knows the schema.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace orv {

// A column of Registros, by its place in the table.
enum Col : std::size_t {
    kCodigo,
    kNombre,
    kApellido,
    kDomicilio,
    kLocalidad,
    kTelefono,
    kEmail,
    kIcq,
    kMasInfo,
    kFecha,
    kColumnCount
};

namespace schema {

inline constexpr std::string_view kTable = "Registros";
// Column names, indexed by Col.
inline constexpr std::array<std::string_view, kColumnCount> kColumns = {
    "Codigo",   "Nombre", "Apellido", "Domicilio", "Localidad/Provincia",
    "Telefono", "e-mail", "ICQ",      "Mas info",  "Fecha de nacimiento"};
// The two columns the windows bind by name.
inline constexpr std::string_view kCode = kColumns[kCodigo];
inline constexpr std::string_view kBirthDate = kColumns[kFecha];

// The collation registered on every connection (Spanish order).
inline constexpr std::string_view kCollation = "ESPANOL";

// CREATE TABLE and CREATE INDEX statements.
extern const char* const kCreateSql;

// A column name quoted for SQL ("e-mail" -> "\"e-mail\"").
std::string quoted(std::string_view column);
// Columns from `from` to the last, quoted and separated by ", ".
std::string columnList(Col from = kCodigo);

}  // namespace schema
}  // namespace orv
