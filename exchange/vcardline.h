#pragma once
// A vCard's content lines, as every reader and writer of cards here sees
// them: folding (and 2.1's quoted-printable soft line breaks), a line's
// name, group and parameters, escapes, quoted-printable, base64.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/ascii.h"

namespace orv::exchange {

std::string decodeQuotedPrintable(std::string_view s);
std::optional<std::string> decodeBase64(std::string_view s);
std::string escapeText(std::string_view s);
std::string unescapeText(std::string_view s);
// A content line (without its line end) folded at 75 octets, never inside a
// UTF-8 sequence, each physical line ended by CRLF.
std::string foldLine(std::string_view line);
// Where a content line's value starts: the first ':' outside double quotes,
// npos if none.
std::size_t valueColon(std::string_view line);
// Splits on separators that are not escaped by a backslash; the parts keep
// their escapes.
std::vector<std::string_view> splitUnescaped(std::string_view s, char sep);
// The logical lines of a card's body (folds joined, and in 2.1 the soft
// line breaks of quoted-printable values), each with its first physical
// line. `steps`, when given, counts the bytes looked at: never more than a
// few times the body's size.
struct LogicalLine {
    std::string text;
    long line = 0;
};
std::vector<LogicalLine> unfold(const std::vector<std::pair<std::string_view, long>>& body,
                                bool v21, std::size_t* steps = nullptr);

struct Param {
    std::string name;  // upper case; empty for a bare 2.1 value ("HOME")
    std::string value;
};

struct Property {
    std::string name;   // upper case, group prefix removed
    std::string group;  // "item1" of item1.TEL, upper case
    std::vector<Param> params;
    std::string_view raw;  // the value as written
    long line = 0;

    // A parameter's value, or for a bare 2.1 parameter the bare word.
    std::optional<std::string> param(std::string_view key) const {
        for (const Param& p : params)
            if (p.name == key) return p.value;
        return std::nullopt;
    }
    bool bare(std::string_view word) const {
        for (const Param& p : params)
            if (p.name.empty() && ascii::iequals(p.value, word)) return true;
        return false;
    }
    bool quotedPrintable() const {
        auto e = param("ENCODING");
        return (e && ascii::iequals(*e, "QUOTED-PRINTABLE")) || bare("QUOTED-PRINTABLE");
    }
};

// A logical line's name, group and parameters; nullopt when it has no value
// colon or no name.
std::optional<Property> parseProperty(std::string_view line, long lineNo = 0);

}  // namespace orv::exchange
