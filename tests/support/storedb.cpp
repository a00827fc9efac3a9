#include "support/storedb.h"

#include <sqlite3.h>

#include <QFile>
#include <QProcess>
#include <QTest>

#include "store/engine.h"
#include "store/schema.h"

using orv::db::Contact;

namespace storedb {

Run runTool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(ORV_DB_TOOL), args);
    Run r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        qWarning("orvane-db did not finish: %s", qPrintable(args.join(' ')));
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

namespace {

std::string columns(std::size_t from) {
    std::string s;
    for (std::size_t c = from; c < orv::db::kColumnCount; ++c)
        s += (c > from ? ", " : "") + orv::schema::quoted(orv::schema::kColumns[c]);
    return s;
}

void check(sqlite3* db, int rc) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        qFatal("sqlite: %s", sqlite3_errmsg(db));
}

}  // namespace

void makeBook(const QString& path, const std::vector<Contact>& contacts) {
    auto db = orv::Database::create(path.toStdString());
    sqlite3* h = db->handle();
    std::string sql = "INSERT INTO Registros (" + columns(orv::db::kNombre) + ") VALUES (?";
    for (std::size_t c = orv::db::kNombre + 1; c < orv::db::kColumnCount; ++c) sql += ", ?";
    sql += ")";
    sqlite3_stmt* st = nullptr;
    check(h, sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr));
    for (const Contact& c : contacts) {
        for (std::size_t col = orv::db::kNombre; col < orv::db::kColumnCount; ++col) {
            const int i = static_cast<int>(col - orv::db::kNombre + 1);
            if (c[col])
                sqlite3_bind_text(st, i, c[col]->data(), static_cast<int>(c[col]->size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(st, i);
        }
        check(h, sqlite3_step(st));
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
}

std::vector<Contact> readBook(const QString& path, bool withCode) {
    auto db = orv::Database::open(path.toStdString());
    sqlite3* h = db->handle();
    std::string sql = "SELECT " + columns(0) + " FROM Registros ORDER BY Codigo";
    sqlite3_stmt* st = nullptr;
    check(h, sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr));
    std::vector<Contact> out;
    while (sqlite3_step(st) == SQLITE_ROW) {
        Contact c;
        for (std::size_t col = withCode ? 0 : 1; col < orv::db::kColumnCount; ++col) {
            const int i = static_cast<int>(col);
            if (sqlite3_column_type(st, i) != SQLITE_NULL)
                c[col] = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                                     static_cast<std::size_t>(sqlite3_column_bytes(st, i)));
        }
        out.push_back(std::move(c));
    }
    sqlite3_finalize(st);
    return out;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
}

Contact contact(std::initializer_list<orv::Value> fromNombre) {
    Contact c;
    std::size_t col = orv::db::kNombre;
    for (const orv::Value& v : fromNombre) c[col++] = v;
    return c;
}

// n characters of a repeated text (counted in characters, not bytes).
std::string chars(const QString& unit, int n) {
    QString s;
    while (s.size() < n) s += unit;
    return s.left(n).toStdString();
}

std::vector<Contact> awkwardContacts() {
    using std::nullopt;
    return {
        contact({"Ana", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt}),
        contact({"", "", "", "", "", "", "", "", ""}),
        contact({nullopt, "Sin nombre", nullopt, "Sevilla", nullopt, nullopt, nullopt, nullopt,
                 "1975-03-21"}),
        contact({"", nullopt, "", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt}),
        contact({nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt}),
        // Entry limits, in characters that take two bytes.
        contact({chars("Íñigo", 50), chars("Muñoz", 50), chars("Calle Ñandú ", 50),
                 chars("Alcalá/Ávila", 50), chars("+34 (91) ", 50), chars("ñ@correo.es", 100),
                 chars("1234567", 50), chars("Línea ñ; coma, fin. ", 200), "2000-02-29"}),
        // Past the card's typing limits: imports never cut text.
        contact({chars("Bartolomé ", 120), nullopt, nullopt, nullopt, nullopt, nullopt, nullopt,
                 chars("Nota larga, con acentos: ñúé. ", 1000), nullopt}),
        // Town and province in every shape the split must give back.
        contact(
            {"Luis", "Pérez A", nullopt, "Madrid/", nullopt, nullopt, nullopt, nullopt, nullopt}),
        contact(
            {"Luis", "Pérez B", nullopt, "/Madrid", nullopt, nullopt, nullopt, nullopt, nullopt}),
        contact({"Luis", "Pérez C", nullopt, "/", nullopt, nullopt, nullopt, nullopt, nullopt}),
        contact({"Luis", "Pérez D", nullopt, "Alcalá//Madrid", nullopt, nullopt, nullopt, nullopt,
                 nullopt}),
        contact({"Luis", "Pérez", "Calle Mayor, 5; 3º", "Alcalá de Henares/Madrid/España", nullopt,
                 nullopt, nullopt, nullopt, nullopt}),
        // Notes that look like what the vCard reader writes itself, and
        // every character the formats treat specially.
        contact({"José Luis", "O'Brien \"Jr\"", nullopt, nullopt, "91 555 12 34", nullopt, "12345",
                 "Teléfono: 600 000 000\nFecha de nacimiento: 21/03\ne-mail: x@y.es", ""}),
        contact({" José ", "\tTab", "a\\b\\nc\\;d", "x;y,z", "a,b", "q\"q", "\\",
                 "Windows\r\nlíneas\rsueltas\n\\n literal", nullopt}),
        contact({"=3D", "BEGIN:VCARD", "END:VCARD", "QUOTED-PRINTABLE", "=", nullopt, nullopt,
                 "termina en =", nullopt}),
        // Folded so that a continuation line reads " END:VCARD" or " BEGIN:VCARD".
        contact({"Fold", nullopt, nullopt, nullopt, nullopt, nullopt, nullopt,
                 std::string(70, 'x') + "END:VCARD", nullopt}),
        contact({"Fold", "", nullopt, nullopt, nullopt, nullopt, nullopt,
                 std::string(70, 'x') + "BEGIN:VCARD", nullopt}),
        contact({"Ñandú", "€ ‰ ✓ 𝄞", nullopt, nullopt, nullopt, "tel:123", "icq:5", nullopt,
                 "1900-01-01"}),
    };
}

QString show(const Contact& c) {
    QStringList parts;
    for (const orv::Value& v : c)
        parts << (v ? QLatin1Char('"') + QString::fromStdString(*v) + QLatin1Char('"')
                    : QStringLiteral("null"));
    return parts.join(QStringLiteral(", "));
}

}  // namespace storedb
