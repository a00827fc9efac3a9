#include "store/contact.h"

namespace orv {

namespace {

std::string insertSql() {
    std::string sql = "INSERT INTO " + std::string(schema::kTable) + " (" +
                      schema::columnList(kNombre) + ") VALUES (";
    for (std::size_t c = kNombre; c < kColumnCount; ++c) sql += c > kNombre ? ", ?" : "?";
    return sql + ")";
}

}  // namespace

ContactInserter::ContactInserter(sqlite3* db) : st_(db, insertSql()) {}

void ContactInserter::insert(const Contact& c) {
    for (std::size_t col = kNombre; col < kColumnCount; ++col)
        st_.bind(static_cast<int>(col - kNombre + 1), c[col]);
    st_.step();
    st_.reset();
}

ContactCursor::ContactCursor(sqlite3* db)
    : st_(db, "SELECT " + schema::columnList() + " FROM " + std::string(schema::kTable) +
                  " ORDER BY " + schema::quoted(schema::kColumns[kCodigo])) {}

bool ContactCursor::next(Contact& c) {
    if (!st_.step()) return false;
    for (std::size_t col = 0; col < kColumnCount; ++col) c[col] = st_.value(static_cast<int>(col));
    return true;
}

}  // namespace orv
