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

// Nothing in the book names a collation or function of ours, so any SQLite
// tool can read and change it. The order lives in a key table beside it.
inline constexpr std::string_view kKeyTable = "OrvClaves";  // Codigo, Clave; index OrvClavesOrden
inline constexpr std::string_view kChangeTable = "OrvCambios";        // codes changed since keyed
inline constexpr std::string_view kMetaTable = "OrvMeta";             // Nombre, Valor
inline constexpr std::string_view kPropertyTable = "OrvPropiedades";  // Codigo, Orden, Linea
// Plain (binary) index on Nombre, for exact look-ups by name.
inline constexpr std::string_view kNameIndex = "RegistrosNombreExacto";
// The previous release's collation (its name index was RegistrosNombre).
inline constexpr std::string_view kOldCollation = "ESPANOL";

// CREATE TABLE and CREATE INDEX statements of Registros.
extern const char* const kCreateSql;
// Our side tables, their index and the triggers that note foreign changes;
// each IF NOT EXISTS, so that running it again mends what is missing.
extern const char* const kCreateKeysSql;

// A column name quoted for SQL ("e-mail" -> "\"e-mail\"").
std::string quoted(std::string_view column);
// Columns from `from` to the last, quoted and separated by ", ".
std::string columnList(Col from = kCodigo);

}  // namespace schema
}  // namespace orv
