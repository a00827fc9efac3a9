#pragma once
// Spanish alphabetical order and its case- and accent-blind matching, over
// all of Unicode through ICU. A name is read as a run of characters, each a
// base letter with its marks (canonically equivalent texts read the same);
// a character's weight is ICU's primary weight of its base letter ("ñ" keeps
// its own), so letter case and accents never count, and characters with no
// weight (controls, lone marks) are skipped.

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

// A weight packs up to eight bytes of ICU's primary weight big-endian, so
// that weights compare as the order does; 0 is "no weight".
using Weight = std::uint64_t;

// The weights of a text's characters, weightless ones left out.
void weights(std::string_view text, std::vector<Weight>& out);
// The weight of one character as a pattern names it.
Weight weight(char32_t c);
// Every weight of one character: a Hangul syllable decomposes into several
// letters, and a name's text is weighed by those letters.
void characterWeights(char32_t c, std::vector<Weight>& out);
bool isDigit(Weight w);

// The key that orders a name: its weights, then ICU's accent and case levels
// (lower case first), then its bytes. Keys compare bytewise; a null name's
// key is empty and sorts first. Rows with equal names go in code order.
std::string sortKey(std::string_view text);
// Keys of every name whose weights begin with `prefix` lie in [lo, hi);
// hi is nullopt when nothing bounds them from above.
struct KeyRange {
    std::string lo;
    std::optional<std::string> hi;
};
KeyRange prefixRange(const std::vector<Weight>& prefix);
// The order of two names, as their keys give it.
int compare(std::string_view a, std::string_view b);

// Names the collation data the keys were made with: a book keyed with
// another version is rekeyed.
std::string version();

}  // namespace orv::collation
