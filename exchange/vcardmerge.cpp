#include "exchange/vcardmerge.h"

#include <algorithm>
#include <cstddef>

#include "exchange/address.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "exchange/vcardline.h"
#include "store/ascii.h"

namespace orv::exchange {

using ascii::iequals;

namespace {

bool istartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
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
    return upper(text.substr(0, valueColon(text))).find("QUOTED-PRINTABLE") != std::string::npos;
}

// One logical line: its physical lines as they came, and the unfolded text.
struct Line {
    std::vector<std::string_view> physical;
    std::string text;
    std::string name;   // upper case, group removed; empty when unreadable
    std::string group;  // upper case
    std::vector<Param> params;
    std::string_view head;   // group, name and parameters (into text)
    std::string_view value;  // into text

    std::optional<std::string> param(std::string_view key) const {
        for (const Param& p : params)
            if (p.name == key) return p.value;
        return std::nullopt;
    }
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
            lines.push_back({{phys}, std::string(phys), {}, {}, {}, {}, {}});
        }
    }
    for (Line& l : lines) {
        std::string_view text = l.text;
        std::size_t colon = valueColon(text);
        if (colon == std::string_view::npos) continue;
        l.head = text.substr(0, colon);
        l.value = text.substr(colon + 1);
        if (std::optional<Property> p = parseProperty(text)) {
            l.name = std::move(p->name);
            l.group = std::move(p->group);
            l.params = std::move(p->params);
        }
    }
    return lines;
}

bool isIcqImpp(const Line& l) {
    if (l.name != "IMPP") return false;
    if (istartsWith(trimmed(l.value), "icq:")) return true;
    const std::optional<std::string> service = l.param("X-SERVICE-TYPE");
    return service && iequals(*service, "ICQ");
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

// The line's value as text, 2.1's quoted-printable and character set undone.
std::string plainValue(const Line& l) {
    if (upper(l.head).find("QUOTED-PRINTABLE") == std::string::npos) return std::string(l.value);
    std::string bytes = decodeQuotedPrintable(l.value);
    if (auto charset = l.param("CHARSET"))
        if (auto text = toUtf8(bytes, *charset)) return *text;
    return bytes;
}

// An address written anew: the book's two fields (street; town and
// province, the postal code in front) change only the parts they carry.
// What they do not carry (country, extended address, post box, a postal
// code still written in front of the town) stays as the card had it, so
// that reading the card again gives the book's fields and nothing else
// moves. `label` receives the address as lines, for LABEL.
std::string mergedAddress(const Line& l, std::string_view wanted, bool v21, std::string& label) {
    const std::string plain = plainValue(l);
    std::vector<std::string> old;
    for (std::string_view part : splitUnescaped(plain, ';')) old.emplace_back(part);
    old.resize(std::max<std::size_t>(old.size(), 7));
    std::vector<std::string> now;
    for (std::string_view part : splitUnescaped(wanted, ';')) now.emplace_back(part);
    now.resize(std::max<std::size_t>(now.size(), 7));
    std::vector<std::string> u(old.size());
    for (std::size_t i = 0; i < old.size(); ++i) u[i] = unescapeText(old[i]);
    const auto escape = [v21](std::string_view t) {
        std::string out;
        if (v21) {
            appendBackslashed(out, t, "\\;");
            return out;
        }
        return escapeText(t);
    };
    const std::string street = unescapeText(now[2]);
    const std::string town = unescapeText(now[3]), region = unescapeText(now[4]);
    const std::string place = localidad(town, region);

    std::vector<std::string> r = old;
    if (street != domicilio(u[2], u[1], u[0])) {
        const std::string rest = joined({u[1], u[0]}, ", ");
        if (!rest.empty() && street.size() > rest.size() + 2 && street.ends_with(", " + rest)) {
            r[2] = escape(street.substr(0, street.size() - rest.size() - 2));
        } else {
            r[2] = escape(street);
            r[1].clear(), r[0].clear();
        }
    }
    if (place != localidad(townLine(u[5], u[3]), u[4])) {
        auto [t, rg] = townAndRegion(place);
        std::string code;
        const std::size_t blank = t.find(' ');
        if (!u[5].empty() && (t == u[5] || t.starts_with(u[5] + " "))) {
            code = u[5];
        } else if (blank != std::string::npos && blank >= 3 && blank <= 10 &&
                   std::all_of(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(blank),
                               [](char c) { return c >= '0' && c <= '9'; })) {
            code = t.substr(0, blank);  // a new postal code typed in front of the town
        }
        if (!code.empty()) t = t.size() > code.size() ? t.substr(code.size() + 1) : std::string();
        r[3] = escape(t), r[4] = escape(rg), r[5] = escape(code);
    }
    std::vector<std::string> ru(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) ru[i] = unescapeText(r[i]);
    label = joined({domicilio(ru[2], ru[1], ru[0]), townLine(ru[5], ru[3]),
                    ru[4] == ru[3] ? std::string() : ru[4], ru[6]},
                   "\n");
    std::string out;
    for (std::size_t i = 0; i < r.size(); ++i) out += (i ? ";" : "") + r[i];
    return out;
}

// The head with its LABEL parameter (4.0) saying `label`, in the newline
// form the card already used (RFC 6868's ^n or a backslash n).
std::string withLabel(std::string_view head, std::string_view label) {
    std::vector<std::string_view> parts = splitParams(head);
    std::string out(parts.front());
    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::string_view p = trimmed(parts[i]);
        if (!iequals(trimmed(p.substr(0, p.find('='))), "LABEL")) {
            out.append(";").append(parts[i]);
            continue;
        }
        const bool caret = p.find("^n") != std::string_view::npos;
        std::string v;
        for (char c : label) {
            if (c == '\n')
                v += caret ? "^n" : "\\n";
            else if (c == '"')
                v += caret ? "^'" : "'";
            else if (c == '^' && caret)
                v += "^^";
            else
                v += c;
        }
        out.append(";").append(std::string(trimmed(p.substr(0, p.find('='))))).append("=\"");
        out.append(v).append("\"");
    }
    return out;
}

