// The name pattern: the first line of the input is a pattern, every further
// line a name (the pattern's own text is a name too). Compiling may only fail
// as an invalid pattern; matching must keep to its step bound, and what it
// finds must agree with the prefix the query seeks on.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzcheck.h"
#include "store/collation.h"
#include "store/engine.h"
#include "store/pattern.h"

using namespace orv;

namespace {

void checkName(const Pattern& p, std::string_view pattern, std::size_t m, std::string_view name) {
    const std::u32string wide = collation::decode(name);
    // Work is bounded by the name's letters times the pattern's; a pattern
    // character weighs at most three letters (a Hangul syllable).
    std::vector<collation::Weight> letters;
    collation::weights(name, letters);
    const std::size_t bound = 2 * (letters.size() + 1) * (3 * m + 1);
    std::size_t steps = 0, wideSteps = 0;
    const bool match = p.matches(name, &steps);
    FUZZ_CHECK(steps <= bound, std::to_string(steps) + " steps");
    FUZZ_CHECK(p.matches(std::u32string_view(wide), &wideSteps) == match, "UTF-8 and wide differ");
    FUZZ_CHECK(wideSteps <= bound, std::to_string(wideSteps) + " steps");
    if (p.matchesAll()) FUZZ_CHECK(match, "a pattern of stars refused a name");
    if (!match) return;

    // Every match begins with the literal prefix, and its key lies inside
    // the key range that the query seeks on; a name outside it would go unlisted.
    const auto& prefix = p.prefixWeights();
    std::vector<collation::Weight> weights;
    collation::weights(name, weights);
    FUZZ_CHECK(weights.size() >= prefix.size(), "match shorter than the prefix");
    for (std::size_t i = 0; i < prefix.size(); ++i)
        FUZZ_CHECK(weights[i] == prefix[i], "match outside the prefix");
    const collation::KeyRange range = collation::prefixRange(prefix);
    const std::string key = collation::sortKey(name);
    FUZZ_CHECK(key >= range.lo, "match below the seek range");
    if (range.hi) FUZZ_CHECK(key < *range.hi, "match above the seek range");
    // More stars can only match more.
    FUZZ_CHECK(Pattern(std::string(pattern) + "*").matches(name), "p* refused a match of p");
    FUZZ_CHECK(Pattern("*" + std::string(pattern)).matches(name), "*p refused a match of p");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t eol = input.find('\n');
    const std::string_view pattern = input.substr(0, eol);
    std::vector<std::string_view> names{pattern};
    for (std::size_t at = eol; at != std::string_view::npos && names.size() < 64;) {
        const std::size_t next = input.find('\n', at + 1);
        names.push_back(
            input.substr(at + 1, next == std::string_view::npos ? next : next - at - 1));
        at = next;
    }

    std::unique_ptr<Pattern> p;
    try {
        p = std::make_unique<Pattern>(pattern);
    } catch (const EngineError& e) {
        FUZZ_CHECK(e.number() == kErrInvalidPattern, "compile failed as " + e.text());
        FUZZ_CHECK(pattern.find('[') != std::string_view::npos, "invalid without a '['");
        return 0;
    }
    const std::size_t m = collation::decode(pattern).size();
    for (std::string_view name : names) checkName(*p, pattern, m, name);

    // A name made of the pattern's ordinary characters matches itself.
    if (pattern.find_first_of("*?#[") == std::string_view::npos)
        FUZZ_CHECK(p->matches(pattern), "a plain pattern refused its own text");
    return 0;
}
