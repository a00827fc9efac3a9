#pragma once
// The one door between the sync and the vCard mapping of import and export:
// a server's card read as a contact (nothing dropped), and a contact written
// as a new vCard 3.0 card.

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/contact.h"

namespace orv::sync {

// The card's first contact, read as an import reads it; an unreadable card
// throws std::runtime_error with the reason in Spanish.
Contact contactFromCard(std::string_view vcard);
// A vCard 3.0 card of the contact with this UID (Codigo is not written).
std::string cardFromContact(const Contact& c, const std::string& uid);
// The card the contact was read from (its kept lines, see
// exchange/properties.h) with what the book changed since written into
// it; every other property as it came. No lines: the card above.
std::string cardFromContact(const Contact& c, const std::string& uid,
                            const std::vector<std::string>& kept);
// The server's card with the fields where `wanted` differs from what the
// card reads as (`onCard`) written into it; every other line as it came.
std::string cardWith(const std::string& card, const Contact& onCard, const Contact& wanted,
                     const std::string& uid);
// Keeps the card's properties with the contact (none for a card of ours
// that the row holds whole).
void keepCard(sqlite3* db, std::int64_t codigo, std::string_view card);

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
// The text's lines, split at LF ("" is one empty line).
std::vector<std::string> linesOf(std::string_view text);

}  // namespace orv::sync