// 4.0's own forms: a tel: URI has no blanks, a date is written 19810516.
std::string version4Value(const std::string& name, std::string value, bool uri) {
    if (name == "TEL" && uri) std::erase(value, ' ');
    if (name == "BDAY" && value.size() == 10 && value[4] == '-' && value[7] == '-' &&
        std::all_of(value.begin(), value.end(),
                    [](char c) { return c == '-' || (c >= '0' && c <= '9'); }))
        std::erase(value, '-');
    return value;
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

    // The card's version decides the forms of what is written into it.
    std::string version = "3.0";
    for (std::size_t i = begin + 1; i < end; ++i)
        if (lines[i].name == "VERSION") {
            version = std::string(trimmed(lines[i].value));
            break;
        }
    const bool v4 = version == "4.0", v21 = version == "2.1";
    // The card's lines at its own level (not inside a nested card).
    std::vector<std::size_t> top;
    for (std::size_t i = begin + 1, depth = 0; i < end; ++i) {
        if (isCardMarker(lines[i], "BEGIN")) ++depth;
        if (depth == 0) top.push_back(i);
        if (isCardMarker(lines[i], "END") && depth > 0) --depth;
    }

    // What becomes of each line of the card: kept (nullopt), replaced or
    // removed (an empty string).
    std::vector<std::optional<std::string>> replaced(lines.size());
    std::string added;
    for (const MappedProperty& p : mapped) {
        const auto at = std::find_if(top.begin(), top.end(),
                                     [&](std::size_t i) { return matches(lines[i], p.name); });
        if (at == top.end()) {
            if (!p.value) continue;
            if (v4 && p.name == "TEL")
                added += foldLine("TEL;VALUE=uri:tel:" + version4Value("TEL", *p.value, true));
            else
                added += foldLine(p.name + ":" +
                                  (v4 ? version4Value(p.name, *p.value, false) : *p.value));
            continue;
        }
        const std::size_t i = *at;
        const Line& l = lines[i];
        if (!p.value) {
            replaced[i] = std::string();
            continue;
        }
        std::string_view scheme = schemeOf(l);
        if (l.value.substr(scheme.size()) == *p.value) continue;
        std::string head = headForNewValue(l.head), value = *p.value;
        if (v4) value = version4Value(p.name, std::move(value), !scheme.empty());
        if (p.name == "ADR") {
            std::string label;
            value = mergedAddress(l, value, v21, label);
            if (value == plainValue(l)) continue;
            if (l.param("LABEL")) head = withLabel(head, label);
            // A 3.0 LABEL of this address (its group's, or the card's only one
            // beside its only address) says the same lines.
            const auto count = [&](const char* name) {
                return std::count_if(top.begin(), top.end(),
                                     [&](std::size_t j) { return lines[j].name == name; });
            };
            for (std::size_t j : top) {
                if (lines[j].name != "LABEL") continue;
                const bool same = lines[j].group.empty()
                                      ? l.group.empty() && count("ADR") == 1 && count("LABEL") == 1
                                      : lines[j].group == l.group;
                if (same)
                    replaced[j] =
                        foldLine(headForNewValue(lines[j].head) + ":" + escapeText(label));
            }
        }
        replaced[i] = foldLine(head + ":" + std::string(scheme) + value);
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

}  // namespace orv::exchange
