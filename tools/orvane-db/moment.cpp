#include "tools/orvane-db/moment.h"

#include <cstdio>
#include <ctime>
#include <map>

#include "store/dates.h"

namespace orv::db {

std::optional<std::int64_t> parseMoment(const std::string& text, std::int64_t nowMs) {
    int y = 0, mo = 0, d = 0, hh = 0, mm = 0, ss = 0, ms = 0, used = 0;
    char sep = 0;
    if (text.rfind("hace ", 0) == 0) {
        long long n = 0;
        char unit[32] = {};
        if (std::sscanf(text.c_str() + 5, "%lld %31s%n", &n, unit, &used) != 2 ||
            static_cast<std::size_t>(used) + 5 != text.size() || n < 0)
            return std::nullopt;
        const std::string u = unit;
        const std::map<std::string, std::int64_t> units = {
            {"segundo", 1000},    {"segundos", 1000},      {"minuto", 60'000},
            {"minutos", 60'000},  {"hora", 3'600'000},     {"horas", 3'600'000},
            {"día", 86'400'000},  {"días", 86'400'000},    {"dia", 86'400'000},
            {"dias", 86'400'000}, {"semana", 604'800'000}, {"semanas", 604'800'000}};
        auto it = units.find(u);
        if (it == units.end() || n > 100'000) return std::nullopt;
        return nowMs - n * it->second;
    }
    const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used);
    if (fields != 3 || !isoDate(y, mo, d)) return std::nullopt;
    std::size_t pos = static_cast<std::size_t>(used);
    if (pos < text.size()) {
        sep = text[pos++];
        if (sep != ' ' && sep != 'T') return std::nullopt;
        int n = 0;
        if (std::sscanf(text.c_str() + pos, "%2d:%2d%n", &hh, &mm, &n) != 2) return std::nullopt;
        pos += n;
        if (pos < text.size() && text[pos] == ':') {
            if (std::sscanf(text.c_str() + pos, ":%2d%n", &ss, &n) != 1) return std::nullopt;
            pos += n;
            if (pos < text.size() && text[pos] == '.') {
                if (std::sscanf(text.c_str() + pos, ".%3d%n", &ms, &n) != 1) return std::nullopt;
                pos += n;
            }
        }
        if (pos != text.size() || hh > 23 || mm > 59 || ss > 59) return std::nullopt;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = hh;
    tm.tm_min = mm;
    tm.tm_sec = ss;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<std::int64_t>(t) * 1000 + ms;
}

std::string showMoment(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm);
    return out;
}

}  // namespace orv::db
