#include "tools/orvane-db/sync.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <QSslCertificate>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "store/collation.h"
#include "store/engine.h"
#include "store/syserror.h"
#include "sync/engine.h"
#include "sync/keyring.h"
#include "sync/trust.h"
#include "tools/orvane-db/common.h"
#include "tools/orvane-db/progress.h"

namespace orv::db {

namespace {

constexpr std::size_t kShown = 20;  // names listed of each kind before a summary

// What a server sent (or a text holding some) as it may reach a terminal:
// control characters and escape sequences as `list` shows them, and the
// marks that reorder text (bidirectional overrides, isolates) as \uHHHH.
std::string shown(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t at = i;
        const char32_t c = collation::decodeNext(s, i);
        const bool reorders = c == 0x061C || c == 0x200E || c == 0x200F ||
                              (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
                              c == 0x2028 || c == 0x2029;
        if (!reorders) continue;
        appendListed(out, s.substr(start, at - start));
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
        start = i;
    }
    appendListed(out, s.substr(start));
    return out;
}
std::string shown(const QString& s) {
    return shown(s.toStdString());
}

// The first line of a file only its owner may read, as ssh and libpq ask of
// theirs: anyone else who could read it would have the password.
std::string passwordFromFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        throw ToolError("no se puede leer el archivo de la contraseña " + shown(path) + ": " +
                        systemErrorText(err));
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(::fdopen(fd, "rb"), std::fclose);
    struct stat st {};
    if (!f || ::fstat(fd, &st) != 0) {
        if (!f) ::close(fd);
        throw ToolError("no se puede leer el archivo de la contraseña " + shown(path));
    }
    if (st.st_uid != ::geteuid())
        throw ToolError("el archivo de la contraseña " + shown(path) +
                        " es de otro usuario: no se usa (debe ser suyo y solo suyo)");
    if (st.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw ToolError("el archivo de la contraseña " + shown(path) +
                        " lo pueden leer o cambiar otros (permisos " + mode +
                        "): no se usa; déjelo solo para usted con chmod 600 " + shown(path));
    }
    std::string line;
    for (int ch; (ch = std::fgetc(f.get())) != EOF && ch != '\n';) line += static_cast<char>(ch);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// A user or password written into the address ("https://ana:x@host/",
// "http://ana%3Ax@host/"): looked for in the text itself, before any parsing
// could echo it back.
bool hasUserInfo(const std::string& url) {
    const std::size_t scheme = url.find("://");
    std::string authority = scheme == std::string::npos ? url : url.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    return authority.find('@') != std::string::npos;
}

// A line typed on the terminal itself, with echo; nullopt when there is none.
std::optional<std::string> askTerminal(const std::string& question) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> tty(std::fopen("/dev/tty", "r+"), std::fclose);
    if (!tty) return std::nullopt;
    std::fputs(question.c_str(), tty.get());
    std::fflush(tty.get());
    std::string answer;
    for (int ch; (ch = std::fgetc(tty.get())) != EOF && ch != '\n';)
        answer += static_cast<char>(ch);
    return answer;
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
        con.out << "  " << shown(lines[i]) << "\n";
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
            if (!b.elsewhere && (b.name.compare(w, Qt::CaseInsensitive) == 0 ||
                                 sameBook(b.url, QUrl(w)) || b.url.toString() == w))
                return b.url;
        for (const sync::AddressBookInfo& b : books)
            if (!b.elsewhere && b.url.path(QUrl::FullyDecoded).section('/', -2, -2) == w)
                return b.url;
        return std::nullopt;
    }
    std::vector<QUrl> here;
    for (const sync::AddressBookInfo& b : books)
        if (!b.elsewhere) here.push_back(b.url);
    if (here.size() == 1) return here.front();
    if (last)
        for (const QUrl& u : here)
            if (sameBook(u, QUrl(QString::fromStdString(*last)))) return u;
    return std::nullopt;
}

