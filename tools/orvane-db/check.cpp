// orvane-db check and reindex: what is wrong with a book, and its sort keys
// made anew.

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/sql.h"
#include "tools/orvane-db/common.h"

namespace orv::db {

namespace {

// "644" for a mode's permission bits.
std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode & 0777));
    return text;
}

// Who besides the owner can reach a file or folder with this mode, in words;
// empty when no one.
std::string othersMay(mode_t mode) {
    const bool read = mode & (S_IRGRP | S_IROTH), write = mode & (S_IWGRP | S_IWOTH);
    if (read && write) return "leer y cambiar";
    if (read) return "leer";
    if (write) return "cambiar";
    return {};
}

// A path as a shell takes it: quoted unless plain.
std::string shellWord(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789/._-+:,@%") == std::string::npos)
        return s;
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What others can do with the book, its side files and its copies, and how
// to make them the owner's alone. Nothing is changed here.
std::vector<std::string> privacyProblems(const std::string& path) {
    std::vector<std::string> out;
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(path, ec);
    if (ec) real = std::filesystem::absolute(path);
    struct stat sb;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string f = real.string() + suffix;
        if (::stat(f.c_str(), &sb) != 0) continue;
        const std::string may = othersMay(sb.st_mode);
        if (may.empty()) continue;
        out.push_back("otros usuarios pueden " + may + " " +
                      (*suffix ? "su archivo " + f : std::string("la agenda")) + " (permisos " +
                      octal(sb.st_mode) + "); para que sea solo de usted: chmod 600 " +
                      shellWord(f));
    }
    const std::string copies = (real.parent_path() / "copias").string();
    if (::lstat(copies.c_str(), &sb) != 0) return out;
    if (S_ISLNK(sb.st_mode)) {
        out.push_back("la carpeta de copias " + copies +
                      " es un enlace simbólico: no se guardan copias ahí (quítelo o cámbielo de "
                      "nombre)");
        return out;
    }
    if (!S_ISDIR(sb.st_mode)) return out;
    if (const std::string may = othersMay(sb.st_mode); !may.empty())
        out.push_back("otros usuarios pueden " + may + " en la carpeta de copias " + copies +
                      " (permisos " + octal(sb.st_mode) +
                      "); para que sea solo de usted: chmod 700 " + shellWord(copies));
    std::size_t open = 0;
    for (const auto& e : std::filesystem::directory_iterator(copies, ec))
        if (::lstat(e.path().c_str(), &sb) == 0 && S_ISREG(sb.st_mode) &&
            !othersMay(sb.st_mode).empty())
            ++open;
    if (open)
        out.push_back("otros usuarios pueden leer " +
                      (open == 1 ? std::string("un archivo") : std::to_string(open) + " archivos") +
                      " de la carpeta de copias " + copies +
                      "; para que sean solo de usted: chmod "
                      "600 " +
                      shellWord(copies) + "/*");
    return out;
}

}  // namespace

int checkCommand(const Invocation& a, const Console& con) {
    const std::string& path = a.positional[0];
    auto db = Database::open(path, false);
    std::vector<std::string> problems = keys::problems(db->handle());
    for (std::string& p : privacyProblems(path)) problems.push_back(std::move(p));
    for (const std::string& p : problems) con.err << path << ": " << p << "\n";
    if (problems.empty()) con.out << "La agenda " << path << " está bien.\n";
    std::int64_t bytes = 0;
    const std::int64_t changes = history::size(db->handle(), bytes);
    con.out << "Historia: " << changes << (changes == 1 ? " cambio, " : " cambios, ")
            << (bytes + 1023) / 1024 << " KB\n";
    return problems.empty() ? kDone : kFailed;
}

int reindexCommand(const Invocation& a, const Console& con) {
    const std::string& path = a.positional[0];
    auto db = Database::open(path);
    // What keeps it from writing is said as it is (a full disk is not a lock).
    keys::prepare(db->handle(), true, false);
    sql::Statement count(db->handle(), "SELECT count(*) FROM main.Registros");
    count.step();
    con.out << plural(static_cast<std::size_t>(count.int64(0)), "contacto reordenado",
                      "contactos reordenados")
            << " en " << path << "\n";
    return kDone;
}

}  // namespace orv::db
