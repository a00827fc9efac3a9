#include "tools/orvane-db/common.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>

#include "exchange/card.h"
#include "store/collation.h"
#include "store/syserror.h"

namespace orv::db {

ToolError systemFailure(const std::string& what, int err) {
    return ToolError(what + ": " + systemErrorText(err));
}

void refuseExisting(const std::string& path) {
    struct stat sb;
    if (::lstat(path.c_str(), &sb) == 0)
        throw ToolError("el archivo " + path + " ya existe; no se sobrescribe");
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string contactName(const Contact& c) {
    std::string s;
    for (std::size_t col : {kNombre, kApellido})
        if (c[col] && !c[col]->empty()) s += (s.empty() ? "" : " ") + *c[col];
    return exchange::printable(s.empty() ? "(sin nombre)" : s);
}

std::optional<std::int64_t> contactCode(const std::string& s) {
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(s);
}

std::optional<std::uint64_t> wholeNumber(const std::string& s) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

exchange::Format chooseFormat(const Invocation& a, const std::string& path, bool reading) {
    using exchange::Format;
    const char* formats = reading ? "csv, vcard, ldif o abook" : "csv o vcard";
    const auto writable = [reading](Format f) {
        return reading || f == Format::Csv || f == Format::VCard;
    };
    std::optional<Format> f;
    if (auto name = a.value("--format")) {
        f = exchange::formatFromName(*name);
        if (!f || !writable(*f))
            throw UsageError("formato desconocido: " + *name + " (use " + formats + ")");
        return *f;
    }
    f = exchange::formatFromPath(path);
    struct stat sb;
    if (!f && reading && ::stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode)) {
        // A file whose name says nothing: its first line may (a device or a
        // pipe is refused by the import itself, at once).
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            char head[4096];
            const std::size_t n = std::fread(head, 1, sizeof head, file);
            std::fclose(file);
            f = exchange::formatFromText(std::string_view(head, n));
        }
    }
    if (!f || !writable(*f))
        throw UsageError("no se sabe el formato de " + path + ": use --format (" + formats + ")");
    return *f;
}

// A listed field: tab, line breaks and backslash as \t \n \r \\, and every
// other control character, or byte that is not UTF-8, as \xHH or \uHHHH, so
// that nothing in a book can drive the user's terminal.
void appendListed(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const char32_t c = collation::decodeNext(s, i);
        if (c == '\t' || c == '\n' || c == '\r' || c == '\\') {
            out += '\\';
            out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
        } else if (c == collation::kBadByte || c < 0x20 || c == 0x7F) {
            const auto b = static_cast<unsigned char>(s[start]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        } else if (c >= 0x80 && c <= 0x9F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out.append(s.substr(start, i - start));
        }
    }
}

}  // namespace orv::db
