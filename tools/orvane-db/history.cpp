#include "tools/orvane-db/history.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>

#include "exchange/card.h"
#include "store/backup.h"
#include "store/dates.h"
#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv::db {

namespace {

std::optional<std::int64_t> code(const std::string& s) {
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(s);
}

std::string name(const Contact& c) {
    std::string s;
    for (std::size_t col : {kNombre, kApellido})
        if (c[col] && !c[col]->empty()) s += (s.empty() ? "" : " ") + *c[col];
    return exchange::printable(s.empty() ? "(sin nombre)" : s);
}

std::string shown(std::size_t col, const Value& v) {
    if (!v) return "(nada)";
    if (v->empty()) return "(vacío)";
    return exchange::printable(col == kFecha ? displayFromIso(*v) : *v);
}

// The fields that differ, one line each: "    Telefono: 555 → 556".
void differences(const Console& con, const std::optional<Contact>& before,
                 const std::optional<Contact>& after) {
    for (std::size_t col = kNombre; col < kColumnCount; ++col) {
        const Value b = before ? (*before)[col] : std::nullopt;
        const Value a = after ? (*after)[col] : std::nullopt;
        if (b != a)
            con.out << "    " << schema::kColumns[col] << ": " << shown(col, b) << " → "
                    << shown(col, a) << "\n";
    }
}

int history(const Invocation& a, const Console& con) {
    const bool deleted = a.has("--deleted");
    if (deleted && a.positional.size() > 1)
        throw UsageError("--deleted lista todos los contactos borrados: sin código");
    std::optional<std::int64_t> only;
    if (a.positional.size() == 2 && !(only = code(a.positional[1])))
        throw UsageError("código no válido: " + a.positional[1]);
    auto db = Database::open(a.positional[0]);
    sqlite3* h = db->handle();
    sql::ReadTransaction read(h);
    if (deleted) {
        const auto gone = history::deleted(h);
        for (const auto& e : gone)
            con.out << e.codigo << "  " << name(e.before) << "  borrado el "
                    << showMoment(e.momento) << " (" << e.origen << ")\n";
        con.out << (gone.empty()
                        ? "No hay contactos borrados en la historia\n"
                        : std::to_string(gone.size()) +
                              (gone.size() == 1 ? " contacto borrado" : " contactos borrados") +
                              "; orvane-db restore ARCHIVO CÓDIGO lo devuelve\n");
        return 0;
    }
    const auto list = history::entries(h, only);
    // Walking back from now: what each change left is what the newer one found.
    std::map<std::int64_t, std::optional<Contact>> after;
    for (const auto& e : list) {
        if (e.tipo == history::kForgotten) {
            con.out << showMoment(e.momento) << "  " << e.tipo << "  " << e.codigo
                    << " (sus datos se han borrado)\n";
            after[e.codigo] = std::nullopt;
            continue;
        }
        auto at = after.find(e.codigo);
        if (at == after.end()) at = after.emplace(e.codigo, history::current(h, e.codigo)).first;
        const std::optional<Contact> before =
            e.tipo == "alta" ? std::nullopt : std::optional<Contact>(e.before);
        const Contact& who = at->second ? *at->second : e.before;
        con.out << showMoment(e.momento) << "  " << e.tipo << "  " << e.origen << "  " << e.codigo
                << " " << name(who) << "\n";
        if (e.tipo == "cambio" || only) differences(con, before, at->second);
        at->second = before;
    }
    if (list.empty())
        con.out << (only ? "No hay cambios del contacto " + std::to_string(*only) +
                               " en la historia\n"
                         : std::string("La historia está vacía\n"));
    return 0;
}

int restore(const Invocation& a, const Console& con) {
    const auto codigo = code(a.positional[1]);
    if (!codigo) throw UsageError("código no válido: " + a.positional[1]);
    std::optional<std::int64_t> at;
    const auto atText = a.value("--at");
    if (atText && !(at = parseMoment(*atText, history::nowMs())))
        throw UsageError("momento no válido: " + *atText);
    auto db = Database::open(a.positional[0]);
    sqlite3* h = db->handle();
    sql::WriteTransaction tx(h);
    history::label(tx, history::kRestore);
    std::optional<Contact> then;
    std::int64_t when = 0;
    if (at) {
        bool changed = false;
        then = history::stateAt(h, *codigo, *at, changed);
        if (!changed) {
            con.out << "El contacto " << *codigo << " está como estaba el " << showMoment(*at)
                    << ": nada que restaurar\n";
            return 0;
        }
        if (!then) {
            con.err << "el contacto " << *codigo << " no existía el " << showMoment(*at) << "\n";
            return 1;
        }
        when = *at;
    } else {
        if (auto now = history::current(h, *codigo)) {
            con.err << "el contacto " << *codigo << " (" << name(*now)
                    << ") no está borrado; para devolverlo a un momento use --at MOMENTO\n";
            return 1;
        }
        for (const auto& e : history::entries(h, *codigo))
            if (e.tipo == "baja") {
                then = e.before;
                when = e.momento;
                break;
            }
        if (!then) {
            con.err << "no hay en la historia ningún contacto borrado con el código " << *codigo
                    << "\n";
            return 1;
        }
    }
    history::putBack(h, *then);
    keys::refresh(h);
    tx.commit();
    con.out << "Contacto " << *codigo << " (" << name(*then) << ") restaurado como estaba "
            << (at ? "el " : "antes de borrarlo, el ") << showMoment(when) << "\n";
    return 0;
}

int undo(const Invocation& a, const Console& con) {
    const auto toText = a.value("--to");
    if (!toText) throw UsageError("falta --to MOMENTO");
    const auto to = parseMoment(*toText, history::nowMs());
    if (!to) throw UsageError("momento no válido: " + *toText);
    const bool dryRun = a.has("--dry-run");
    auto db = Database::open(a.positional[0]);
    sqlite3* h = db->handle();
    const std::int64_t started = history::nowMs();
    sql::WriteTransaction tx(h);
    history::label(tx, history::kUndo);
    const auto n = history::undoTo(h, *to, dryRun);
    const std::string counts = std::to_string(n.removed) + " quitados, " +
                               std::to_string(n.changed) + " cambiados, " + std::to_string(n.back) +
                               " devueltos";
    if (dryRun) {
        con.out << "Simulación: la agenda volvería a como estaba el " << showMoment(*to) << ": "
                << counts << "; no se ha cambiado nada\n";
        return 0;  // the transaction rolls back
    }
    keys::refresh(h);
    tx.commit();
    con.out << "Agenda devuelta a como estaba el " << showMoment(*to) << ": " << counts
            << " (orvane-db undo --to \"" << showMoment(started) << "\" lo deshace)\n";
    return 0;
}

int backup(const Invocation& a, const Console& con) {
    std::string dest;
    if (a.positional.size() == 2) {
        dest = a.positional[1];
        history::backup(a.positional[0], dest);
    } else {
        Database::open(a.positional[0], false);  // a book at all, else its own error
        dest = history::keepCopy(a.positional[0]);
    }
    auto copy = Database::open(dest, false);
    sql::Statement n(copy->handle(), "SELECT count(*) FROM main.Registros");
    n.step();
    con.out << "Copia de " << a.positional[0] << " en " << dest << " (" << n.int64(0)
            << " contactos)\n";
    return 0;
}

// A copy of ours opened for writing, as SQLite opens any book (it is in
// rollback form: its journal lives only while it is written).
struct CopyBook {
    sqlite3* db = nullptr;
    explicit CopyBook(const std::string& path) {
        const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        if (rc != SQLITE_OK) {
            const EngineError e = sql::error(db, rc);
            sqlite3_close_v2(db);
            throw e;
        }
        sqlite3_busy_timeout(db, 3000);
        keys::registerFunctions(db);
    }
    ~CopyBook() { sqlite3_close_v2(db); }
    CopyBook(const CopyBook&) = delete;
    CopyBook& operator=(const CopyBook&) = delete;
};

// Whether a file of copias/ holds anything of the contact (read only, no
// side file made).
bool holds(int dir, const std::string& name, std::int64_t codigo) {
    const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool found = false;
    try {
        sqlite3* db = backup::openReadOnly(fd);
        try {
            found = history::knows(db, codigo);
        } catch (const EngineError&) {
        }
        sqlite3_close_v2(db);
    } catch (const EngineError&) {
    }
    ::close(fd);
    return found;
}

// The same forgetting in one book (or copy) and then the file rewritten.
history::Forgotten forgetIn(sqlite3* db, std::int64_t codigo, bool note, bool& emptied) {
    sql::exec(db, "PRAGMA secure_delete = ON");
    sql::WriteTransaction tx(db);
    history::label(tx, history::kForgotten);
    const history::Forgotten f = history::forget(db, codigo, note);
    keys::refresh(db);
    tx.commit();
    emptied = history::scrub(db);
    return f;
}

bool confirmed(const std::string& what, const Console& con) {
    if (::isatty(STDIN_FILENO) == 0)
        throw UsageError("sin una terminal no se puede pedir confirmación: añada --yes");
    con.err << what << "\nNo se podrá deshacer ni restaurar. Escriba «sí» para seguir: ";
    con.err.flush();
    std::string answer;
    std::getline(std::cin, answer);
    std::string folded;
    for (char c : answer)
        if (c != ' ' && c != '\t' && c != '\r') folded += static_cast<char>(std::tolower(c));
    return folded == "sí" || folded == "si" || folded == "s" || folded == "sÍ";
}

int forget(const Invocation& a, const Console& con) {
    const auto codigo = code(a.positional[1]);
    if (!codigo) throw UsageError("código no válido: " + a.positional[1]);
    const std::string& path = a.positional[0];
    auto db = Database::open(path);
    sqlite3* h = db->handle();

    // Who it is, for the messages: the contact, else its last state kept.
    std::string who;
    bool forgottenBefore = false;
    if (auto now = history::current(h, *codigo)) who = name(*now);
    for (const auto& e : history::entries(h, *codigo)) {
        forgottenBefore = forgottenBefore || e.tipo == history::kForgotten;
        if (who.empty() && e.tipo != "alta" && e.tipo != history::kForgotten) who = name(e.before);
    }
    // The copies we made, and any other file there that holds the contact.
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(path, ec);
    if (ec) real = std::filesystem::absolute(path);
    const std::string bookName = real.filename().string();
    const std::filesystem::path copias = real.parent_path() / "copias";
    int dir = -1;
    std::vector<std::string> ours, others;
    std::size_t holding = 0;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(copias, ec))) {
        std::string folder;
        dir = backup::openCopies(path, &folder);
        ours = backup::ourCopies(dir, bookName);
        for (const std::string& c : ours) holding += holds(dir, c, *codigo);
        for (const std::string& c : backup::otherFiles(dir, bookName))
            if (holds(dir, c, *codigo)) others.push_back(c);
    }
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{dir};
    const bool known = history::knows(h, *codigo);
    if (!known && !holding && !forgottenBefore) {
        con.err << "no hay ningún contacto con el código " << *codigo
                << " en la agenda, en su historia ni en sus copias\n";
        return 1;
    }
    const std::string shown = std::to_string(*codigo) + (who.empty() ? "" : " (" + who + ")");
    if (!a.has("--yes")) {
        std::string what = "Se borrarán para siempre los datos del contacto " + shown +
                           ": su ficha, su historia y su tarjeta guardada";
        if (holding)
            what += ", y lo que guardan de él " + std::to_string(holding) +
                    (holding == 1 ? " copia" : " copias") + " de " + copias.string();
        if (!confirmed(what + ".", con)) {
            con.out << "No se ha borrado nada\n";
            return 1;
        }
    }

    bool emptied = true;
    const history::Forgotten f = forgetIn(h, *codigo, true, emptied);
    std::vector<std::string> parts;
    if (f.row) parts.push_back("su ficha");
    if (f.changes)
        parts.push_back(std::to_string(f.changes) +
                        (f.changes == 1 ? " cambio de su historia" : " cambios de su historia"));
    if (f.kept)
        parts.push_back(std::to_string(f.kept) + (f.kept == 1 ? " línea de su tarjeta guardada"
                                                              : " líneas de su tarjeta guardada"));
    std::string list;
    for (std::size_t i = 0; i < parts.size(); ++i)
        list += (i == 0 ? "" : i + 1 == parts.size() ? " y " : ", ") + parts[i];
    con.out << "Contacto " << shown << " olvidado"
            << (list.empty() ? std::string(": ya no quedaba nada de él en la agenda")
                             : ": borrados " + list)
            << "\n";
    if (f.linked) con.out << "La próxima sincronización lo borrará también del servidor\n";
    if (!emptied)
        con.err << "otro programa tiene la agenda abierta: parte de sus datos puede quedar en "
                << path << "-wal hasta que la cierre; repita entonces la orden\n";

    std::size_t cleaned = 0;
    for (const std::string& c : ours) {
        CopyBook copy((copias / c).string());
        bool done = true;
        if (forgetIn(copy.db, *codigo, false, done).anything()) ++cleaned;
    }
    if (!ours.empty())
        con.out << "Copias de " << copias.string() << " limpiadas: " << ours.size() << " ("
                << cleaned << (cleaned == 1 ? " lo tenía" : " lo tenían") << ")\n";
    for (const std::string& c : others)
        con.err << (copias / c).string()
                << ": no es una copia hecha por orvane-db y guarda datos del contacto " << *codigo
                << "; no se ha tocado\n";
    return 0;
}

}  // namespace

