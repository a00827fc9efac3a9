// The record-source dialect: a bare table name, or a select on it with an
// optional name pattern and an optional order by name.

#include "store/ascii.h"
#include "store/recordsets.h"

namespace orv::detail {

namespace {

// ASCII only: the process locale (set by the toolkit) must not change parsing.
bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool isNameChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    const char l = ascii::lower(c);
    return (c >= '0' && c <= '9') || (l >= 'a' && l <= 'z') || c == '_' || u >= 0x80;
}

class Parser {
  public:
    explicit Parser(std::string_view text) : s_(text) {}

    void skipBlanks() {
        while (i_ < s_.size() && isBlank(s_[i_])) ++i_;
    }
    bool atEnd() {
        skipBlanks();
        return i_ == s_.size();
    }
    // A keyword or name, case-blind, not followed by another name character.
    bool word(std::string_view w) {
        skipBlanks();
        if (s_.size() - i_ < w.size() || !ascii::iequals(s_.substr(i_, w.size()), w)) return false;
        const std::size_t end = i_ + w.size();
        if (end < s_.size() && isNameChar(s_[end])) return false;
        i_ = end;
        return true;
    }
    bool symbol(char c) {
        skipBlanks();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    // '...' with '' standing for one quote.
    std::optional<std::string> quoted() {
        if (!symbol('\'')) return std::nullopt;
        std::string out;
        while (i_ < s_.size()) {
            const char c = s_[i_++];
            if (c != '\'') {
                out += c;
            } else if (i_ < s_.size() && s_[i_] == '\'') {
                out += '\'';
                ++i_;
            } else {
                return out;
            }
        }
        return std::nullopt;
    }

  private:
    std::string_view s_;
    std::size_t i_ = 0;
};

}  // namespace

ParsedQuery parseQuery(std::string_view query) {
    const auto invalid = [&] {
        return EngineError(kErrInvalidQuery, "Consulta no válida: '" + std::string(query) + "'.");
    };
    ParsedQuery q;
    Parser p(query);
    if (p.word("Registros")) {
        if (!p.atEnd()) throw invalid();
        q.wholeTable = true;
        return q;
    }
    if (!p.word("Select") || !p.symbol('*') || !p.word("From") || !p.word("Registros"))
        throw invalid();
    if (p.word("WHERE")) {
        if (!p.word("Nombre") || !p.word("like")) throw invalid();
        q.pattern = p.quoted();
        if (!q.pattern) throw invalid();
    }
    if (p.word("ORDER")) {
        if (!p.word("BY") || !p.word("Nombre")) throw invalid();
        q.orderByName = true;
    }
    p.symbol(';');
    if (!p.atEnd()) throw invalid();
    return q;
}

}  // namespace orv::detail
