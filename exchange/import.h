#pragma once
// Bringing contacts into a book: a file read in any known format, then
// written in one transaction with a duplicate check that seeks the name
// index (the cost grows with the contacts brought in, not with the book).

#include <sqlite3.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/card.h"

namespace orv::exchange {

enum class Format { Csv, VCard, Ldif, Abook };
// "csv", "vcard"/"vcf", "ldif"/"ldi", "abook".
std::optional<Format> formatFromName(std::string_view name);
// By the file's extension (.csv, .vcf, .vcard, .ldif, .ldi; abook's file is
// named "addressbook"), letter case ignored.
std::optional<Format> formatFromPath(const std::string& path);
// By the first line of the text, for a file whose name says nothing.
std::optional<Format> formatFromText(std::string_view bytes);

// A file's bytes read as contacts: the encoding found (see decodeText) and
// every record mapped and cleaned.
Reading readContacts(std::string_view bytes, Format format, const ProgressFn& progress = {});

struct ImportOptions {
    bool dryRun = false;          // look, write nothing
    bool keepDuplicates = false;  // import contacts equal to one in the book too
};
struct Match {
    const Located* item;  // the contact of the file
    std::int64_t code;    // the one in the book it equals or looks like
};
struct ImportResult {
    std::size_t imported = 0;            // written (or, on a dry run, that would be)
    std::vector<Match> duplicates;       // equal in every field to one in the book
    std::vector<Match> lookalikes;       // same name, and surname case and accents aside
    std::vector<const Located*> listed;  // the contacts written (or that would be)
    std::string copy;                    // the copy of the book kept first, if any
};
// Writes `contacts` (all in one transaction, which takes the write lock only
// after the file was read). A contact equal in every field to one already
// in the book is skipped unless kept; contacts that only look alike are
// written and listed.
ImportResult importContacts(sqlite3* db, const std::vector<Located>& contacts,
                            const ImportOptions& options);

// Name and surname with case and accents folded, for "looks alike". The
// candidates are the rows with the same name (one seek of the name index):
// a surname written otherwise is found, a name written otherwise is not.
std::string lookalikeKey(const Contact& c);

}  // namespace orv::exchange
