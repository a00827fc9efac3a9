#pragma once
// Temporary contact books for the store's tests.

#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

#include "store/engine.h"

namespace storetest {

// Creates <dir>/<file> as a contact book whose rows have the given names
// (codes 1, 2, ... in that order) and returns its path.
std::string makeBook(const QTemporaryDir& dir, const std::vector<orv::Value>& names,
                     const std::string& file = "orv.mdb");

// Every Nombre of a query record set, in its order, after reading all keys.
std::vector<orv::Value> names(orv::Recordset& rs);
// Opens the contact query for a prefix and returns its names.
std::vector<orv::Value> listed(orv::Database& db, const std::string& prefix);

// A file's whole content, to prove that a failed open changed nothing.
std::string fileBytes(const std::string& path);

// One string per value ("<null>" for a null), for readable comparisons.
std::vector<std::string> show(const std::vector<orv::Value>& values);

}  // namespace storetest
