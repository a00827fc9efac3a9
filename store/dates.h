#pragma once
// Dates of birth: stored as ISO text YYYY-MM-DD, shown and typed as dd/mm/yyyy.

#include <optional>
#include <string>
#include <string_view>

namespace orv {

// "YYYY-MM-DD" for a real calendar day with a year 1000 to 9999; nullopt
// for any other (month 13, day 0, 31/04, 29/02 outside a leap year).
std::optional<std::string> isoDate(int year, int month, int day);
// "dd/mm/yyyy" naming a real calendar day with a year 1000 to 9999 -> "YYYY-MM-DD".
// Anything else (a placeholder left, day 0, 31/04, 29/02 outside a leap year) -> nullopt.
std::optional<std::string> isoFromDisplay(std::string_view text);
// "YYYY-MM-DD" -> "dd/mm/yyyy"; a text that is not an ISO date is returned unchanged.
std::string displayFromIso(std::string_view iso);

}  // namespace orv
