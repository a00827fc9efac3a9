#include "tools/orvane-db/sync.h"

#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "store/engine.h"
#include "store/syserror.h"
#include "sync/engine.h"
#include "tools/orvane-db/progress.h"

namespace orv::db {

namespace {

constexpr std::size_t kShown = 20;  // names listed of each kind before a summary

std::string firstLine(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) {
        const int err = errno;
        throw ToolError("no se puede leer el archivo de la contraseña " + path + ": " +
                        systemErrorText(err));
    }
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

// Loopback never leaves this machine: a password there travels nowhere.
bool isLoopback(const QUrl& url) {
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

// The same address book, however spelt ("…/libreta" or "…/libreta/").
bool sameBook(const QUrl& a, const QUrl& b) {
    auto key = [](const QUrl& u) {
        QString p = u.path(QUrl::FullyDecoded);
        while (p.endsWith(QLatin1Char('/'))) p.chop(1);
        return p;
    };
    return key(a) == key(b);
}

// The address book to sync among those found: the one named, else the only
// one, else the one last synced; nullopt when the user must choose.
std::optional<QUrl> choose(const std::vector<sync::AddressBookInfo>& books,
                           const std::optional<std::string>& wanted,
                           const std::optional<std::string>& last) {
    if (wanted) {
        const QString w = QString::fromStdString(*wanted);
        for (const sync::AddressBookInfo& b : books)
            if (b.name.compare(w, Qt::CaseInsensitive) == 0 || sameBook(b.url, QUrl(w)) ||
                b.url.toString() == w)
                return b.url;
        for (const sync::AddressBookInfo& b : books)
            if (b.url.path(QUrl::FullyDecoded).section('/', -2, -2) == w) return b.url;
        return std::nullopt;
    }
    if (books.size() == 1) return books.front().url;
    if (last)
        for (const sync::AddressBookInfo& b : books)
            if (sameBook(b.url, QUrl(QString::fromStdString(*last)))) return b.url;
    return std::nullopt;
}

}  // namespace

int syncCommand(const Invocation& a, const Console& con) {
    std::optional<std::string> user = a.value("--user");
    const std::optional<std::string> passwordFile = a.value("--password-file");
    const std::optional<std::string> caFile = a.value("--ca-file");
    const std::optional<std::string> addressBook = a.value("--address-book");
    const bool dryRun = a.has("--dry-run");
    const std::vector<std::string>& positional = a.positional;

    auto db = Database::open(positional[0]);
    std::string url;
    const auto last = sync::lastSyncTarget(db->handle());
    const bool find = positional.size() == 2;
    if (find) {
        url = positional[1];
        if (!user) user = last ? last->user : "";
    } else {
        if (!last)
            throw UsageError(
                "esta agenda no se ha sincronizado nunca: indique la dirección del servidor "
                "y, si pide contraseña, --user");
        url = last->url;
        if (!user) user = last->user;
    }
    const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
    if (!address.password().isEmpty())
        throw UsageError("la contraseña nunca va en la dirección: use --password-file");
    if (!address.isValid() || (address.scheme() != "http" && address.scheme() != "https") ||
        address.host().isEmpty())
        throw UsageError("dirección no válida: " + url + " (debe empezar por https:// o http://)");

    if (!user->empty() && address.scheme() == "http" && !isLoopback(address) &&
        !a.has("--allow-http"))
        throw UsageError("la contraseña de " + *user + " viajaría sin cifrar a " +
                         address.host().toStdString() +
                         ": use https:// (o --allow-http si la red es de confianza)");

    // A server that asks no password needs no user, and then no password.
    std::string password;
    if (user->empty()) {
    } else if (passwordFile) {
        password = firstLine(*passwordFile);
    } else if (const char* env = std::getenv("ORVANE_CARDDAV_PASSWORD")) {
        password = env;
    } else if (auto typed = prompt("Contraseña de " + *user + " en " +
                                   address.host().toStdString() + ": ")) {
        password = *typed;
    } else {
        throw UsageError(
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
    options.otherAddressBook = a.has("--other-address-book");
    options.allowDeletions = a.has("--allow-deletions");

    if (find) {
        // The address may be the server's, the user's or the address book's own.
        const auto found = sync::CardDavClient(options.dav).discover();
        if (!found.ok()) {
            con.err << "no se ha sincronizado: " << found.error.message.toStdString() << "\n";
            return kFailed;
        }
        const std::optional<QUrl> chosen =
            choose(found.value, addressBook, last ? std::optional(last->url) : std::nullopt);
        if (!chosen) {
            con.err << (addressBook ? "no hay ninguna libreta llamada " + *addressBook +
                                          "; las libretas de " + url + " son:"
                                    : "el servidor tiene " + std::to_string(found.value.size()) +
                                          " libretas; elija una con --address-book NOMBRE:")
                    << "\n";
            for (const sync::AddressBookInfo& b : found.value)
                con.err << "  " << b.name.toStdString() << "  "
                        << b.url.toDisplayString(QUrl::RemoveUserInfo).toStdString() << "\n";
            return kWrongUse;
        }
        options.dav.collection = *chosen;
    }
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
        con.err << "no se ha sincronizado: " << r.fatal << "\n";
        if (r.otherBook)
            con.err << "para enlazarla con esta libreta de todos modos (los contactos iguales se "
                       "emparejan), use --other-address-book\n";
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
    list(con, "Grupos del servidor (esta agenda no tiene grupos: se quedan fuera)", r.groups);
    for (const std::string& p : r.problems) con.err << "sin sincronizar: " << p << "\n";
    if (!r.complete()) {
        con.err << "la sincronización no ha terminado: vuelva a ejecutarla\n";
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
