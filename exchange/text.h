#pragma once
// Text helpers for reading other programs' files: UTF-8 checks, the 8-bit
// character sets old files use, and the date forms they write.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::exchange {

bool validUtf8(std::string_view s);
// Strips a leading UTF-8 byte order mark.
std::string_view withoutBom(std::string_view s);

// Converts from a named character set to UTF-8. Knows UTF-8, US-ASCII,
// ISO-8859-1, ISO-8859-15 and windows-1252 (names compared loosely).
// nullopt: an unknown set, or bytes that are not valid in it.
std::optional<std::string> toUtf8(std::string_view bytes, std::string_view charset);
std::string fromWindows1252(std::string_view bytes);
// A whole file's text as UTF-8: a UTF-8 byte order mark dropped, UTF-16 with
// a byte order mark converted, UTF-8 kept, anything else read as
// windows-1252 (what spreadsheets and mail programs write on Windows).
// nullopt for UTF-16 that is cut or holds unpaired surrogates.
std::optional<std::string> decodeText(std::string_view bytes);

std::string upper(std::string_view s);         // ASCII letters only
std::string_view trimmed(std::string_view s);  // blanks and tabs
// The text's lines, split at LF ("" is one empty line).
std::vector<std::string> linesOf(std::string_view text);

// Appends s with a backslash before each of its characters found in
// `special`; tab, line feed and carriage return are written \t, \n, \r.
void appendBackslashed(std::string& out, std::string_view s, std::string_view special);

// A date as other programs write it, to ISO "YYYY-MM-DD": dd/mm/yyyy (one or
// two digits for day and month), yyyy-mm-dd or yyyymmdd, each optionally
// followed by a time of day (after a blank or "T", with an optional zone),
// which a date of birth does not keep. Two-digit years are refused: they are
// ambiguous. Must name a real day, year 1000 to 9999.
std::optional<std::string> isoFromImported(std::string_view text);

}  // namespace orv::exchange
