#pragma once
// The query's name pattern: "*" any run, "?" one character, "#" one digit,
// "[abc]", "[a-z]", "[!a-z]" one character of (or not of) a list; "[*]",
// "[?]", "[#]" and "[[]" the character itself. Everything else, "]", "!",
// "%" and "_" included, is an ordinary character. Characters compare by
// their collation weight: case and accents never count, "ñ" is a letter of
// its own, and a weightless character is skipped.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/collation.h"

namespace orv {

class Pattern {
  public:
    // Compiles a UTF-8 pattern; an unclosed "[" or a descending range throws
    // EngineError kErrInvalidPattern. With an escape character, the character
    // after it is always an ordinary one.
    explicit Pattern(std::string_view pattern, char32_t escape = 0);

    // Matching costs at most about len(text) x len(pattern) steps; `steps`,
    // when given, receives how many were taken.
    bool matches(std::u32string_view text, std::size_t* steps = nullptr) const;
    bool matches(std::string_view utf8, std::size_t* steps = nullptr) const;

    // Weights of the ordinary characters before the first wildcard or list:
    // every matching text begins with them.
    const std::vector<collation::Weight>& prefixWeights() const { return prefix_; }
    // The pattern is only "*"s: every text matches.
    bool matchesAll() const { return all_; }
    char32_t escape() const { return escape_; }

  private:
    enum class Kind : std::uint8_t { Literal, AnyOne, Digit, Star, Set, NotSet };
    struct Token {
        Kind kind;
        collation::Weight weight = 0;       // Literal
        std::uint32_t first = 0, last = 0;  // Set/NotSet: range into ranges_
    };
    struct Range {
        collation::Weight lo, hi;  // inclusive
    };

    bool tokenMatches(const Token& t, collation::Weight w) const;
    bool matchWeights(const collation::Weight* text, std::size_t n, std::size_t* steps) const;

    std::vector<Token> tokens_;
    std::vector<Range> ranges_;
    std::vector<collation::Weight> prefix_;
    bool all_ = false;
    char32_t escape_ = 0;
};

}  // namespace orv
