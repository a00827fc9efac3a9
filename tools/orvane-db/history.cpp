// orvane-db history, restore and undo: the changes kept in the book, and
// contacts, or the whole book, brought back as they were.

#include <map>
#include <optional>
#include <string>

#include "exchange/card.h"
#include "store/dates.h"
#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/schema.h"
#include "store/sql.h"
#include "tools/orvane-db/common.h"
#include "tools/orvane-db/moment.h"

namespace orv::db {

namespace {

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

}  // namespace

int historyCommand(const Invocation& a, const Console& con) {
    const bool deleted = a.has("--deleted");
    if (deleted && a.positional.size() > 1)
        throw UsageError("--deleted lista todos los contactos borrados: sin código");
    std::optional<std::int64_t> only;
    if (a.positional.size() == 2 && !(only = contactCode(a.positional[1])))
        throw UsageError("código no válido: " + a.positional[1]);
    auto db = Database::open(a.positional[0]);
    sqlite3* h = db->handle();
    sql::ReadTransaction read(h);
    if (deleted) {
        const auto gone = history::deleted(h);
        for (const auto& e : gone)
            con.out << e.codigo << "  " << contactName(e.before) << "  borrado el "
                    << showMoment(e.momento) << " (" << e.origen << ")\n";
        con.out << (gone.empty()
                        ? "No hay contactos borrados en la historia\n"
                        : std::to_string(gone.size()) +
                              (gone.size() == 1 ? " contacto borrado" : " contactos borrados") +
                              "; orvane-db restore ARCHIVO CÓDIGO lo devuelve\n");
        return kDone;
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
                << " " << contactName(who) << "\n";
        if (e.tipo == "cambio" || only) differences(con, before, at->second);
        at->second = before;
    }
    if (list.empty())
        con.out << (only ? "No hay cambios del contacto " + std::to_string(*only) +
                               " en la historia\n"
                         : std::string("La historia está vacía\n"));
    return kDone;
}

int restoreCommand(const Invocation& a, const Console& con) {
    const auto codigo = contactCode(a.positional[1]);
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
            return kDone;
        }
        if (!then) {
            con.err << "el contacto " << *codigo << " no existía el " << showMoment(*at) << "\n";
            return kFailed;
        }
        when = *at;
    } else {
        if (auto now = history::current(h, *codigo)) {
            con.err << "el contacto " << *codigo << " (" << contactName(*now)
                    << ") no está borrado; para devolverlo a un momento use --at MOMENTO\n";
            return kFailed;
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
            return kFailed;
        }
    }
    history::putBack(h, *then);
    keys::refresh(h);
    tx.commit();
    con.out << "Contacto " << *codigo << " (" << contactName(*then) << ") restaurado como estaba "
            << (at ? "el " : "antes de borrarlo, el ") << showMoment(when) << "\n";
    return kDone;
}

int undoCommand(const Invocation& a, const Console& con) {
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
        return kDone;  // the transaction rolls back
    }
    keys::refresh(h);
    tx.commit();
    con.out << "Agenda devuelta a como estaba el " << showMoment(*to) << ": " << counts
            << " (orvane-db undo --to \"" << showMoment(started) << "\" lo deshace)\n";
    return kDone;
}

}  // namespace orv::db
