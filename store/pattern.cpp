#include "store/pattern.h"

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
thread_local std::vector<std::uint32_t> tlsWeights;

}  // namespace

Pattern::Pattern(std::string_view pattern, char32_t escape) : escape_(escape) {
    const std::u32string p = collation::decode(pattern);
    const std::size_t n = p.size();
    auto unclosed = [&]() {
        return EngineError(kErrInvalidPattern, "Patrón no válido: falta el cierre de '[' en '" +
                                                   std::string(pattern) + "'.");
    };
    // Reads one list member at j, honouring the escape character.
    auto member = [&](std::size_t& j) {
        if (escape_ && p[j] == escape_ && j + 1 < n) ++j;
        return p[j++];
    };
    bool literalsOnly = true;
    for (std::size_t i = 0; i < n;) {
        const char32_t c = p[i];
        Token t{Kind::Literal};
        if (escape_ && c == escape_ && i + 1 < n) {
            t.weight = collation::primary(p[i + 1]);
            i += 2;
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
            for (;;) {
                if (j >= n) throw unclosed();
                if (p[j] == ']') break;
                const char32_t lo = member(j);
                char32_t hi = lo;
                if (j + 1 < n && p[j] == '-' && p[j + 1] != ']') {
                    ++j;
                    hi = member(j);
                }
                const std::uint32_t wlo = collation::primary(lo), whi = collation::primary(hi);
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
            t.weight = collation::primary(c);
            ++i;
        }
        if (t.kind != Kind::Literal) literalsOnly = false;
        if (literalsOnly) prefix_.push_back(t.weight);
        tokens_.push_back(t);
    }
    all_ = tokens_.size() == 1 && tokens_[0].kind == Kind::Star;
}

bool Pattern::tokenMatches(const Token& t, std::uint32_t w) const {
    switch (t.kind) {
        case Kind::Literal:
            return t.weight == w;
        case Kind::AnyOne:
            return true;
        case Kind::Digit:
            return w >= '0' * 4 && w <= '9' * 4 && w % 4 == 0;
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
bool Pattern::matchWeights(const std::uint32_t* text, std::size_t n, std::size_t* steps) const {
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
    auto& w = tlsWeights;
    w.clear();
    for (char32_t c : text) w.push_back(collation::primary(c));
    return matchWeights(w.data(), w.size(), steps);
}

bool Pattern::matches(std::string_view text, std::size_t* steps) const {
    if (all_) {
        if (steps) *steps = 1;
        return true;
    }
    auto& w = tlsWeights;
    w.clear();
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            w.push_back(collation::primary(b));
            ++i;
        } else {
            w.push_back(collation::primary(collation::decodeNext(text, i)));
        }
    }
    return matchWeights(w.data(), w.size(), steps);
}

}  // namespace orv
