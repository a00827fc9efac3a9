#pragma once
// Helpers for the orvane-db tests: run the built tool, make books with
// chosen contacts, read a book back.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

#include "tools/orvane-db/contact.h"

namespace storedb {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};
// Runs orvane-db with `args` (no terminal, so no progress line).
Run runTool(const QStringList& args);

// A new book holding exactly `contacts` (their Codigo is ignored).
void makeBook(const QString& path, const std::vector<orv::db::Contact>& contacts);
// Every contact of a book, in code order; Codigo cleared when `withCode` is false.
std::vector<orv::db::Contact> readBook(const QString& path, bool withCode = false);

QByteArray fileBytes(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes);

// Shorthand for a contact: texts in table order from Nombre on; use
// std::nullopt for nulls.
orv::db::Contact contact(std::initializer_list<orv::Value> fromNombre);

// n characters (not bytes) of a repeated text.
std::string chars(const QString& unit, int n);
// Contacts that stress every rule of the file formats: nulls and empty
// texts, entry-limit lengths, non-ASCII, separators, quotes, escapes, line
// breaks, town/province shapes. No two share a duplicate key.
std::vector<orv::db::Contact> awkwardContacts();

// Readable form for failure messages.
QString show(const orv::db::Contact& c);

}  // namespace storedb
