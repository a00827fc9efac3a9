#pragma once
// The query's name pattern: "*" any run, "?" one character, "#" one digit,
// "[abc]", "[a-z]", "[!a-z]" one character of (or not of) a list; "[*]",
// "[?]", "[#]" and "[[]" the character itself. Everything else, "]", "!",
// "%" and "_" included, is an ordinary character. Letters compare without
// regard to case or accents, but "ñ" is a letter of its own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

    // Primary weights of the ordinary characters before the first wildcard
    // or list: every matching text begins with them.
    const std::vector<std::uint32_t>& prefixWeights() const { return prefix_; }
    // The pattern is only "*"s: every text matches.
    bool matchesAll() const { return all_; }
    char32_t escape() const { return escape_; }

  private:
    enum class Kind : std::uint8_t { Literal, AnyOne, Digit, Star, Set, NotSet };
    struct Token {
        Kind kind;
        std::uint32_t weight = 0;           // Literal
        std::uint32_t first = 0, last = 0;  // Set/NotSet: range into ranges_
    };
    struct Range {
        std::uint32_t lo, hi;  // primary weights, inclusive
    };

    bool tokenMatches(const Token& t, std::uint32_t w) const;
    bool matchWeights(const std::uint32_t* text, std::size_t n, std::size_t* steps) const;

    std::vector<Token> tokens_;
    std::vector<Range> ranges_;
    std::vector<std::uint32_t> prefix_;
    bool all_ = false;
    char32_t escape_ = 0;
};

}  // namespace orv
