#pragma once
// Test support for the store and orvane-db: books made with chosen contacts
// and read back, the built tool run as a user runs it, engine errors checked.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "store/contact.h"
#include "store/engine.h"

namespace storetest {

// A new book holding exactly `contacts` (their Codigo is ignored). Any
// refused insert fails the test.
void makeBook(const QString& path, const std::vector<orv::Contact>& contacts);
// Creates <dir>/<file> as a book whose rows have the given names (codes 1,
// 2, ... in that order) and nothing else, and returns its path.
std::string makeBook(const QTemporaryDir& dir, const std::vector<orv::Value>& names,
                     const std::string& file = "orv.mdb");
// Registros as another tool might make it, with plain SQLite: Nombre without
// our collation, and `without` (when given) left out. Rows have the given names.
void handMadeBook(const std::string& path, const std::vector<orv::Value>& names,
                  std::optional<orv::Col> without = std::nullopt);
// Every contact of a book, in code order; Codigo cleared when `withCode` is false.
std::vector<orv::Contact> readBook(const QString& path, bool withCode = false);

// Every Nombre of a query record set, in its order, after reading all keys.
std::vector<orv::Value> names(orv::QueryRecordset& q);
// Opens the contact query for a prefix and returns its names.
std::vector<orv::Value> listed(orv::Database& db, const std::string& prefix);

// Runs f, which must throw the EngineError `number`, fatal or not as said,
// with exactly `text` when one is given.
void expectError(const std::function<void()>& f, int number, bool fatal = false,
                 const std::string& text = {});

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};
// Runs orvane-db with `args` (no terminal, so no progress line), in `env`
// when one is given.
Run runTool(const QStringList& args, const QProcessEnvironment& env = {});

// A file's whole content, to prove that a failed open or write changed nothing.
QByteArray fileBytes(const QString& path);
inline std::string fileBytes(const std::string& path) {
    return fileBytes(QString::fromStdString(path)).toStdString();
}
void writeFile(const QString& path, const QByteArray& bytes);

// Shorthand for a contact: texts in table order from Nombre on; use
// std::nullopt for nulls.
orv::Contact contact(std::initializer_list<orv::Value> fromNombre);
// n characters (not bytes) of a repeated text.
std::string chars(const QString& unit, int n);
// "P7" for ("P", 7): appended in place, where "P" + std::to_string(7) makes
// GCC 12 warn at -O3 of an overlapping copy (a false alarm of its own).
std::string numbered(std::string prefix, long long n);
// Contacts that stress every rule of the file formats: nulls and empty
// texts, entry-limit lengths, non-ASCII, separators, quotes, escapes, line
// breaks, town/province shapes. No two share a duplicate key.
std::vector<orv::Contact> awkwardContacts();

// Readable forms for failure messages: one string per value ("<null>" for
// a null), and a whole contact on one line.
std::vector<std::string> show(const std::vector<orv::Value>& values);
QString show(const orv::Contact& c);

}  // namespace storetest