std::optional<std::int64_t> parseMoment(const std::string& text, std::int64_t nowMs) {
    int y = 0, mo = 0, d = 0, hh = 0, mm = 0, ss = 0, ms = 0, used = 0;
    char sep = 0;
    if (text.rfind("hace ", 0) == 0) {
        long long n = 0;
        char unit[32] = {};
        if (std::sscanf(text.c_str() + 5, "%lld %31s%n", &n, unit, &used) != 2 ||
            static_cast<std::size_t>(used) + 5 != text.size() || n < 0)
            return std::nullopt;
        const std::string u = unit;
        const std::map<std::string, std::int64_t> units = {
            {"segundo", 1000},    {"segundos", 1000},      {"minuto", 60'000},
            {"minutos", 60'000},  {"hora", 3'600'000},     {"horas", 3'600'000},
            {"día", 86'400'000},  {"días", 86'400'000},    {"dia", 86'400'000},
            {"dias", 86'400'000}, {"semana", 604'800'000}, {"semanas", 604'800'000}};
        auto it = units.find(u);
        if (it == units.end() || n > 100'000) return std::nullopt;
        return nowMs - n * it->second;
    }
    const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used);
    if (fields != 3 || !isoDate(y, mo, d)) return std::nullopt;
    std::size_t pos = static_cast<std::size_t>(used);
    if (pos < text.size()) {
        sep = text[pos++];
        if (sep != ' ' && sep != 'T') return std::nullopt;
        int n = 0;
        if (std::sscanf(text.c_str() + pos, "%2d:%2d%n", &hh, &mm, &n) != 2) return std::nullopt;
        pos += n;
        if (pos < text.size() && text[pos] == ':') {
            if (std::sscanf(text.c_str() + pos, ":%2d%n", &ss, &n) != 1) return std::nullopt;
            pos += n;
            if (pos < text.size() && text[pos] == '.') {
                if (std::sscanf(text.c_str() + pos, ".%3d%n", &ms, &n) != 1) return std::nullopt;
                pos += n;
            }
        }
        if (pos != text.size() || hh > 23 || mm > 59 || ss > 59) return std::nullopt;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = hh;
    tm.tm_min = mm;
    tm.tm_sec = ss;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<std::int64_t>(t) * 1000 + ms;
}

std::string showMoment(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm);
    return out;
}

int historyCommand(const Invocation& a, const Console& con) {
    return history(a, con);
}
int restoreCommand(const Invocation& a, const Console& con) {
    return restore(a, con);
}
int undoCommand(const Invocation& a, const Console& con) {
    return undo(a, con);
}
int backupCommand(const Invocation& a, const Console& con) {
    return backup(a, con);
}
int forgetCommand(const Invocation& a, const Console& con) {
    return forget(a, con);
}

}  // namespace orv::db
