#pragma once
// The book keeps an address (a card's ADR, a file's address columns) in two
// fields: "Domicilio", the street with the extended address and the post
// box; "Localidad/Provincia", the postal code and the town, then a slash and
// the region. Reading, writing and merging cards all go through here.

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace orv::exchange {

// The parts that have text, joined by `sep`.
std::string joined(std::initializer_list<std::string_view> parts, std::string_view sep);

// "Calle Mayor 1, Portal 2, Apartado 3".
std::string domicilio(std::string_view street, std::string_view extended, std::string_view poBox);
// "28001 Madrid": the postal code goes before the town, as on an envelope.
std::string townLine(std::string_view postcode, std::string_view town);
// "28001 Madrid/Madrid"; no slash when either side is empty.
std::string localidad(std::string_view townLine, std::string_view region);
// "Localidad/Provincia" as a town and a region: split at its first slash
// when both sides have text, so that joining them again gives the same
// text; else all of it is the town.
std::pair<std::string, std::string> townAndRegion(std::string_view localidad);

}  // namespace orv::exchange
