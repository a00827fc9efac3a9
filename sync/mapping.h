#pragma once
// The sync's door to the vCard mapping of import and export (exchange/):
// a server's card read as a contact (nothing dropped), a contact written as
// a new vCard 3.0 card or into the card it came as.

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/cardedit.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/contact.h"

namespace orv::sync {

using exchange::cardName;
using exchange::cardProperties;
using exchange::cardUid;
using exchange::cardWith;
using exchange::isGroupCard;
using exchange::linesOf;

// The card's first contact, read as an import reads it; an unreadable card
// throws std::runtime_error with the reason in Spanish.
inline Contact contactFromCard(std::string_view vcard) {
    return exchange::readCard(vcard);
}
// A vCard 3.0 card of the contact with this UID (Codigo is not written).
inline std::string cardFromContact(const Contact& c, const std::string& uid) {
    return exchange::vcardFromContact(c, uid);
}
// The card the contact was read from (its kept lines) with what the book
// changed since written into it; no lines: the card above.
inline std::string cardFromContact(const Contact& c, const std::string& uid,
                                   const std::vector<std::string>& kept) {
    return exchange::cardFromKept(c, uid, kept);
}
// Keeps the card's properties with the contact (none for a card of ours
// that the row holds whole).
void keepCard(sqlite3* db, std::int64_t codigo, std::string_view card);

}  // namespace orv::sync
