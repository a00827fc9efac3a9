#pragma once
// A card that came from elsewhere (a server, a phone's file) with what the
// book changed since written into it, every other line as it came; and what
// the sync reads of a card besides the contact.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/contact.h"

namespace orv::exchange {

// The card's first contact, read as an import reads it; an unreadable card
// throws std::runtime_error with the reason in Spanish.
Contact readCard(std::string_view vcard);
// The card with the fields where `wanted` differs from what the card reads
// as (`onCard`) written into it; every other line as it came.
std::string cardWith(const std::string& card, const Contact& onCard, const Contact& wanted,
                     const std::string& uid);
// The card the contact was read from (its kept lines, see
// exchange/properties.h) with what the book changed since written into it,
// and `uid` as its UID when given. No lines: a new card of ours.
std::string cardFromKept(const Contact& c, const std::string& uid,
                         const std::vector<std::string>& kept);

// A card's content lines unfolded, as name (with its parameters) -> value of
// the first line with that name. Lines may end in CRLF or, as some servers
// hand them back, in LF alone.
std::map<std::string, std::string> cardProperties(std::string_view card);
// A card that lists members rather than one person (vCard 4.0's KIND, and
// the property older phones and servers write for the same).
bool isGroupCard(std::string_view card);
// The card's FN, "(sin nombre)" when it has none.
std::string cardName(std::string_view card);
// The card's UID, empty when it has none.
std::string cardUid(std::string_view card);

}  // namespace orv::exchange
