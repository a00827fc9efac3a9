#pragma once
// Two-way sync of a contact book with one CardDAV address book.
//
// The book is read once, the server asked what changed (by sync token, else
// by ETag), the changed cards fetched and each contact decided against what
// was last synced: changes on one side travel to the other, deletes too, a
// contact changed on both sides is merged field by field. The server is
// written first (a new card's UID is kept in the book before its upload);
// the book's side then goes in one transaction that also records what the
// server now holds. A sync stopped at any point leaves both sides as they
// were or as the next sync recognises: nothing doubled, nothing lost.

#include <sqlite3.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sync/carddav.h"
#include "sync/guard.h"

namespace orv::sync {

struct SyncOptions {
    CardDavOptions dav;
    bool dryRun = false;  // decide and report, write nothing on either side
    // Let through a sync that deletes all, or most, of a side's contacts.
    bool allowDeletions = false;
    // The book was last synced with another address book than this one: link
    // it to this one anyway (merging by content) instead of stopping.
    bool otherAddressBook = false;
    // `stage` in Spanish ("Listando", "Descargando", "Subiendo").
    std::function<void(const char* stage, qint64 done, qint64 total)> progress;
    // Called at the points between the sync's steps ("reserved", "writing",
    // "put", "server-done", "before-commit"); tests stop the process there.
    std::function<void(const char* point)> checkpoint;
    // Asked between the sync's steps and before each card it writes to the
    // server (a window's "Cancelar"); true stops the sync there.
    std::function<bool()> cancelled;
};

struct SyncReport {
    // One line a contact, naming it.
    std::vector<std::string> up, down, deletedHere, deletedThere, conflicts, kept;
    // Group cards (KIND:group) on the server: the book has no groups, so
    // they stay out of it; each named once, when first seen.
    std::vector<std::string> groups;
    // Contacts that could not be synced this time (the next sync retries).
    std::vector<std::string> problems;
    // What the server named and the sync did not take, each with why: a card
    // elsewhere (another server, outside the address book), one too large.
    std::vector<std::string> leftOut;
    // Why nothing was done (wrong password, wrong address, server down);
    // empty when the sync ran.
    std::string fatal;
    // The copy of the book kept before a sync that changes many contacts.
    std::string copy;
    // The sync stopped because the address book is not the one last synced.
    bool otherBook = false;
    // The guard stopped it (`fatal` says why): what it would have deleted.
    std::optional<PlannedDeletions> refused;
    // options.cancelled stopped it: before anything was written (`fatal`
    // says so), or part way through the server's side, what was done kept in
    // the book and the rest left to the next sync (`problems` says so).
    bool cancelled = false;
    bool complete() const { return fatal.empty() && problems.empty(); }
};

// Syncs the book on `db` (opened by the store) with options.dav.collection.
// Engine failures throw EngineError with the book's side rolled back.
SyncReport syncBook(sqlite3* db, const SyncOptions& options);

struct SyncTarget {
    std::string url, user;
};
// The address and user of the book's last sync, if it was ever synced.
std::optional<SyncTarget> lastSyncTarget(sqlite3* db);

}  // namespace orv::sync
