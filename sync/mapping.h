#pragma once
// The one door between the sync and the vCard mapping of import and export:
// a server's card read as a contact (nothing dropped), and a contact written
// as a new vCard 3.0 card.

#include <string>
#include <string_view>

#include "store/contact.h"

namespace orv::sync {

// The card's first contact, read as an import reads it; an unreadable card
// throws std::runtime_error with the reason in Spanish.
Contact contactFromCard(std::string_view vcard);
// A vCard 3.0 card of the contact with this UID (Codigo is not written).
std::string cardFromContact(const Contact& c, const std::string& uid);

}  // namespace orv::sync
