#pragma once
// What another program's file says about one person, before it becomes a
// row: the readers of every format fill a Card, and toContact() maps it onto
// the book's columns. Nothing is dropped (a value without a column of its own
// becomes a labelled line in "Mas info") and nothing is invisible (a contact
// always gets a Nombre).

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/contact.h"

namespace orv::exchange {

// A phone, e-mail, address or date with its Spanish label ("trabajo",
// "móvil"...; empty for none).
struct Labelled {
    std::string value;
    std::string label;
    bool preferred = false;
    std::string prop{};  // the property it came from, for the report ("TEL")
};

struct Address {
    std::string street, extended, poBox, town, region, postcode, country;
    std::string label;
    bool preferred = false;
    std::string prop{};
    bool empty() const;
};

struct Card {
    std::string given, middle, family, fullName;
    std::string prefix, suffix, nickname, company, department, title, role;
    std::vector<Labelled> phones, emails, icqs, webs, ims, dates;
    std::vector<Address> addresses;
    // Birthdays as written: the first whole date is the date of birth, the
    // rest (a year-less one, a second one) go to "Mas info".
    std::vector<std::string> birthdays;
    // A date in the source's own order that isoFromImported would misread
    // (Outlook in English writes month/day/year).
    bool monthFirst = false;
    std::vector<std::string> notes;
    std::vector<std::string> categories;
    // Values with no column and no label of ours: "label: value" lines.
    std::vector<std::pair<std::string, std::string>> others;
    // Where each property went, for the report (see Fates).
    std::vector<std::string> othersFrom;  // the property of each of `others`
    std::vector<std::string> aside;       // properties with neither field nor line

    // Orvane's own files: each column exactly as written (null kept), with
    // `own[col]` saying the file named that column.
    Contact exact;
    std::array<bool, kColumnCount> own{};
};

// How many properties of one kind ("TEL", "PHOTO", a CSV column) went to a
// field of the book, to a line of "Mas info", or were only kept aside.
struct Fate {
    std::size_t field = 0, info = 0, aside = 0;
};
using Fates = std::map<std::string, Fate>;

// The row for a card, texts as they came (see cleanContact). `extra`, when
// given, receives the lines that went to "Mas info" beside the note;
// `fates`, when given, counts where each property went.
Contact toContact(const Card& card, std::string* extra = nullptr, Fates* fates = nullptr);

// What a reader made of a file: the contacts with the line each starts on,
// and what could not be read, as "line: reason".
struct Located {
    Contact contact;
    long line = 0;
    // The card's properties as read (logical lines), kept with the contact
    // for what the book has no column for; empty when the row holds it all.
    std::vector<std::string> kept{};
};
struct Problem {
    long line = 0;
    std::string reason;
};
struct Reading {
    std::vector<Located> contacts;
    std::vector<Problem> problems;
    std::size_t groups = 0;  // group cards (lists, not people) left out
    Fates fates;
    // How the file's dates were read when they could not tell: "día/mes" or
    // "mes/día", assumed from the header's language; empty when they told.
    std::string assumedOrder;

    // When set, each contact goes there as it is read instead of into
    // `contacts`, so that a file is never held whole.
    std::function<void(Located&&)> sink{};
    // The problems beyond this many are only counted.
    std::size_t problemLimit = SIZE_MAX;
    std::size_t problemCount = 0, contactCount = 0;

    void add(Located&& item) {
        ++contactCount;
        if (sink)
            sink(std::move(item));
        else
            contacts.push_back(std::move(item));
    }
    void addProblem(Problem p) {
        if (++problemCount <= problemLimit) problems.push_back(std::move(p));
    }
};
// Told the bytes read so far, now and then.
using ProgressFn = std::function<void(std::size_t bytes)>;

// A date of birth as other programs write it, to ISO; nullopt when it is no
// whole date. `monthFirst` reads d/m/y as m/d/y.
std::optional<std::string> birthIso(std::string_view text, bool monthFirst = false);
// A year-less birthday ("--0321", "--03-21", "1604-03-21", "16040321") as
// "21/03"; nullopt for anything else.
std::optional<std::string> yearlessBirthday(std::string_view text);
// True for the placeholders some programs write for "no date" ("0/0/00").
bool noDate(std::string_view text);

// Texts as the book keeps them: Unicode NFC, LF line breaks, no control
// characters but tab and LF. `trim` also drops the blanks around the text.
std::string cleanText(std::string_view text, bool trim = false);
// Every column cleaned; Nombre and Apellido trimmed too.
void cleanContact(Contact& c);
// A text fit for a terminal: control characters shown as \t, \n, \xNN.
std::string printable(std::string_view text);

}  // namespace orv::exchange
