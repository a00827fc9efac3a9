// orvane-db forget: a person erased for good, from the book and its copies.

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "store/backup.h"
#include "store/engine.h"
#include "store/handles.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/sql.h"
#include "tools/orvane-db/common.h"

namespace orv::db {

namespace {

// A copy of ours opened for writing, as SQLite opens any book (it is in
// rollback form: its journal lives only while it is written).
Connection openCopy(const std::string& path) {
    Connection db = openConnection(path, SQLITE_OPEN_READWRITE);
    sqlite3_busy_timeout(db.get(), 3000);
    keys::registerFunctions(db.get());
    return db;
}

// Whether a file of copias/ holds anything of the contact (read only, no
// side file made).
bool holds(int dir, const std::string& name, std::int64_t codigo) {
    const Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return false;
    try {
        return history::knows(backup::openReadOnly(fd.get()).get(), codigo);
    } catch (const EngineError&) {
        return false;
    }
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

}  // namespace

int forgetCommand(const Invocation& a, const Console& con) {
    const auto codigo = contactCode(a.positional[1]);
    if (!codigo) throw UsageError("código no válido: " + a.positional[1]);
    const std::string& path = a.positional[0];
    auto db = Database::open(path);
    sqlite3* h = db->handle();

    // Who it is, for the messages: the contact, else its last state kept.
    std::string who;
    bool forgottenBefore = false;
    if (auto now = history::current(h, *codigo)) who = contactName(*now);
    for (const auto& e : history::entries(h, *codigo)) {
        forgottenBefore = forgottenBefore || e.tipo == history::kForgotten;
        if (who.empty() && e.tipo != "alta" && e.tipo != history::kForgotten)
            who = contactName(e.before);
    }
    // The copies we made, and any other file there that holds the contact.
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(path, ec);
    if (ec) real = std::filesystem::absolute(path);
    const std::string bookName = real.filename().string();
    const std::filesystem::path copias = real.parent_path() / "copias";
    std::vector<std::string> ours, others;
    std::size_t holding = 0;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(copias, ec))) {
        const Fd dir = backup::openCopies(path);
        ours = backup::ourCopies(dir.get(), bookName);
        for (const std::string& c : ours) holding += holds(dir.get(), c, *codigo);
        for (const std::string& c : backup::otherFiles(dir.get(), bookName))
            if (holds(dir.get(), c, *codigo)) others.push_back(c);
    }
    const bool known = history::knows(h, *codigo);
    if (!known && !holding && !forgottenBefore) {
        con.err << "no hay ningún contacto con el código " << *codigo
                << " en la agenda, en su historia ni en sus copias\n";
        return kFailed;
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
            return kFailed;
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
        const Connection copy = openCopy((copias / c).string());
        bool done = true;
        if (forgetIn(copy.get(), *codigo, false, done).anything()) ++cleaned;
    }
    if (!ours.empty())
        con.out << "Copias de " << copias.string() << " limpiadas: " << ours.size() << " ("
                << cleaned << (cleaned == 1 ? " lo tenía" : " lo tenían") << ")\n";
    for (const std::string& c : others)
        con.err << (copias / c).string()
                << ": no es una copia hecha por orvane-db y guarda datos del contacto " << *codigo
                << "; no se ha tocado\n";
    return kDone;
}

}  // namespace orv::db
