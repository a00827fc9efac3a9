#include "store/schema.h"

#include <string>

namespace orv::schema {

// Codigo is AUTOINCREMENT so that a deleted contact's code is never handed
// out again.
const char* const kCreateSql = R"sql(
CREATE TABLE Registros (
    Codigo INTEGER PRIMARY KEY AUTOINCREMENT,
    Nombre TEXT,
    Apellido TEXT,
    Domicilio TEXT,
    "Localidad/Provincia" TEXT,
    Telefono TEXT,
    "e-mail" TEXT,
    ICQ TEXT,
    "Mas info" TEXT,
    "Fecha de nacimiento" TEXT
);
CREATE INDEX RegistrosNombreExacto ON Registros (Nombre);
)sql";

// OrvPropiedades keeps a card's properties as they were read, one logical
// line each, for what the book has no column for (photos, keys, X- lines);
// a deleted contact's lines stay (codes are never given again), so that
// restoring it brings its photo back; they go when its history does.
// Every insert, delete and change of a name or code, ours or another
// program's, notes the code; the program rekeys the noted rows when it next
// reads the book. A change of other fields writes nothing more.
const char* const kCreateKeysSql = R"sql(
CREATE TABLE IF NOT EXISTS OrvMeta (Nombre TEXT PRIMARY KEY, Valor TEXT);
CREATE TABLE IF NOT EXISTS OrvClaves (Codigo INTEGER PRIMARY KEY, Clave BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS OrvClavesOrden ON OrvClaves (Clave, Codigo);
CREATE TABLE IF NOT EXISTS OrvCambios (Codigo INTEGER PRIMARY KEY);
CREATE INDEX IF NOT EXISTS RegistrosNombreExacto ON Registros (Nombre);
CREATE TRIGGER IF NOT EXISTS OrvAlta AFTER INSERT ON Registros BEGIN
    INSERT OR IGNORE INTO OrvCambios (Codigo) VALUES (NEW.Codigo);
END;
CREATE TRIGGER IF NOT EXISTS OrvCambio AFTER UPDATE OF Codigo, Nombre ON Registros
WHEN OLD.Codigo IS NOT NEW.Codigo OR OLD.Nombre IS NOT NEW.Nombre BEGIN
    INSERT OR IGNORE INTO OrvCambios (Codigo) VALUES (OLD.Codigo);
    INSERT OR IGNORE INTO OrvCambios (Codigo) VALUES (NEW.Codigo);
END;
CREATE TRIGGER IF NOT EXISTS OrvBaja AFTER DELETE ON Registros BEGIN
    INSERT OR IGNORE INTO OrvCambios (Codigo) VALUES (OLD.Codigo);
END;
CREATE TABLE IF NOT EXISTS OrvPropiedades (
    Codigo INTEGER NOT NULL, Orden INTEGER NOT NULL, Linea TEXT NOT NULL,
    PRIMARY KEY (Codigo, Orden)) WITHOUT ROWID;
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
