#include "exchange/vcardline.h"

#include "exchange/text.h"

namespace orv::exchange {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string decodeQuotedPrintable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '=' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else if (s[i] == '=' && i + 1 == s.size()) {
            // A soft line break with nothing after it.
        } else {
            // Sloppy writers leave a bare "=": keep it rather than lose text.
            out += s[i];
        }
    }
    return out;
}

std::optional<std::string> decodeBase64(std::string_view s) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0, padding = 0;
    for (char c : s) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=') {
            ++padding;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        else
            return std::nullopt;
        if (padding) return std::nullopt;  // data after padding
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    if (padding > 2) return std::nullopt;
    return out;
}

std::string escapeText(std::string_view s) {
    // No standard escape exists for a carriage return; \r keeps a CRLF note
    // from another system exact when it comes back.
    std::string out;
    out.reserve(s.size() + 8);
    appendBackslashed(out, s, "\\;,\n\r");
    return out;
}

std::string unescapeText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char n = s[i + 1];
        switch (n) {
            case '\\':
            case ';':
            case ',':
            case ':':
                out += n;
                break;
            case 'n':
            case 'N':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                // Not an escape (a path such as C:\dir): keep the backslash.
                out += '\\';
                out += n;
        }
        ++i;
    }
    return out;
}

std::string foldLine(std::string_view line) {
    std::string out;
    out.reserve(line.size() + line.size() / 70 * 3 + 2);
    std::size_t limit = 75;
    while (line.size() > limit) {
        std::size_t cut = limit;
        // Never split a UTF-8 sequence: back off to the start of the character.
        while (cut > 1 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        out.append(line.substr(0, cut)).append("\r\n ");
        line.remove_prefix(cut);
        limit = 74;  // the leading blank counts
    }
    out.append(line).append("\r\n");
    return out;
}

// Where the value starts: the first ':' outside double quotes. npos if none.
std::size_t valueColon(std::string_view line) {
    bool inQuotes = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            inQuotes = !inQuotes;
        else if (line[i] == ':' && !inQuotes)
            return i;
    }
    return std::string_view::npos;
}

std::vector<std::string_view> splitUnescaped(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == sep) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

std::optional<Property> parseProperty(std::string_view line, long lineNo) {
    std::size_t colon = valueColon(line);
    if (colon == std::string_view::npos) return std::nullopt;
    Property p;
    p.line = lineNo;
    p.raw = line.substr(colon + 1);
    std::string_view head = line.substr(0, colon);
    std::size_t semi = head.find(';');
    std::string_view name = head.substr(0, semi);
    if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos) {
        p.group = upper(trimmed(name.substr(0, dot)));
        name.remove_prefix(dot + 1);  // item1.TEL
    }
    p.name = upper(trimmed(name));
    if (p.name.empty()) return std::nullopt;
    if (semi == std::string_view::npos) return p;
    std::string_view rest = head.substr(semi + 1);
    // Parameters are separated by ';' outside double quotes.
    std::size_t start = 0;
    bool inQuotes = false;
    for (std::size_t i = 0; i <= rest.size(); ++i) {
        if (i < rest.size() && rest[i] == '"') inQuotes = !inQuotes;
        if (i < rest.size() && (rest[i] != ';' || inQuotes)) continue;
        std::string_view item = trimmed(rest.substr(start, i - start));
        start = i + 1;
        if (item.empty()) continue;
        Param param;
        if (std::size_t eq = item.find('='); eq != std::string_view::npos) {
            param.name = upper(trimmed(item.substr(0, eq)));
            std::string_view v = trimmed(item.substr(eq + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            param.value = std::string(v);
        } else {
            param.value = std::string(item);
        }
        p.params.push_back(std::move(param));
    }
    return p;
}

std::vector<LogicalLine> unfold(const std::vector<std::pair<std::string_view, long>>& body,
                                bool v21, std::size_t* steps) {
    std::vector<LogicalLine> out;
    std::size_t count = 0;
    // Whether the current logical line's parameters say QUOTED-PRINTABLE,
    // decided once its value's colon has been seen.
    bool headDone = false, qp = false, inQuotes = false;
    std::string head;
    const auto scanHead = [&](std::string_view part) {
        for (char ch : part) {
            ++count;
            if (headDone) return;
            if (ch == '"') inQuotes = !inQuotes;
            if (ch == ':' && !inQuotes) {
                headDone = true;
                qp = upper(head).find("QUOTED-PRINTABLE") != std::string::npos;
                return;
            }
            head += ch;
        }
    };
    for (std::size_t i = 0; i < body.size(); ++i) {
        std::string_view t = body[i].first;
        if (t.empty()) continue;
        if ((t[0] == ' ' || t[0] == '\t') && !out.empty()) {
            // 2.1 folds at existing white space and keeps it; 3.0 and 4.0
            // insert the blank and drop it again.
            if (!v21) t.remove_prefix(1);
            out.back().text.append(t);
        } else {
            out.push_back({std::string(t), body[i].second});
            headDone = qp = inQuotes = false;
            head.clear();
        }
        count += t.size();
        scanHead(t);
        std::string& logical = out.back().text;
        while (qp && !logical.empty() && logical.back() == '=' && i + 1 < body.size()) {
            logical.pop_back();
            logical.append(body[++i].first);
            count += body[i].first.size();
        }
    }
    if (steps) *steps = count;
    return out;
}

}  // namespace orv::exchange