// Trust on first use: a certificate the system does not trust goes on only
// when the user accepts it, by --fingerprint or on the terminal; it is then
// remembered for the origin. False when the sync must stop.
bool trustServer(const QUrl& address, const std::optional<std::string>& caFile,
                 const std::optional<QString>& given, const Console& con, QString& pinned) {
    if (caFile && QSslCertificate::fromPath(QString::fromStdString(*caFile)).isEmpty()) {
        con.err << "no se ha sincronizado: no se puede leer el certificado de autoridad "
                << shown(*caFile) << "\n";
        return false;
    }
    sync::TrustStore store;
    pinned = store.accepted(address);
    const sync::CertificateCheck check = sync::checkCertificate(
        address, caFile ? QString::fromStdString(*caFile) : QString(), pinned, 30000);
    using V = sync::CertificateCheck::Verdict;
    const std::string server = shown(sync::originOf(address));
    const std::string fingerprint = check.fingerprint.toStdString();
    switch (check.verdict) {
        case V::Plain:
        case V::Trusted:
        case V::Accepted:
        case V::Unreachable:  // the sync says why
            return true;
        case V::Refused:
            con.err << "no se ha sincronizado: el certificado de " << server
                    << " no se puede aceptar: " << shown(check.problem) << "\n";
            return false;
        case V::FirstSeen:
            con.err << "el certificado de " << server
                    << " no lo reconoce este equipo: " << shown(check.problem) << "\n"
                    << "  a nombre de: " << shown(check.subject)
                    << "; emitido por: " << shown(check.issuer) << "; caduca: "
                    << check.expires.toString(QStringLiteral("dd/MM/yyyy")).toStdString() << "\n"
                    << "  huella SHA-256: " << fingerprint << "\n";
            break;
        case V::Changed:
            con.err << "el certificado de " << server
                    << " ha cambiado desde que se aceptó (puede ser otro servidor que se hace "
                       "pasar por él)\n"
                    << "  huella aceptada: " << check.oldFingerprint.toStdString() << "\n"
                    << "  huella de ahora: " << fingerprint << "\n";
            break;
    }
    bool accepted = given && sync::sameFingerprint(*given, check.fingerprint);
    if (given && !accepted) {
        con.err << "no se ha sincronizado: la huella indicada, " << given->toStdString()
                << ", no es la de este certificado\n";
        return false;
    }
    if (!accepted) {
        const auto answer =
            askTerminal("Acepta este certificado y lo recuerda para " + server + "? (sí/no): ");
        if (!answer) {
            con.err << "no se ha sincronizado: compruebe la huella en el servidor (openssl x509 "
                       "-noout -fingerprint -sha256 -in su certificado) y, si es la misma, "
                       "acéptela con --fingerprint "
                    << fingerprint << "\n";
            return false;
        }
        const QString yes = QString::fromStdString(*answer).trimmed().toLower();
        accepted =
            yes == "s" || yes == "si" || yes == QStringLiteral("sí") || yes == "y" || yes == "yes";
        if (!accepted) {
            con.err << "no se ha sincronizado: certificado no aceptado\n";
            return false;
        }
    }
    // One the system trusts needs no remembering: forgetting the old one is enough.
    pinned = check.systemTrusts ? QString() : check.fingerprint;
    if (const QString why = store.accept(address, pinned); !why.isEmpty()) {
        con.err << "no se ha sincronizado: " << shown(why) << "\n";
        return false;
    }
    con.err << "certificado aceptado para " << server << " (recordado en " << shown(store.path())
            << ")\n";
    return true;
}

}  // namespace

