#pragma once
// The system's errors (errno values) said in Spanish: the C library's own
// texts follow the locale, and most machines only have them in English.

#include <string>

namespace orv {

// "permiso denegado", "no existe el archivo o la carpeta"...; an errno without
// a text of its own is "error del sistema N".
std::string systemErrorText(int err);

}  // namespace orv
