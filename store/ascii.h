#pragma once
// ASCII-only letter case, for SQL names and file-format keywords: the
// process locale (set by the toolkit) must not change how they compare.

#include <cstddef>
#include <string_view>

namespace orv::ascii {

constexpr char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace orv::ascii