int syncCommand(const Invocation& a, const Console& con) {
    // No core dump and no other process of the user reads this one's memory
    // while it holds a password.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    std::optional<std::string> user = a.value("--user");
    const std::optional<std::string> passwordFile = a.value("--password-file");
    const std::optional<std::string> caFile = a.value("--ca-file");
    const std::optional<std::string> addressBook = a.value("--address-book");
    const bool dryRun = a.has("--dry-run");
    const bool savePassword = a.has("--save-password");
    std::optional<QString> fingerprint;
    if (auto f = a.value("--fingerprint")) {
        fingerprint = sync::parseFingerprint(QString::fromStdString(*f));
        if (!fingerprint)
            throw UsageError("huella no válida: " + shown(*f) +
                             " (64 cifras hexadecimales, con o sin «:», como la que se muestra)");
    }
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
    // Never echoed: it may hold the password.
    if (hasUserInfo(url))
        throw UsageError(find ? "la dirección lleva un usuario o una contraseña, que nunca van en "
                                "ella: quítelos y use --user (y --password-file, "
                                "ORVANE_CARDDAV_PASSWORD o el llavero)"
                              : "la dirección de la última sincronización lleva un usuario o una "
                                "contraseña: indique la dirección de nuevo, sin ellos, y --user");
    const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
    if (!address.isValid() || (address.scheme() != "http" && address.scheme() != "https") ||
        address.host().isEmpty() || !address.userInfo().isEmpty())
        throw UsageError("dirección no válida: " + shown(url) +
                         " (debe empezar por https:// o http://)");
    if (savePassword && user->empty())
        throw UsageError("--save-password necesita un usuario: use --user");

    if (!user->empty() && address.scheme() == "http" && !isLoopback(address) &&
        !a.has("--allow-http"))
        throw UsageError("la contraseña de " + shown(*user) + " viajaría sin cifrar a " +
                         shown(address.host()) +
                         ": use https:// (o --allow-http si la red es de confianza)");

    // The CardDAV client runs Qt's network code, which needs an application object.
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "orvane-db";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    // The certificate first, before any password is read or sent.
    QString pinned;
    if (!trustServer(address, caFile, fingerprint, con, pinned)) return kFailed;

    // A server that asks no password needs no user, and then no password.
    const std::string origin = sync::originOf(address).toStdString();
    std::string password, keyringProblem;
    bool fromKeyring = false;
    if (user->empty()) {
    } else if (passwordFile) {
        password = passwordFromFile(*passwordFile);
    } else if (const char* env = std::getenv("ORVANE_CARDDAV_PASSWORD")) {
        password = env;
    } else if (sync::keyring::Lookup kept = sync::keyring::find(origin, *user); kept.password) {
        password = std::move(*kept.password);
        fromKeyring = true;
    } else if (keyringProblem = kept.error;
               auto typed = prompt("Contraseña de " + *user + " en " +
                                   address.host().toStdString() + ": ")) {
        password = *typed;
    } else {
        throw UsageError(
            "falta la contraseña: use --password-file, la variable ORVANE_CARDDAV_PASSWORD o "
            "guárdela en el llavero del escritorio con --save-password" +
            (keyringProblem.empty() ? std::string() : " (" + keyringProblem + ")"));
    }

    sync::SyncOptions options;
    options.dav.collection = address;
    options.dav.user = QString::fromStdString(*user);
    options.dav.password = QString::fromStdString(password);
    if (caFile) options.dav.caFile = QString::fromStdString(*caFile);
    options.dav.pinnedFingerprint = pinned;
    options.dryRun = dryRun;
    options.otherAddressBook = a.has("--other-address-book");
    options.allowDeletions = a.has("--allow-deletions");

    if (find) {
        // The address may be the server's, the user's or the address book's own.
        const auto found = sync::CardDavClient(options.dav).discover();
        if (!found.ok()) {
            con.err << "no se ha sincronizado: " << shown(found.error.message) << "\n";
            return kFailed;
        }
        const std::optional<QUrl> chosen =
            choose(found.value, addressBook, last ? std::optional(last->url) : std::nullopt);
        if (!chosen) {
            con.err << (addressBook ? "no hay ninguna libreta llamada " + shown(*addressBook) +
                                          "; las libretas de " + shown(url) + " son:"
                                    : "el servidor tiene " + std::to_string(found.value.size()) +
                                          " libretas; elija una con --address-book NOMBRE:")
                    << "\n";
            for (const sync::AddressBookInfo& b : found.value)
                con.err << "  " << shown(b.name) << "  "
                        << shown(b.url.toDisplayString(QUrl::RemoveUserInfo))
                        << (b.elsewhere ? "  (en otro servidor: no se usa)" : "") << "\n";
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
        con.err << "no se ha sincronizado: " << shown(r.fatal) << "\n";
        if (r.otherBook)
            con.err << "para enlazarla con esta libreta de todos modos (los contactos iguales se "
                       "emparejan), use --other-address-book\n";
        return kFailed;
    }
    if (savePassword && !fromKeyring && !dryRun) {
        // Only a password the server took is kept.
        if (const std::string why = sync::keyring::store(origin, *user, password); !why.empty()) {
            con.err << why << "\n";
            return kFailed;
        }
        con.out << "Contraseña guardada en el llavero del escritorio para " << shown(*user)
                << " en " << shown(origin) << "\n";
    }
    if (!r.copy.empty()) con.out << "Copia de la agenda de antes en " << shown(r.copy) << "\n";
    if (dryRun) con.out << "Simulación: no se ha cambiado nada en ningún lado\n";
    list(con, dryRun ? "Se subirían al servidor" : "Subidos al servidor", r.up);
    list(con, dryRun ? "Se traerían a esta agenda" : "Traídos a esta agenda", r.down);
    list(con, dryRun ? "Se borrarían en esta agenda" : "Borrados en esta agenda", r.deletedHere);
    list(con, dryRun ? "Se borrarían en el servidor" : "Borrados en el servidor", r.deletedThere);
    list(con, "Conflictos (el valor de esta agenda queda en Mas info)", r.conflicts);
    list(con, "Borrados en un lado y cambiados en el otro (se conservan)", r.kept);
    list(con, "Grupos del servidor (esta agenda no tiene grupos: se quedan fuera)", r.groups);
    list(con, "Dejadas fuera", r.leftOut);
    for (const std::string& p : r.problems) con.err << "sin sincronizar: " << shown(p) << "\n";
    if (!r.complete()) {
        con.err << "la sincronización no ha terminado: vuelva a ejecutarla\n";
        return kFailed;
    }
    const bool nothing = r.up.empty() && r.down.empty() && r.deletedHere.empty() &&
                         r.deletedThere.empty() && r.kept.empty();
    con.out << (nothing  ? "Nada que sincronizar: los dos lados son iguales\n"
                : dryRun ? ""
                         : "Sincronización completa\n");
    return kDone;
}

}  // namespace orv::db
