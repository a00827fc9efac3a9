#pragma once
// Spanish alphabetical order and its case- and accent-blind folding, our own
// tables so that the order never changes with a library upgrade (an index
// built with one order and read with another would be corrupt).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::collation {

// Stands for one byte that is not valid UTF-8; never a real code point.
inline constexpr char32_t kBadByte = 0x110000;

// Reads the code point at s[i] and advances i; an invalid or truncated
// sequence yields kBadByte and advances one byte.
char32_t decodeNext(std::string_view s, std::size_t& i);
std::u32string decode(std::string_view s);
void appendUtf8(std::string& out, char32_t c);

struct Key {
    std::uint32_t primary;   // letter, case and accents folded; ñ its own letter
    std::uint8_t secondary;  // which accent (0 none)
    std::uint8_t tertiary;   // 0 lower case, 1 upper case, 2 invalid byte
};
Key key(char32_t c);
inline std::uint32_t primary(char32_t c) {
    return key(c).primary;
}

// Total order: primary weights (a shorter prefix first), then accents, then
// case (lower first), then raw bytes.
int compare(std::string_view a, std::string_view b);

// The lowest string whose primary weights are exactly `weights`.
std::string lowestWithPrimary(const std::vector<std::uint32_t>& weights);
// The smallest primary weight above w that some character has, if any.
std::optional<std::uint32_t> nextPrimary(std::uint32_t w);
// A string above every string whose primary weights start with `prefix`
// and not above any string that sorts after all of them; nullopt when no
// such bound exists (or the prefix is empty).
std::optional<std::string> upperBoundForPrefix(std::vector<std::uint32_t> prefix);

}  // namespace orv::collation
