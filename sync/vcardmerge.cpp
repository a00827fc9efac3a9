#include "sync/vcardmerge.h"

#include <algorithm>
#include <cstddef>

#include "exchange/vcard.h"
#include "store/ascii.h"

namespace orv::sync {

using ascii::iequals;
using exchange::foldLine;
using exchange::valueColon;

namespace {

char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool istartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The parameters (each without its ';'), split outside double quotes.
std::vector<std::string_view> splitParams(std::string_view s) {
    std::vector<std::string_view> parts;
    bool inQuotes = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size() && s[i] == '"') inQuotes = !inQuotes;
        if (i < s.size() && (s[i] != ';' || inQuotes)) continue;
        parts.push_back(s.substr(start, i - start));
        start = i + 1;
    }
    return parts;
}

// A 2.1 quoted-printable value ending in '=' goes on in the next line.
bool softBreak(std::string_view text) {
    if (text.empty() || text.back() != '=') return false;
    std::string head(text.substr(0, valueColon(text)));
    for (char& c : head) c = upperAscii(c);
    return head.find("QUOTED-PRINTABLE") != std::string::npos;
}

// One logical line: its physical lines as they came, and the unfolded text.
struct Line {
    std::vector<std::string_view> physical;
    std::string text;
    std::string name;        // upper case, group removed; empty when unreadable
    std::string_view head;   // group, name and parameters (into text)
    std::string_view value;  // into text
};

std::vector<Line> logicalLines(std::string_view card) {
    std::vector<Line> lines;
    while (!card.empty()) {
        std::size_t end = card.find('\n');
        std::string_view phys = card.substr(0, end);
        card.remove_prefix(end == std::string_view::npos ? card.size() : end + 1);
        if (!phys.empty() && phys.back() == '\r') phys.remove_suffix(1);
        const bool continuation = !phys.empty() && (phys[0] == ' ' || phys[0] == '\t');
        if (!lines.empty() && softBreak(lines.back().text)) {
            lines.back().physical.push_back(phys);
            lines.back().text.pop_back();
            lines.back().text.append(phys);
        } else if (continuation && !lines.empty()) {
            lines.back().physical.push_back(phys);
            lines.back().text.append(phys.substr(1));
        } else {
            lines.push_back({{phys}, std::string(phys), {}, {}, {}});
        }
    }
    for (Line& l : lines) {
        std::string_view text = l.text;
        std::size_t colon = valueColon(text);
        if (colon == std::string_view::npos) continue;
        l.head = text.substr(0, colon);
        l.value = text.substr(colon + 1);
        std::string_view name = trimmed(l.head.substr(0, l.head.find(';')));
        if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos)
            name.remove_prefix(dot + 1);  // item1.TEL
        for (char c : name) l.name += upperAscii(c);
    }
    return lines;
}

bool isIcqImpp(const Line& l) {
    if (l.name != "IMPP") return false;
    if (istartsWith(trimmed(l.value), "icq:")) return true;
    for (std::string_view p : splitParams(l.head)) {
        std::size_t eq = p.find('=');
        if (eq != std::string_view::npos && iequals(trimmed(p.substr(0, eq)), "X-SERVICE-TYPE") &&
            iequals(trimmed(p.substr(eq + 1)), "ICQ"))
            return true;
    }
    return false;
}

bool matches(const Line& l, const std::string& name) {
    return l.name == name || (name == "X-ICQ" && isIcqImpp(l));
}

// A value's URI scheme that the new value must keep (tel:+34..., icq:123),
// empty when there is none.
std::string_view schemeOf(const Line& l) {
    if (l.name != "TEL" && l.name != "IMPP") return {};
    std::size_t colon = l.value.find(':');
    if (colon == std::string_view::npos || colon == 0) return {};
    std::string_view scheme = l.value.substr(0, colon);
    const bool letters = std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '+';
    });
    return letters ? l.value.substr(0, colon + 1) : std::string_view{};
}

// The head without the parameters that described the old value's encoding
// (2.1's quoted-printable and charsets), which the new value does not have.
std::string headForNewValue(std::string_view head) {
    std::vector<std::string_view> parts = splitParams(head);
    std::string out(parts.front());
    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::string_view p = trimmed(parts[i]);
        std::string_view key = trimmed(p.substr(0, p.find('=')));
        if (iequals(key, "ENCODING") || iequals(key, "CHARSET") ||
            iequals(key, "QUOTED-PRINTABLE") || iequals(key, "8BIT"))
            continue;
        out.append(";").append(parts[i]);
    }
    return out;
}

bool isCardMarker(const Line& l, std::string_view name) {
    return l.name == name && iequals(trimmed(l.value), "VCARD");
}

}  // namespace

std::string mergeVCard(std::string_view card, const std::vector<MappedProperty>& mapped) {
    std::vector<Line> lines = logicalLines(card);

    // The first card of the text; a card nested in it (a 2.1 AGENT) is left whole.
    std::size_t begin = 0;
    while (begin < lines.size() && !isCardMarker(lines[begin], "BEGIN")) ++begin;
    std::size_t end = begin + 1;
    for (int depth = 1; end < lines.size(); ++end) {
        if (isCardMarker(lines[end], "BEGIN")) ++depth;
        if (isCardMarker(lines[end], "END") && --depth == 0) break;
    }
    if (begin >= lines.size() || end >= lines.size()) {
        std::string out = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
        for (const MappedProperty& p : mapped)
            if (p.value) out += foldLine(p.name + ":" + *p.value);
        return out + "END:VCARD\r\n";
    }

    // What becomes of each line of the card: kept (nullopt), replaced or
    // removed (an empty string).
    std::vector<std::optional<std::string>> replaced(lines.size());
    std::string added;
    for (const MappedProperty& p : mapped) {
        std::size_t i = begin + 1;
        for (int depth = 0; i < end; ++i) {
            if (isCardMarker(lines[i], "BEGIN")) ++depth;
            if (isCardMarker(lines[i], "END")) --depth;
            if (depth == 0 && matches(lines[i], p.name)) break;
        }
        if (i == end) {
            if (p.value) added += foldLine(p.name + ":" + *p.value);
            continue;
        }
        const Line& l = lines[i];
        if (!p.value) {
            replaced[i] = std::string();
            continue;
        }
        std::string_view scheme = schemeOf(l);
        if (l.value.substr(scheme.size()) == *p.value) continue;
        replaced[i] = foldLine(headForNewValue(l.head) + ":" + std::string(scheme) + *p.value);
    }

    std::string out;
    out.reserve(card.size() + added.size() + 64);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i == end) out += added;
        if (replaced[i]) {
            out += *replaced[i];
            continue;
        }
        for (std::string_view phys : lines[i].physical) out.append(phys).append("\r\n");
    }
    return out;
}

}  // namespace orv::sync
