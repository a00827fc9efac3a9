#include "support/storetest.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <memory>

#include "store/contactquery.h"
#include "store/keys.h"
#include "store/sql.h"

using orv::Contact;

namespace storetest {

void makeBook(const QString& path, const std::vector<Contact>& contacts) {
    auto db = orv::Database::create(path.toStdString());
    orv::sql::WriteTransaction t(db->handle());
    orv::ContactInserter insert(db->handle());
    for (const Contact& c : contacts) insert.insert(c);
    orv::keys::refresh(db->handle());
    t.commit();
}

std::string makeBook(const QTemporaryDir& dir, const std::vector<orv::Value>& names,
                     const std::string& file) {
    const QString path = dir.filePath(QString::fromStdString(file));
    std::vector<Contact> contacts(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) contacts[i][orv::kNombre] = names[i];
    makeBook(path, contacts);
    return path.toStdString();
}

void handMadeBook(const std::string& path, const std::vector<orv::Value>& names,
                  std::optional<orv::Col> without) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open(path.c_str(), &raw);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (rc != SQLITE_OK) throw orv::sql::error(raw, rc);
    std::string columns = "Codigo INTEGER PRIMARY KEY";
    for (std::size_t c = orv::kNombre; c < orv::kColumnCount; ++c)
        if (c != without) columns += ", " + orv::schema::quoted(orv::schema::kColumns[c]) + " TEXT";
    orv::sql::exec(
        raw, "CREATE TABLE Registros (" + columns + "); CREATE INDEX ByName ON Registros (Nombre)");
    orv::sql::Statement insert(raw, "INSERT INTO Registros (Nombre) VALUES (?1)");
    for (const orv::Value& n : names) {
        insert.bind(1, n);
        insert.step();
        insert.reset();
    }
}

std::vector<Contact> readBook(const QString& path, bool withCode) {
    auto db = orv::Database::open(path.toStdString());
    orv::ContactCursor cursor(db->handle());
    std::vector<Contact> out;
    for (Contact c; cursor.next(c);) {
        if (!withCode) c[orv::kCodigo].reset();
        out.push_back(c);
    }
    return out;
}

std::vector<orv::Value> names(orv::QueryRecordset& q) {
    q.fetchAll();
    const int field = q.fieldIndex(std::string(orv::schema::kColumns[orv::kNombre]));
    std::vector<orv::Value> out;
    for (std::size_t r = 0; r < q.rowsFetched(); ++r) out.push_back(q.valueAt(r, field));
    return out;
}

std::vector<orv::Value> listed(orv::Database& db, const std::string& prefix) {
    return names(*db.openQuery(*orv::contactQuery(prefix, "Registros")));
}

void expectError(const std::function<void()>& f, int number, bool fatal, const std::string& text) {
    try {
        f();
        QFAIL("no error");
    } catch (const orv::EngineError& e) {
        QCOMPARE(e.number(), number);
        QCOMPARE(e.fatal(), fatal);
        if (!text.empty()) QCOMPARE(e.text(), text);
    }
}

Run runTool(const QStringList& args, const QProcessEnvironment& env) {
    QProcess p;
    if (!env.isEmpty()) p.setProcessEnvironment(env);
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

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    // For its owner only, as a password file must be.
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    f.write(bytes);
}

Contact contact(std::initializer_list<orv::Value> fromNombre) {
    Contact c;
    std::size_t col = orv::kNombre;
    for (const orv::Value& v : fromNombre) c[col++] = v;
    return c;
}

std::string numbered(std::string prefix, long long n) {
    return prefix += std::to_string(n);
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
        // What a spreadsheet would run, and what only looks like it.
        contact({"=HYPERLINK(\"http://x.example\";\"pulse\")", "@SUM(1+1)",
                 "-2+3+cmd|' /C calc'!A0", "'=1", "+34 600 111 222", "-", "'", "\t=1", nullopt}),
    };
}

QString show(const Contact& c) {
    QStringList parts;
    for (const orv::Value& v : c)
        parts << (v ? QLatin1Char('"') + QString::fromStdString(*v) + QLatin1Char('"')
                    : QStringLiteral("null"));
    return parts.join(QStringLiteral(", "));
}

std::vector<std::string> show(const std::vector<orv::Value>& values) {
    std::vector<std::string> out;
    for (const auto& v : values) out.push_back(v ? *v : "<null>");
    return out;
}

}  // namespace storetest
