// Dates of birth: whatever is typed or stored, a date that is read must be a
// real calendar day (checked against the standard library's calendar) and
// must come back unchanged through the other direction; the card's date box
// may only refuse a text as an invalid date.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzzcheck.h"
#include "store/datacontrol.h"
#include "store/dates.h"
#include "store/engine.h"

using namespace orv;

namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}

int number(std::string_view s) {
    int n = 0;
    for (char c : s) n = n * 10 + (c - '0');
    return n;
}

// Shape dd/mm/yyyy, and a real day of a year from 1000 to 9999.
bool realDisplayDate(std::string_view t) {
    if (t.size() != 10 || t[2] != '/' || t[5] != '/') return false;
    for (std::size_t i : {0, 1, 3, 4, 6, 7, 8, 9})
        if (!digit(t[i])) return false;
    const int year = number(t.substr(6, 4));
    const std::chrono::year_month_day ymd{std::chrono::year(year),
                                          std::chrono::month(number(t.substr(3, 2))),
                                          std::chrono::day(number(t.substr(0, 2)))};
    return year >= 1000 && ymd.ok();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::optional<std::string> iso = isoFromDisplay(text);
    FUZZ_CHECK(iso.has_value() == realDisplayDate(text), "isoFromDisplay misjudged '" + text + "'");
    if (iso) {
        FUZZ_CHECK(displayFromIso(*iso) == text, "'" + text + "' -> '" + *iso + "' -> back");
        FUZZ_CHECK(iso->size() == 10 && (*iso)[4] == '-' && (*iso)[7] == '-', *iso);
    }

    // A stored text that reads as an ISO date shows as dd/mm/yyyy; when that
    // is a real day, typing it back stores the same text.
    const std::string shown = displayFromIso(text);
    if (shown != text) {
        FUZZ_CHECK(shown.size() == 10 && shown[2] == '/' && shown[5] == '/', shown);
        if (const auto back = isoFromDisplay(shown)) FUZZ_CHECK(*back == text, *back);
    }

    // The date box: no digit is no date; a real day is stored; anything
    // else is refused, never stored as it is.
    const std::string field = "Fecha de nacimiento";
    try {
        const Value v = textValue(field, text);
        if (!v) {
            FUZZ_CHECK(text.find_first_of("0123456789") == std::string::npos, "null for " + text);
        } else {
            FUZZ_CHECK(iso && *v == *iso, "stored '" + *v + "' for '" + text + "'");
            FUZZ_CHECK(fieldText(field, v) == text, "the box would show another date");
        }
    } catch (const EngineError& e) {
        FUZZ_CHECK(e.number() == kErrConstraint && !iso, e.text());
    }
    FUZZ_CHECK(textValue("Nombre", text) == text, "a text field changed its text");
    return 0;
}
