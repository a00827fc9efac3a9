#pragma once
// The one door between the sync and the vCard mapping of import and export:
// a server's card read as a contact (nothing dropped), and a contact written
// as a new vCard 3.0 card.

#include <sqlite3.h>

#include <cstdint>
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
// Keeps the card's properties with the contact (none for a card of ours
// that the row holds whole).
void keepCard(sqlite3* db, std::int64_t codigo, std::string_view card);

}  // namespace orv::sync
