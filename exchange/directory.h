#pragma once
// The address books of mail and terminal programs: LDIF (what Thunderbird
// and abook export) and abook's own addressbook file.

#include <string_view>

#include "exchange/card.h"

namespace orv::exchange {

// LDIF (RFC 2849): records of "attribute: value" lines separated by blank
// lines, "attribute:: base64" for other text; group entries are left out.
void readLdif(std::string_view text, Reading& out, const ProgressFn& progress = {});

// abook's addressbook file: "[n]" sections of "field=value" lines. The text is
// already UTF-8 (see decodeText).
void readAbook(std::string_view text, Reading& out, const ProgressFn& progress = {});

}  // namespace orv::exchange
