#pragma once
// What several of orvane-db's commands share: their arguments' checks and
// the pieces of their messages.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/import.h"
#include "store/contact.h"
#include "tools/orvane-db/commands.h"

namespace orv::db {

// What failed, and why in the system's words (in Spanish): "no se puede leer
// x.csv: permiso denegado". Callers take errno before building the text.
ToolError systemFailure(const std::string& what, int err);
// Throws ToolError when something, even a dangling link, is at `path`.
void refuseExisting(const std::string& path);

// "1 contacto", "2 contactos".
std::string plural(std::size_t n, const char* one, const char* many);
// "José Pérez" (printable), "(sin nombre)" without either.
std::string contactName(const Contact& c);

// A contact's code as typed; nullopt unless digits only.
std::optional<std::int64_t> contactCode(const std::string& s);
// A whole decimal number; nullopt for anything else.
std::optional<std::uint64_t> wholeNumber(const std::string& s);

// The format --format names, else the file's name, else (reading) its first
// line says. Throws UsageError when none does, or for export one it cannot
// write.
exchange::Format chooseFormat(const Invocation& a, const std::string& path, bool reading);

// Appends `s` as `list` writes a field: tab, line breaks and backslash as \t,
// \n, \r, \\, any other control character or invalid byte as \xHH or \u00HH.
void appendListed(std::string& out, std::string_view s);

}  // namespace orv::db
