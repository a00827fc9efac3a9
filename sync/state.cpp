#include "sync/state.h"

#include <charconv>

#include "store/sql.h"

namespace orv::sync {

void createSyncTables(sqlite3* db) {
    sql::exec(db,
              "CREATE TABLE IF NOT EXISTS OrvSync (Codigo INTEGER PRIMARY KEY, Uid TEXT NOT NULL, "
              "Href TEXT NOT NULL UNIQUE, Etag TEXT, Synced BLOB, Sent BLOB);"
              "CREATE TABLE IF NOT EXISTS OrvSyncInfo (Clave TEXT PRIMARY KEY, Valor TEXT);");
    // Books synced before the column came.
    sql::Statement has(db, "SELECT count(*) FROM pragma_table_info('OrvSync') WHERE name = 'Sent'");
    if (has.step() && has.int64(0) == 0) sql::exec(db, "ALTER TABLE OrvSync ADD COLUMN Sent BLOB");
}

bool hasSyncTables(sqlite3* db) {
    sql::Statement st(db,
                      "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                      "('OrvSync', 'OrvSyncInfo')");
    return st.step() && st.int64(0) == 2;
}

std::vector<Link> readLinks(sqlite3* db) {
    std::vector<Link> links;
    sql::Statement has(db, "SELECT count(*) FROM pragma_table_info('OrvSync') WHERE name = 'Sent'");
    const bool sent = has.step() && has.int64(0) > 0;
    sql::Statement st(db, sent ? "SELECT Codigo, Uid, Href, Etag, Synced, Sent FROM OrvSync"
                               : "SELECT Codigo, Uid, Href, Etag, Synced FROM OrvSync");
    while (st.step()) {
        Link l;
        l.codigo = st.int64(0);
        l.uid = st.text(1);
        l.href = st.text(2);
        l.etag = st.text(3);
        if (!st.isNull(4)) l.synced = std::string(st.text(4));
        if (sent && !st.isNull(5)) l.sent = std::string(st.text(5));
        links.push_back(std::move(l));
    }
    return links;
}

void writeLink(sqlite3* db, const Link& link) {
    sql::Statement st(db,
                      "INSERT OR REPLACE INTO OrvSync (Codigo, Uid, Href, Etag, Synced, Sent) "
                      "VALUES (?, ?, ?, ?, ?, ?)");
    st.bind(1, link.codigo);
    st.bind(2, link.uid);
    st.bind(3, link.href);
    st.bind(4, link.etag);
    st.bind(5, link.synced);
    st.bind(6, link.sent);
    st.step();
}

void writeSent(sqlite3* db, std::int64_t codigo, const std::string& sent) {
    sql::Statement st(db, "UPDATE OrvSync SET Sent = ? WHERE Codigo = ?");
    st.bind(1, sent);
    st.bind(2, codigo);
    st.step();
}

void dropLink(sqlite3* db, std::int64_t codigo) {
    sql::Statement st(db, "DELETE FROM OrvSync WHERE Codigo = ?");
    st.bind(1, codigo);
    st.step();
}

void dropAllLinks(sqlite3* db) {
    sql::exec(db, "DELETE FROM OrvSync");
}

std::optional<std::string> readInfo(sqlite3* db, std::string_view key) {
    sql::Statement st(db, "SELECT Valor FROM OrvSyncInfo WHERE Clave = ?");
    st.bind(1, key);
    if (!st.step()) return std::nullopt;
    return st.value(0);
}

void writeInfo(sqlite3* db, std::string_view key, const std::optional<std::string>& value) {
    sql::Statement st(db, value ? "INSERT OR REPLACE INTO OrvSyncInfo VALUES (?, ?)"
                                : "DELETE FROM OrvSyncInfo WHERE Clave = ?");
    st.bind(1, key);
    if (value) st.bind(2, *value);
    st.step();
}

std::string serialize(const Contact& c) {
    std::string s;
    for (std::size_t col = kNombre; col < kColumnCount; ++col) {
        if (!c[col]) {
            s += '\x01';
            continue;
        }
        s += '\x02';
        s += std::to_string(c[col]->size());
        s += ':';
        s += *c[col];
    }
    return s;
}

Contact deserialize(std::string_view s) {
    Contact c;
    std::size_t pos = 0;
    for (std::size_t col = kNombre; col < kColumnCount && pos < s.size(); ++col) {
        if (s[pos++] != '\x02') continue;
        std::size_t length = 0;
        auto [end, ec] = std::from_chars(s.data() + pos, s.data() + s.size(), length);
        if (ec != std::errc() || end == s.data() + s.size() || *end != ':') break;
        pos = static_cast<std::size_t>(end - s.data()) + 1;
        c[col] = std::string(s.substr(pos, length));
        pos += length;
    }
    return c;
}

bool sameContact(const Contact& a, const Contact& b) {
    for (std::size_t col = kNombre; col < kColumnCount; ++col)
        if (a[col] != b[col]) return false;
    return true;
}

}  // namespace orv::sync
