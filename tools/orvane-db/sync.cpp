#include "tools/orvane-db/sync.h"

#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "store/engine.h"
#include "sync/engine.h"
#include "tools/orvane-db/progress.h"

namespace orv::db {

namespace {

constexpr const char* kUsage =
    "uso: orvane-db sync ARCHIVO [URL --user NOMBRE] [--password-file F] [--ca-file F] "
    "[--dry-run] [--allow-deletions]\n";
constexpr std::size_t kShown = 20;  // names listed of each kind before a summary

int usage(const Console& con, const std::string& problem) {
    con.err << "orvane-db: " << problem << "\n" << kUsage;
    return 2;
}

std::string firstLine(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) throw ToolError("no se puede leer el archivo de la contraseña " + path);
    std::string line;
    for (int ch; (ch = std::fgetc(f.get())) != EOF && ch != '\n';) line += static_cast<char>(ch);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Asked on the terminal itself, without echo; nullopt when there is none.
std::optional<std::string> prompt(const std::string& question) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> tty(std::fopen("/dev/tty", "r+"), std::fclose);
    if (!tty) return std::nullopt;
    const int fd = fileno(tty.get());
    termios old{};
    if (tcgetattr(fd, &old) != 0) return std::nullopt;
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::fputs(question.c_str(), tty.get());
    std::fflush(tty.get());
    tcsetattr(fd, TCSAFLUSH, &quiet);
    std::string answer;
    for (int ch; (ch = std::fgetc(tty.get())) != EOF && ch != '\n';)
        answer += static_cast<char>(ch);
    tcsetattr(fd, TCSAFLUSH, &old);
    std::fputs("\n", tty.get());
    return answer;
}

void list(const Console& con, const char* title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    con.out << title << ": " << lines.size() << "\n";
    for (std::size_t i = 0; i < lines.size() && i < kShown; ++i)
        con.out << "  " << lines[i] << "\n";
    if (lines.size() > kShown) con.out << "  ... y " << lines.size() - kShown << " más\n";
}

}  // namespace

int syncCommand(const std::vector<std::string>& args, const Console& con) {
    std::vector<std::string> positional;
    std::optional<std::string> user, passwordFile, caFile;
    bool dryRun = false, allowDeletions = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (name.rfind("--", 0) != 0) {
            positional.push_back(name);
            continue;
        }
        if (name == "--dry-run") {
            dryRun = true;
            continue;
        }
        if (name == "--allow-deletions") {
            allowDeletions = true;
            continue;
        }
        bool hasValue = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
            hasValue = true;
        }
        std::optional<std::string>* target = name == "--user"            ? &user
                                             : name == "--password-file" ? &passwordFile
                                             : name == "--ca-file"       ? &caFile
                                                                         : nullptr;
        if (!target) {
            // Never echo a value: it may be a password given where it does not belong.
            return usage(con, "opción desconocida: " + name);
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) return usage(con, "falta el valor de " + name);
            value = args[++i];
        }
        *target = value;
    }
    if (positional.empty() || positional.size() > 2)
        return usage(con, "sync necesita la agenda y, la primera vez, la dirección de la libreta");

    auto db = Database::open(positional[0]);
    std::string url;
    if (positional.size() == 2) {
        url = positional[1];
        if (!user) return usage(con, "falta --user NOMBRE");
    } else {
        auto last = sync::lastSyncTarget(db->handle());
        if (!last)
            return usage(con,
                         "esta agenda no se ha sincronizado nunca: indique la dirección de la "
                         "libreta y --user");
        url = last->url;
        if (!user) user = last->user;
    }
    const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
    if (!address.password().isEmpty())
        return usage(con, "la contraseña nunca va en la dirección: use --password-file");
    if (!address.isValid() || (address.scheme() != "http" && address.scheme() != "https") ||
        address.host().isEmpty())
        return usage(con, "dirección no válida: " + url + " (debe empezar por https:// o http://)");

    std::string password;
    if (passwordFile) {
        password = firstLine(*passwordFile);
    } else if (const char* env = std::getenv("ORVANE_CARDDAV_PASSWORD")) {
        password = env;
    } else if (auto typed = prompt("Contraseña de " + *user + " en " +
                                   address.host().toStdString() + ": ")) {
        password = *typed;
    } else {
        return usage(con,
                     "falta la contraseña: use --password-file o la variable "
                     "ORVANE_CARDDAV_PASSWORD");
    }

    // The CardDAV client runs Qt's network code, which needs an application object.
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "orvane-db";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    sync::SyncOptions options;
    options.dav.collection = address;
    options.dav.user = QString::fromStdString(*user);
    options.dav.password = QString::fromStdString(password);
    if (caFile) options.dav.caFile = QString::fromStdString(*caFile);
    options.dryRun = dryRun;
    options.allowDeletions = allowDeletions;
    std::unique_ptr<Progress> progress;
    std::string stageShown;
    if (con.progress) {
        options.progress = [&](const char* stage, qint64 done, qint64 total) {
            if (total <= 0) return;  // a listing of unknown length
            if (stage != stageShown) {
                if (progress) progress->finish();
                stageShown = stage;
                const std::string what = stageShown == "Listando"      ? "bytes del listado"
                                         : stageShown == "Descargando" ? "tarjetas descargadas"
                                                                       : "tarjetas enviadas";
                progress =
                    std::make_unique<Progress>(what, static_cast<std::size_t>(total), stderr);
            }
            progress->update(static_cast<std::size_t>(done));
        };
    }

    const sync::SyncReport r = sync::syncBook(db->handle(), options);
    if (progress) progress->finish();
    if (!r.fatal.empty()) {
        con.err << "No se ha sincronizado: " << r.fatal << "\n";
        return 1;
    }
    if (!r.copy.empty()) con.out << "Copia de la agenda de antes en " << r.copy << "\n";
    if (dryRun) con.out << "Simulación: no se ha cambiado nada en ningún lado\n";
    list(con, dryRun ? "Se subirían al servidor" : "Subidos al servidor", r.up);
    list(con, dryRun ? "Se traerían a esta agenda" : "Traídos a esta agenda", r.down);
    list(con, dryRun ? "Se borrarían en esta agenda" : "Borrados en esta agenda", r.deletedHere);
    list(con, dryRun ? "Se borrarían en el servidor" : "Borrados en el servidor", r.deletedThere);
    list(con, "Conflictos (el valor de esta agenda queda en Mas info)", r.conflicts);
    list(con, "Borrados en un lado y cambiados en el otro (se conservan)", r.kept);
    for (const std::string& p : r.problems) con.err << "Sin sincronizar: " << p << "\n";
    if (!r.complete()) {
        con.err << "La sincronización no ha terminado: vuelva a ejecutarla\n";
        return 1;
    }
    const bool nothing = r.up.empty() && r.down.empty() && r.deletedHere.empty() &&
                         r.deletedThere.empty() && r.kept.empty();
    con.out << (nothing  ? "Nada que sincronizar: los dos lados son iguales\n"
                : dryRun ? ""
                         : "Sincronización completa\n");
    return 0;
}

}  // namespace orv::db
