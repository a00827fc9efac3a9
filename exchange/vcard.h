#pragma once
// Contacts as vCards: reading versions 2.1, 3.0 and 4.0 as phones, servers
// and mail programs write them, and writing 3.0.
//
// What we write reads back field for field: our cards carry our PRODID, and
// in them a null is left out (or, for the fields that share N and ADR, named
// in X-ORVANE-NULL), an empty string is an empty value, and a town/province
// pair is split so that joining it again gives the same text.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/card.h"

namespace orv::exchange {

// Reads every card of the text into `out`; a card that cannot be read is a
// problem at its BEGIN line, and the others are still read.
void readVCards(std::string_view text, Reading& out, const ProgressFn& progress = {});

// One card (BEGIN:VCARD to END:VCARD) to a contact, texts cleaned. `extra`
// receives the lines that went to "Mas info" beside the note. nullopt with
// `error` set when the card cannot be read, or with `group` set for a group
// card (a list, not a person).
struct CardResult {
    std::optional<Contact> contact;
    std::string extra;
    // The card's properties as read, when the row cannot hold them all.
    std::vector<std::string> kept;
    Fates fates;
    std::string error;
    bool group = false;
};
CardResult contactFromVcard(std::string_view card);

// One contact as a vCard 3.0 with our PRODID (and `uid` as its UID when
// given), lines folded at 75 octets, ended by CRLF.
std::string vcardFromContact(const Contact& c, std::string_view uid = {});

// Whether the reader maps a property (upper case, no group) onto a field
// or a line of "Mas info"; every other one is only kept with the contact.
bool mappedProperty(std::string_view name);

// Pieces, exposed for their own tests.
std::string decodeQuotedPrintable(std::string_view s);
std::optional<std::string> decodeBase64(std::string_view s);
std::string escapeText(std::string_view s);
std::string unescapeText(std::string_view s);
// A content line (without its line end) folded at 75 octets, never inside a
// UTF-8 sequence, each physical line ended by CRLF.
std::string foldLine(std::string_view line);
// Where a content line's value starts: the first ':' outside double quotes,
// npos if none.
std::size_t valueColon(std::string_view line);
// The logical lines of a card's body (folds joined, and in 2.1 the soft
// line breaks of quoted-printable values), each with its first physical
// line. `steps`, when given, counts the bytes looked at: never more than a
// few times the body's size.
struct LogicalLine {
    std::string text;
    long line = 0;
};
std::vector<LogicalLine> unfold(const std::vector<std::pair<std::string_view, long>>& body,
                                bool v21, std::size_t* steps = nullptr);

}  // namespace orv::exchange
