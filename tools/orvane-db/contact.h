#pragma once
// One contact as the tool moves it around: every column of Registros in the
// table's own order, nullopt for a null.

#include <array>
#include <cstddef>
#include <string>

#include "store/engine.h"
#include "store/schema.h"

namespace orv::db {

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
static_assert(kColumnCount == schema::kColumns.size());
static_assert(schema::kColumns[kNombre] == schema::kName);
static_assert(schema::kColumns[kFecha] == schema::kBirthDate);
static_assert(schema::kColumns[kMasInfo] == "Mas info");

using Contact = std::array<Value, kColumnCount>;

// Where a contact came from in an input file, for messages.
struct Located {
    Contact contact;
    long line = 0;
};

// Two contacts are the same person when name, surname and date of birth are
// equal, nulls equal to nulls only. The key is what the duplicate check hashes.
std::string duplicateKey(const Value& nombre, const Value& apellido, const Value& fecha);
inline std::string duplicateKey(const Contact& c) {
    return duplicateKey(c[kNombre], c[kApellido], c[kFecha]);
}

}  // namespace orv::db
