#include "exchange/address.h"

namespace orv::exchange {

std::string joined(std::initializer_list<std::string_view> parts, std::string_view sep) {
    std::string out;
    for (std::string_view p : parts) {
        if (p.empty()) continue;
        if (!out.empty()) out += sep;
        out += p;
    }
    return out;
}

std::string domicilio(std::string_view street, std::string_view extended, std::string_view poBox) {
    return joined({street, extended, poBox}, ", ");
}

std::string townLine(std::string_view postcode, std::string_view town) {
    return joined({postcode, town}, " ");
}

std::string localidad(std::string_view townLine, std::string_view region) {
    std::string out(townLine);
    if (!townLine.empty() && !region.empty()) out += '/';
    return out.append(region);
}

std::pair<std::string, std::string> townAndRegion(std::string_view localidad) {
    const std::size_t slash = localidad.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 >= localidad.size())
        return {std::string(localidad), {}};
    return {std::string(localidad.substr(0, slash)), std::string(localidad.substr(slash + 1))};
}

}  // namespace orv::exchange
