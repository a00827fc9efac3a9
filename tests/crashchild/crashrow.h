#pragma once
// The contents the crash test stores: every field of contact k at version v
// follows from (k, v) alone, so a reader can regenerate the whole row from
// its name and tell a whole contact from a half-stored or mixed one.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/schema.h"

namespace crashrow {

using Value = std::optional<std::string>;

inline std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline std::uint64_t hash(std::uint64_t k, std::uint64_t v, std::uint64_t field) {
    return mix(mix(mix(k) ^ v) ^ field);
}

// The longest text each field's box accepts; the filler goes up to it so
// that rows vary in size and some spill over a database page.
inline std::size_t entryLimit(std::string_view field) {
    using orv::schema::kColumns;
    if (field == kColumns[orv::kEmail]) return 100;
    if (field == kColumns[orv::kMasInfo]) return 200;
    return 50;
}

// Field `index` (named `field`) of contact k at version v. Codigo is the
// store's, so it has no value here.
inline std::optional<Value> fieldValue(std::string_view field, std::size_t index, std::uint64_t k,
                                       std::uint64_t v) {
    using orv::schema::kColumns;
    if (field == kColumns[orv::kCodigo]) return std::nullopt;
    const std::uint64_t h = hash(k, v, index);
    if (field == kColumns[orv::kFecha]) {
        if (h % 5 == 0) return Value();
        char iso[11];
        std::snprintf(iso, sizeof iso, "%04u-%02u-%02u", unsigned(1900 + h % 120),
                      unsigned(1 + (h >> 8) % 12), unsigned(1 + (h >> 16) % 28));
        return Value(iso);
    }
    // Nombre is never null: it names the row. Initials with accents and ñ
    // keep the Spanish name index busy.
    static const char* const kInitials[] = {"Álvaro", "ana",   "Ñandú",  "zoe",   "José",
                                            "María",  "oscar", "Úrsula", "nuria", "Émile"};
    std::string text;
    if (field == kColumns[orv::kNombre]) {
        text = std::string(kInitials[h % 10]) + " ";
    } else if (h % 7 == 0) {
        return Value();
    }
    text += std::to_string(k) + "." + std::to_string(v) + "/" + std::to_string(index) + " ";
    const std::size_t limit = entryLimit(field);
    std::size_t want = limit / 2 + (h >> 20) % (limit / 2 + 1);
    for (std::uint64_t x = h; text.size() < want; x = mix(x))
        text += static_cast<char>('a' + x % 26);
    return Value(text);
}

// The row to hand to Update, in the table's column order.
inline std::vector<std::optional<Value>> row(const std::vector<std::string>& columns,
                                             std::uint64_t k, std::uint64_t v) {
    std::vector<std::optional<Value>> out;
    for (std::size_t i = 0; i < columns.size(); ++i) out.push_back(fieldValue(columns[i], i, k, v));
    return out;
}

// (k, v) from a stored Nombre; nullopt when it is not one of ours.
struct Id {
    std::uint64_t k;
    std::uint64_t v;
};
inline std::optional<Id> parseName(const Value& nombre) {
    if (!nombre) return std::nullopt;
    const std::string& s = *nombre;
    const std::size_t blank = s.find(' ');
    if (blank == std::string::npos) return std::nullopt;
    Id id{0, 0};
    std::size_t i = blank + 1;
    auto number = [&](std::uint64_t& out, char end) {
        const std::size_t from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - from < 18)
            out = out * 10 + static_cast<std::uint64_t>(s[i++] - '0');
        return i > from && i < s.size() && s[i++] == end;
    };
    if (!number(id.k, '.') || !number(id.v, '/')) return std::nullopt;
    return id;
}

}  // namespace crashrow
