#pragma once
// Contacts as vCards: reading versions 2.1, 3.0 and 4.0 as other programs
// write them, and writing 3.0.
//
// What we write reads back field for field: a null is left out (or, for the
// fields that share N and ADR, named in X-ORVANE-NULL), an empty string is
// written as an empty value, and a town/province pair is split so that
// joining it again gives the same text.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/text.h"

namespace orv::exchange {

struct VCardCallbacks {
    std::function<void(Located&&)> contact;  // line: the card's BEGIN line
    std::function<void(long line, const std::string& reason)> problem;
    std::function<void(std::size_t bytesRead)> progress;
};
// Reads every card of the text. Returns false when any card (or text between
// cards) could not be read.
bool readVCards(std::string_view text, const VCardCallbacks& cb);

// One contact as a vCard 3.0, lines folded at 75 octets, ended by CRLF.
std::string vcardFromContact(const Contact& c);

// Pieces, exposed for their own tests.
std::string decodeQuotedPrintable(std::string_view s);
std::optional<std::string> decodeBase64(std::string_view s);
std::string escapeText(std::string_view s);
std::string unescapeText(std::string_view s);
// A content line (without its line end) folded at 75 octets, never inside a
// UTF-8 sequence, each physical line ended by CRLF.
std::string foldLine(std::string_view line);

}  // namespace orv::exchange
