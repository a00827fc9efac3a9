#pragma once
// What the sync does with one contact, given the book, what was last synced
// and the server's card: the decision alone, without the book's file or the
// server, so that every case can be tried on its own.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/contact.h"
#include "sync/carddav.h"
#include "sync/guard.h"
#include "sync/state.h"

namespace orv::sync {

struct ServerCard {
    std::string text, etag;
    Contact contact;
};

// One contact's sync: the states it is decided from, the decision, and
// what came of it.
struct Item {
    std::optional<Link> link;  // nullopt: never linked
    std::optional<Contact> base;
    std::int64_t codigo = 0;  // of the book's contact (or of its link), 0 for none
    std::optional<Contact> book;
    std::optional<ServerCard> server;
    // Not fetched: the server holds the base under link->etag (only for a
    // contact deleted here; a change here needs the card's text).
    bool serverUnchanged = false;
    std::string uid, href;

    enum class Op { None, Put, PutNew, Delete } op = Op::None;
    std::string card;               // what a Put writes
    std::optional<Contact> result;  // what both sides hold after; nullopt: gone from both
    bool bookWrite = false;
    bool news = false;  // the book takes something from the server
    std::vector<std::string> conflicts;
    std::string kept;  // why a delete was not carried out
    std::string etag;  // the server's ETag after
    bool failed = false;
    bool group = false;           // a group card: left out of the book
    std::optional<Contact> sent;  // sent before, answer lost (Link::sent)
    bool unanswered = false;      // this sync's upload got no clear answer
};

// Field by field against the last synced state: a field changed on one side
// takes that side's value; changed on both to different values, the
// server's stays and the book's is kept as a line in "Mas info" (its column
// named in `conflicts`). Without a base every difference is such a conflict.
Contact merge(const Contact* base, const Contact& mine, const Contact& theirs,
              std::vector<std::string>& conflicts);

// Both sides end equal: the book takes what the card it sends (it.card)
// reads as (the card's own extras, such as a second phone, come back into
// "Mas info").
void settle(Item& it);

// Fills in the decision (op, card, result, bookWrite, news, conflicts, kept,
// etag) from link, base, book, server and serverUnchanged.
void decide(Item& it);

// What the decided items would delete on each side, for the guard, of the
// book's and the server's (linked) contacts; `writes` counts the book's
// contacts they write. Failed items and group cards count for nothing.
PlannedDeletions planned(const std::vector<Item>& items, std::size_t bookContacts,
                         std::size_t serverContacts, bool serverNew, std::size_t& writes);

// The contact as the report names it: "Nombre Apellido", "(sin nombre)".
std::string describe(const Contact& c);

// A fault that stops the whole sync (the server or the way to it), not
// only the card it came with.
bool stopsEverything(DavErrorKind kind);
// The request may have reached the server and been carried out.
bool answerLost(DavErrorKind kind);

}  // namespace orv::sync
