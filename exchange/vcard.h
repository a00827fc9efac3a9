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
#include "exchange/vcardline.h"

namespace orv::exchange {

// The PRODID of the cards we write: a card with it is read as ours.
inline constexpr std::string_view kProdId = "-//Orvane//orvane-db//ES";

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

}  // namespace orv::exchange
