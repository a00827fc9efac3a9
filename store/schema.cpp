#include "store/schema.h"

#include <string>

namespace orv::schema {

// Codigo is AUTOINCREMENT so that a deleted contact's code is never handed
// out again. Nombre carries the Spanish collation, so that ORDER BY Nombre
// and the index agree; the index also makes a prefix a seek.
const char* const kCreateSql = R"sql(
CREATE TABLE Registros (
    Codigo INTEGER PRIMARY KEY AUTOINCREMENT,
    Nombre TEXT COLLATE ESPANOL,
    Apellido TEXT,
    Domicilio TEXT,
    "Localidad/Provincia" TEXT,
    Telefono TEXT,
    "e-mail" TEXT,
    ICQ TEXT,
    "Mas info" TEXT,
    "Fecha de nacimiento" TEXT
);
CREATE INDEX RegistrosNombre ON Registros (Nombre);
)sql";

std::string quoted(std::string_view column) {
    std::string out = "\"";
    for (char c : column) {
        out += c;
        if (c == '"') out += '"';
    }
    out += '"';
    return out;
}

std::string columnList(Col from) {
    std::string s;
    for (std::size_t c = from; c < kColumnCount; ++c)
        s += (c > from ? ", " : "") + quoted(kColumns[c]);
    return s;
}

}  // namespace orv::schema
