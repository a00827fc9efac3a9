#include "exchange/text.h"

#include <array>
#include <cstdint>

#include "store/collation.h"
#include "store/dates.h"

namespace orv::exchange {

bool validUtf8(std::string_view s) {
    std::size_t i = 0, n = s.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (int k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::string_view withoutBom(std::string_view s) {
    if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
    return s;
}

namespace {

// windows-1252 0x80..0x9F; 0 marks the five bytes it leaves undefined, which
// are passed through as the C1 controls ISO-8859-1 gives them.
constexpr std::array<std::uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::uint32_t latin9(unsigned char c) {
    switch (c) {
        case 0xA4:
            return 0x20AC;
        case 0xA6:
            return 0x0160;
        case 0xA8:
            return 0x0161;
        case 0xB4:
            return 0x017D;
        case 0xB8:
            return 0x017E;
        case 0xBC:
            return 0x0152;
        case 0xBD:
            return 0x0153;
        case 0xBE:
            return 0x0178;
        default:
            return c;
    }
}

// Lower-case letters and digits only, so "ISO_8859-1", "iso8859-1" and
// "ISO-8859-1" compare equal.
std::string looseName(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c >= 'A' && c <= 'Z')
            out += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            out += c;
    }
    return out;
}

}  // namespace

std::string fromWindows1252(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        std::uint32_t cp = c;
        if (c >= 0x80 && c <= 0x9F && kCp1252High[c - 0x80]) cp = kCp1252High[c - 0x80];
        collation::appendUtf8(out, cp);
    }
    return out;
}

std::optional<std::string> decodeText(std::string_view bytes) {
    const bool le = bytes.substr(0, 2) == "\xFF\xFE", be = bytes.substr(0, 2) == "\xFE\xFF";
    if (!le && !be) {
        bytes = withoutBom(bytes);
        if (validUtf8(bytes)) return std::string(bytes);
        return fromWindows1252(bytes);
    }
    if (bytes.size() % 2) return std::nullopt;
    const auto unit = [&](std::size_t i) {
        const auto a = static_cast<unsigned char>(bytes[i]),
                   b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<std::uint32_t>(le ? a | b << 8 : a << 8 | b);
    };
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 2; i < bytes.size(); i += 2) {
        std::uint32_t cp = unit(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 2 >= bytes.size()) return std::nullopt;
            const std::uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        collation::appendUtf8(out, cp);
    }
    return out;
}

std::optional<std::string> toUtf8(std::string_view bytes, std::string_view charset) {
    const std::string name = looseName(charset);
    if (name == "utf8" || name == "usascii" || name == "ascii") {
        if (!validUtf8(bytes)) return std::nullopt;
        return std::string(bytes);
    }
    if (name == "windows1252" || name == "cp1252" || name == "xansi" || name == "ansi")
        return fromWindows1252(bytes);
    const bool latin1 = name == "iso88591" || name == "latin1" || name == "l1";
    const bool latin9Set = name == "iso885915" || name == "latin9";
    if (!latin1 && !latin9Set) return std::nullopt;
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        collation::appendUtf8(out, latin9Set ? latin9(c) : c);
    }
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

void appendBackslashed(std::string& out, std::string_view s, std::string_view special) {
    for (char c : s) {
        if (special.find(c) == std::string_view::npos) {
            out += c;
            continue;
        }
        out += '\\';
        out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : c;
    }
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads between minDigits and maxDigits digits at s[pos]; advances pos.
std::optional<int> number(std::string_view s, std::size_t& pos, int minDigits, int maxDigits) {
    int value = 0, count = 0;
    while (pos < s.size() && count < maxDigits && isDigit(s[pos])) {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++count;
    }
    if (count < minDigits) return std::nullopt;
    return value;
}

// hh:mm[:ss[.fff]] or hhmm[ss], then an optional Z or +hh[:mm] / -hh[:mm].
bool timeOfDay(std::string_view s) {
    std::size_t pos = 0;
    auto h = number(s, pos, 2, 2);
    if (!h || *h > 23) return false;
    const bool colons = pos < s.size() && s[pos] == ':';
    if (colons) ++pos;
    auto m = number(s, pos, 2, 2);
    if (!m || *m > 59) return false;
    if (pos < s.size() && (colons ? s[pos] == ':' : isDigit(s[pos]))) {
        if (colons) ++pos;
        auto sec = number(s, pos, 2, 2);
        if (!sec || *sec > 60) return false;
        if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
            ++pos;
            if (!number(s, pos, 1, 9)) return false;
        }
    }
    if (pos < s.size() && s[pos] == 'Z') {
        ++pos;
    } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        ++pos;
        if (!number(s, pos, 2, 2)) return false;
        if (pos < s.size() && s[pos] == ':') ++pos;
        if (pos < s.size() && !number(s, pos, 2, 2)) return false;
    }
    return pos == s.size();
}

}  // namespace

std::optional<std::string> isoFromImported(std::string_view text) {
    std::string_view s = trimmed(text);
    std::size_t pos = 0;
    int y, m, d;
    auto first = number(s, pos, 1, 8);
    if (!first) return std::nullopt;
    // A separator, then a number of so many digits.
    const auto after = [&](char sep, int minDigits, int maxDigits) -> std::optional<int> {
        if (pos >= s.size() || s[pos] != sep) return std::nullopt;
        ++pos;
        return number(s, pos, minDigits, maxDigits);
    };
    const auto digitNext = [&] { return pos < s.size() && isDigit(s[pos]); };
    if (pos < s.size() && s[pos] == '/') {
        if (pos > 2) return std::nullopt;
        const auto mo = after('/', 1, 2), yr = mo ? after('/', 4, 4) : std::nullopt;
        if (!yr || digitNext()) return std::nullopt;
        d = *first, m = *mo, y = *yr;
    } else if (pos == 4) {
        const auto mo = after('-', 2, 2), dd = mo ? after('-', 2, 2) : std::nullopt;
        if (!dd || digitNext()) return std::nullopt;
        y = *first, m = *mo, d = *dd;
    } else if (pos == 8) {
        y = *first / 10000, m = *first / 100 % 100, d = *first % 100;
    } else {
        return std::nullopt;
    }
    if (pos < s.size()) {
        if (s[pos] != ' ' && s[pos] != 'T') return std::nullopt;
        if (!timeOfDay(trimmed(s.substr(pos + 1)))) return std::nullopt;
    }
    return isoDate(y, m, d);
}

std::vector<std::string> linesOf(std::string_view text) {
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos <= text.size();) {
        std::size_t end = std::min(text.find('\n', pos), text.size());
        lines.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

}  // namespace orv::exchange
