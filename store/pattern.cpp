#include "store/pattern.h"

#include <unicode/uchar.h>

#include "store/collation.h"
#include "store/engine.h"

namespace orv {

namespace {

std::string utf8(std::u32string_view s) {
    std::string out;
    for (char32_t c : s) collation::appendUtf8(out, c);
    return out;
}

// Reused between calls: the SQL function runs once per row.
thread_local std::vector<collation::Weight> tlsWeights;

}  // namespace

Pattern::Pattern(std::string_view pattern, char32_t escape) : escape_(escape) {
    const std::u32string p = collation::decode(pattern);
    const std::size_t n = p.size();
    // Every "[" must be closed before any list is read, so that "[a-" is
    // reported as the unclosed list it is, whatever follows it.
    for (std::size_t i = 0; i < n; ++i) {
        if (escape_ && p[i] == escape_) {
            ++i;
        } else if (p[i] == '[') {
            std::size_t j = i + 1;
            if (j < n && p[j] == '!') ++j;
            while (j < n && p[j] != ']') j += escape_ && p[j] == escape_ ? 2 : 1;
            if (j >= n)
                throw EngineError(
                    kErrInvalidPattern,
                    "Patrón no válido: falta el cierre de '[' en '" + std::string(pattern) + "'.");
            i = j;
        }
    }
    // Reads one list member at j, honouring the escape character.
    auto member = [&](std::size_t& j) {
        if (escape_ && p[j] == escape_ && j + 1 < n) ++j;
        return p[j++];
    };
    bool literalsOnly = true;
    std::vector<collation::Weight> letters;
    char32_t lastLiteral = 0;  // the character of the token before, when a literal
    for (std::size_t i = 0; i < n;) {
        char32_t c = p[i];
        Token t{Kind::Literal};
        const bool escaped = escape_ && c == escape_ && i + 1 < n;
        if (escaped) c = p[++i];
        // A mark belongs to the character before it: n + tilde is ñ. A name
        // that begins with a mark weighs it as a letter, and so does a pattern.
        if (!escaped && i > 0 && u_getCombiningClass(static_cast<UChar32>(c)) != 0) {
            ++i;
            if (c == 0x303 && (lastLiteral == 'n' || lastLiteral == 'N')) {
                tokens_.back().weight = collation::weight(0xF1);
                if (literalsOnly) prefix_.back() = tokens_.back().weight;
                lastLiteral = 0xF1;
            }
            continue;
        }
        lastLiteral = 0;
        if (escaped) {
            t.weight = collation::weight(c);
            ++i;
            lastLiteral = c;
        } else if (c == '*') {
            ++i;
            if (!tokens_.empty() && tokens_.back().kind == Kind::Star) continue;
            t.kind = Kind::Star;
        } else if (c == '?') {
            ++i;
            t.kind = Kind::AnyOne;
        } else if (c == '#') {
            ++i;
            t.kind = Kind::Digit;
        } else if (c == '[') {
            std::size_t j = i + 1;
            bool negate = false;
            if (j < n && p[j] == '!') {
                negate = true;
                ++j;
            }
            t.first = static_cast<std::uint32_t>(ranges_.size());
            while (p[j] != ']') {
                const char32_t lo = member(j);
                char32_t hi = lo;
                if (j + 1 < n && p[j] == '-' && p[j + 1] != ']') {
                    ++j;
                    hi = member(j);
                }
                const collation::Weight wlo = collation::weight(lo), whi = collation::weight(hi);
                if (wlo > whi)
                    throw EngineError(kErrInvalidPattern, "Patrón no válido: el intervalo '" +
                                                              utf8(std::u32string{lo, '-', hi}) +
                                                              "' es descendente.");
                ranges_.push_back({wlo, whi});
            }
            i = j + 1;
            t.last = static_cast<std::uint32_t>(ranges_.size());
            // "[]" matches the empty string; "[!]" any one character.
            if (t.first == t.last && !negate) continue;
            t.kind = negate ? Kind::NotSet : Kind::Set;
        } else {
            ++i;
            lastLiteral = c;
            // A character weighed as several letters (a Hangul syllable) is
            // as many literals, as its name is weighed.
            collation::characterWeights(c, letters);
            for (std::size_t k = 0; k + 1 < letters.size(); ++k) {
                if (literalsOnly) prefix_.push_back(letters[k]);
                tokens_.push_back(Token{Kind::Literal, letters[k]});
            }
            t.weight = letters.empty() ? 0 : letters.back();
        }
        // A character with no weight is skipped in names too.
        if (t.kind == Kind::Literal && t.weight == 0) continue;
        if (t.kind != Kind::Literal) literalsOnly = false;
        if (literalsOnly) prefix_.push_back(t.weight);
        tokens_.push_back(t);
    }
    all_ = tokens_.size() == 1 && tokens_[0].kind == Kind::Star;
}

bool Pattern::tokenMatches(const Token& t, collation::Weight w) const {
    switch (t.kind) {
        case Kind::Literal:
            return t.weight == w;
        case Kind::AnyOne:
            return true;
        case Kind::Digit:
            return collation::isDigit(w);
        case Kind::Set:
        case Kind::NotSet: {
            bool in = false;
            for (std::uint32_t r = t.first; r < t.last && !in; ++r)
                in = w >= ranges_[r].lo && w <= ranges_[r].hi;
            return in == (t.kind == Kind::Set);
        }
        case Kind::Star:
            break;
    }
    return false;
}

// Every token but "*" takes exactly one character, so on a mismatch it is
// enough to let the last "*" take one character more: no earlier "*" can do
// better. That bounds the work by len(text) x len(pattern).
bool Pattern::matchWeights(const collation::Weight* text, std::size_t n, std::size_t* steps) const {
    const std::size_t m = tokens_.size();
    std::size_t ti = 0, pi = 0, count = 0;
    std::size_t starP = m, starT = 0;  // starP == m: no "*" seen yet
    bool result = false;
    for (;;) {
        ++count;
        if (pi < m && tokens_[pi].kind == Kind::Star) {
            if (pi + 1 == m) {  // a final "*" takes whatever is left
                result = true;
                break;
            }
            starP = pi++;
            starT = ti;
            continue;
        }
        if (ti == n) {
            result = pi == m;
            break;
        }
        if (pi < m && tokenMatches(tokens_[pi], text[ti])) {
            ++ti;
            ++pi;
        } else if (starP != m) {
            pi = starP + 1;
            ti = ++starT;
        } else {
            break;
        }
    }
    if (steps) *steps = count;
    return result;
}

bool Pattern::matches(std::u32string_view text, std::size_t* steps) const {
    return matches(std::string_view(utf8(text)), steps);
}

bool Pattern::matches(std::string_view text, std::size_t* steps) const {
    if (all_) {
        if (steps) *steps = 1;
        return true;
    }
    auto& w = tlsWeights;
    collation::weights(text, w);
    return matchWeights(w.data(), w.size(), steps);
}

}  // namespace orv
