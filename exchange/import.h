#pragma once
// Bringing contacts into a book: a file read in any known format, then
// written in one transaction with a duplicate check that seeks an index of
// what it compares (the cost grows with the contacts brought in, not with
// the book).

#include <sqlite3.h>

#include <cstddef>
#include <memory>
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

struct CardResult;
class ByteSource;

// A file's bytes read as contacts: the encoding found (see decodeText) and
// every record mapped and cleaned.
Reading readContacts(std::string_view bytes, Format format, const ProgressFn& progress = {});
// The same into `out` (its sink and problem limit hold); `first` receives the
// first card's whole result.
void readText(std::string_view bytes, Format format, Reading& out, CardResult* first = nullptr,
              const ProgressFn& progress = {});

// A file read without holding it: check() reads it whole and finds what is
// wrong with it, read() reads it again and hands each contact to the
// reading's sink. Each reading holds one record at a time.
class FileReading {
  public:
    FileReading(ByteSource& source, Format format);
    ~FileReading();
    // Problems, groups and where each property goes; contacts go to
    // out.sink (or are only counted when there is none).
    void check(Reading& out, const ProgressFn& progress = {});
    // Every readable contact to out.sink. False when the file read now is
    // not the file checked (it changed meanwhile).
    bool read(Reading& out, const ProgressFn& progress = {});

  private:
    struct State;
    std::unique_ptr<State> s_;
};

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

// The same one contact at a time, in one transaction from construction to
// commit() (a dry run only reads). More than backup::kCopyAbove contacts
// `expected` keeps a copy of the book first.
class Importer {
  public:
    Importer(sqlite3* db, const ImportOptions& options, std::size_t expected);
    ~Importer();
    enum class Kind { New, Duplicate, Lookalike };
    struct Outcome {
        Kind kind = Kind::New;
        std::int64_t code = 0;  // the contact of the book it equals or looks like
        bool written = false;   // imported (or, on a dry run, would be)
    };
    Outcome add(const Located& item);
    void commit();
    const std::string& copy() const;

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// Brings the book's look-up of what an import compares (OrvParecidos, see
// import.cpp) up to date; inside a write transaction.
void refreshLookup(sqlite3* db);

// Name and surname with case and accents folded, for "looks alike": a
// surname written otherwise is found, a name written otherwise is not.
std::string lookalikeKey(const Contact& c);

}  // namespace orv::exchange
