#pragma once
// Test support for the file formats: a text checked against the contacts
// it must read as, whole and in pieces, and a file's cards compared line by
// line.

#include <QTest>

#include <string>
#include <vector>

#include "exchange/import.h"
#include "store/contact.h"

namespace formattest {

// A text in one format and what reading it must give. `lines`: the first
// line of each contact, when checked; `problems`: the lines reported;
// `why`: parts of the first problem's reason.
struct Case {
    const char* name;
    orv::exchange::Format format;
    std::string text;
    std::vector<orv::Contact> expected;
    std::size_t groups = 0;
    std::vector<long> lines = {};
    std::vector<long> problems = {};
    std::vector<const char*> why = {};
    bool named = true;  // every contact has a Nombre: nothing invisible
};

// A data column "index" and one row a case, named after it.
void addRows(const std::vector<Case>& cases);
// Reads c.text whole and checks what it gives against c (every contact with
// a Nombre when c.named); then reads it as a file comes, in pieces of 1 to 7 bytes, so
// that line ends, characters and byte order marks are cut everywhere, for
// the same result, and tells a file changed between check and read.
void checkReading(const Case& c);
// checkReading for the row's case.
void checkRow(const std::vector<Case>& cases);

// The index of a column of the book, by its name.
std::size_t column(const QString& name);

// A file's cards as sorted lists of logical lines: folding undone, and the
// blanks a fold leaves in base64 dropped, so that two cards compare
// property by property, order and folding aside.
std::vector<std::vector<std::string>> cardsOf(const std::string& text);

}  // namespace formattest
