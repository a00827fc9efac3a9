#pragma once
// Writing the book's side of a contact into the server's card without
// disturbing what the book has no field for (a phone's PHOTO, ORG, second TEL,
// its own X- lines): only the lines of the properties we map change.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::exchange {

struct MappedProperty {
    // Upper case: "N", "FN", "ADR", "TEL", "EMAIL", "X-ICQ", "BDAY", "NOTE",
    // "UID" or any other. "X-ICQ" also stands for an IMPP line with an icq:
    // address (or X-SERVICE-TYPE=ICQ).
    std::string name;
    // The value as written after the colon, already escaped; nullopt removes
    // the property, an empty string writes it with an empty value.
    std::optional<std::string> value;
};

// The card with the first line of each mapped property (the one an import
// reads into the contact) given its new value, keeping that line's group and
// parameters, or added before END:VCARD when the card has none. Every other
// line, and a mapped line whose value is already the same, is kept byte for
// byte, folding included; line ends become CRLF and new lines are folded at
// 75 octets. A text without a vCard gives a new vCard 3.0 of the mapped
// properties.
std::string mergeVCard(std::string_view card, const std::vector<MappedProperty>& mapped);

}  // namespace orv::exchange
