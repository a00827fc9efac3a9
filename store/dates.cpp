#include "store/dates.h"

#include <initializer_list>

namespace orv {

namespace {

bool digitsAt(std::string_view s, std::initializer_list<std::size_t> positions) {
    for (std::size_t p : positions)
        if (s[p] < '0' || s[p] > '9') return false;
    return true;
}

int number(std::string_view s, std::size_t from, std::size_t count) {
    int n = 0;
    for (std::size_t i = from; i < from + count; ++i) n = n * 10 + (s[i] - '0');
    return n;
}

}  // namespace

std::optional<std::string> isoDate(int year, int month, int day) {
    if (year < 1000 || year > 9999 || month < 1 || month > 12 || day < 1) return std::nullopt;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
    std::string iso = "0000-00-00";
    const auto put = [&iso](int value, std::size_t end) {
        for (std::size_t i = end; value > 0; value /= 10)
            iso[--i] = static_cast<char>('0' + value % 10);
    };
    put(year, 4);
    put(month, 7);
    put(day, 10);
    return iso;
}

std::optional<std::string> isoFromDisplay(std::string_view text) {
    if (text.size() != 10 || text[2] != '/' || text[5] != '/') return std::nullopt;
    if (!digitsAt(text, {0, 1, 3, 4, 6, 7, 8, 9})) return std::nullopt;
    return isoDate(number(text, 6, 4), number(text, 3, 2), number(text, 0, 2));
}

std::string displayFromIso(std::string_view iso) {
    if (iso.size() != 10 || iso[4] != '-' || iso[7] != '-' ||
        !digitsAt(iso, {0, 1, 2, 3, 5, 6, 8, 9}))
        return std::string(iso);
    std::string out;
    out.reserve(10);
    out.append(iso.substr(8, 2)).append("/").append(iso.substr(5, 2)).append("/");
    return out.append(iso.substr(0, 4));
}

}  // namespace orv
