#pragma once
// What the sync remembers in the book beside Registros: one row a linked
// contact in OrvSync (its card's UID and address, the ETag and the contact as
// last synced, which a later merge compares against) and the last sync's
// address, user and sync token in OrvSyncInfo. Plain SQL only, so the sqlite3
// shell and any tool can still read and change the book.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/contact.h"

namespace orv::sync {

// Creates both tables when missing; meant for inside a write transaction.
void createSyncTables(sqlite3* db);
bool hasSyncTables(sqlite3* db);

struct Link {
    std::int64_t codigo = 0;
    std::string uid, href, etag;
    // The contact as last synced (serialized); nullopt while the card is only
    // reserved: its UID chosen and kept before the upload, not yet confirmed.
    std::optional<std::string> synced;
    // The contact as last sent, when its upload got no answer (the server
    // may hold it): a card found reading so is ours, not a change there.
    std::optional<std::string> sent;
};
std::vector<Link> readLinks(sqlite3* db);
// Inserts or replaces the link of link.codigo.
void writeLink(sqlite3* db, const Link& link);
void dropLink(sqlite3* db, std::int64_t codigo);
void dropAllLinks(sqlite3* db);
void writeSent(sqlite3* db, std::int64_t codigo, const std::string& sent);

namespace info {
inline constexpr std::string_view kUrl = "url";
inline constexpr std::string_view kUser = "usuario";
inline constexpr std::string_view kToken = "token";
// Group cards left out of the book, one "href TAB etag" a line, so that each
// is named once and not fetched again while it stays the same.
inline constexpr std::string_view kGroups = "grupos";
}  // namespace info
std::optional<std::string> readInfo(sqlite3* db, std::string_view key);
// nullopt deletes the entry.
void writeInfo(sqlite3* db, std::string_view key, const std::optional<std::string>& value);

// Every column but Codigo, each tagged so that a null differs from an empty
// text and no texts can run into one another.
std::string serialize(const Contact& c);
Contact deserialize(std::string_view s);
// Equal for every column but Codigo.
bool sameContact(const Contact& a, const Contact& b);

}  // namespace orv::sync
