#include "support/storetest.h"

#include <sqlite3.h>
#include <fstream>
#include <iterator>

#include "store/contactquery.h"

namespace storetest {

std::string makeBook(const QTemporaryDir& dir, const std::vector<orv::Value>& names,
                     const std::string& file) {
    const std::string path = dir.filePath(QString::fromStdString(file)).toStdString();
    auto db = orv::Database::create(path);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db->handle(), "INSERT INTO Registros (Nombre) VALUES (?1)", -1, &s, nullptr);
    db->exec("BEGIN");
    for (const orv::Value& n : names) {
        if (n)
            sqlite3_bind_text(s, 1, n->data(), static_cast<int>(n->size()), SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(s, 1);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    db->exec("COMMIT");
    sqlite3_finalize(s);
    return path;
}

std::vector<orv::Value> names(orv::Recordset& rs) {
    auto& q = dynamic_cast<orv::QueryRecordset&>(rs);
    q.fetchAll();
    const int field = q.fieldIndex("Nombre");
    std::vector<orv::Value> out;
    for (std::size_t r = 0; r < q.rowsFetched(); ++r) out.push_back(q.valueAt(r, field));
    return out;
}

std::vector<orv::Value> listed(orv::Database& db, const std::string& prefix) {
    auto rs = db.openRecordset(*orv::contactQuery(prefix, "Registros"));
    return names(*rs);
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> show(const std::vector<orv::Value>& values) {
    std::vector<std::string> out;
    for (const auto& v : values) out.push_back(v ? *v : "<null>");
    return out;
}

}  // namespace storetest
