#include "ui/desk/syncing.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include "store/engine.h"
#include "sync/guard.h"
#include "sync/keyring.h"
#include "ui/desk/deskform.h"

namespace orv::ui::desk {

namespace {

constexpr int kNamesShown = 200;  // names listed under each heading of a report
constexpr int kToolWaitMs = 20000;

// What a server sent, as the window may show it: control characters and the
// marks that reorder text written as \uHHHH.
QString readable(const QString& s) {
    QString out;
    out.reserve(s.size());
    for (QChar c : s) {
        const char16_t u = c.unicode();
        const bool hidden = u < 0x20 || (u >= 0x7F && u < 0xA0) || u == 0x061C || u == 0x200E ||
                            u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
                            (u >= 0x2066 && u <= 0x2069) || u == 0x2028 || u == 0x2029;
        if (hidden)
            out += QStringLiteral("\\u%1").arg(unsigned(u), 4, 16, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}
QString readable(const std::string& s) {
    return readable(QString::fromStdString(s));
}

// "no se ha…" as a sentence: "No se ha….".
QString sentence(QString s) {
    s = readable(s);
    if (!s.isEmpty()) s[0] = s[0].toUpper();
    if (!s.endsWith(QLatin1Char('.'))) s += QLatin1Char('.');
    return s;
}

bool isLoopback(const QUrl& url) {
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

std::string originOf(const QUrl& url) {
    return sync::originOf(url).toStdString();
}

// Folders made for the owner alone; a file written whole, for the owner alone.
bool writePrivate(const QString& path, const QByteArray& text) {
    const QString folder = QFileInfo(path).absolutePath();
    QStringList missing;
    for (QString f = folder; !f.isEmpty() && !QFileInfo::exists(f);
         f = QFileInfo(f).absolutePath()) {
        missing.prepend(f);
        if (f == QFileInfo(f).absolutePath()) break;
    }
    for (const QString& f : missing)
        if (::mkdir(QFile::encodeName(f).constData(), 0700) != 0 && !QFileInfo(f).isDir())
            return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
           file.write(text) == text.size() && file.commit();
}

QString configHome() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config;
}

QString recordPath() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/orvane/sincronizaciones");
}

struct Ran {
    bool started = false;
    int code = -1;
    QByteArray out;
};

Ran systemctl(const QStringList& args) {
    Ran r;
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (exe.isEmpty()) return r;
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(exe, QStringList{QStringLiteral("--user")} + args);
    if (!p.waitForStarted(kToolWaitMs)) return r;
    r.started = true;
    p.closeWriteChannel();
    if (!p.waitForFinished(kToolWaitMs)) {
        p.kill();
        p.waitForFinished(1000);
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    return r;
}

// An ExecStart argument: quoted when it holds what systemd reads otherwise.
QByteArray unitArgument(const QString& s) {
    QByteArray a = s.toUtf8();
    a.replace('%', "%%");
    a.replace('$', "$$");
    const bool plain = !a.isEmpty() && a.indexOf(' ') < 0 && a.indexOf('\t') < 0 &&
                       a.indexOf('"') < 0 && a.indexOf('\'') < 0 && a.indexOf('\\') < 0 &&
                       a.indexOf(';') < 0;
    if (plain) return a;
    a.replace('\\', "\\\\");
    a.replace('"', "\\\"");
    return '"' + a + '"';
}

QString& toolSeam() {
    static QString path;
    return path;
}

QString contacts(qint64 n) {
    return plural(n, QStringLiteral("contacto"), QStringLiteral("contactos"));
}

}  // namespace

QString addressProblem(const QString& text, const QString& user) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return QStringLiteral("Escriba la dirección del servidor.");
    // Looked for in the text itself, before any parsing could show it back.
    QString authority = t.contains(QLatin1String("://")) ? t.section(QLatin1String("://"), 1) : t;
    authority = authority.left(authority.indexOf(QRegularExpression(QStringLiteral("[/?#]"))));
    if (authority.contains(QLatin1Char('@')))
        return QStringLiteral(
            "La dirección lleva un usuario o una contraseña, que nunca van en ella: quítelos y "
            "escriba el usuario en su casilla.");
    const QUrl url = QUrl(t.contains(QLatin1String("://")) ? t : QStringLiteral("https://") + t,
                          QUrl::StrictMode);
    if (!url.isValid() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) ||
        url.host().isEmpty())
        return QStringLiteral("Dirección no válida: %1 (debe empezar por https:// o http://).")
            .arg(readable(t));
    if (!user.isEmpty() && url.scheme() == QLatin1String("http") && !isLoopback(url))
        return QStringLiteral(
                   "La contraseña de %1 viajaría sin cifrar a %2: use una dirección https://.")
            .arg(readable(user), readable(url.host()));
    return {};
}

SyncOutcome runSync(Task& t, const SyncJob& job) {
    SyncOutcome out;
    using Kind = SyncOutcome::Kind;
    using V = sync::CertificateCheck::Verdict;

    // The certificate first, before any password is read or sent.
    t.setStage(QStringLiteral("Comprobando el certificado del servidor"));
    const QString pinned = sync::TrustStore().accepted(job.address);
    out.certificate = sync::checkCertificate(job.address, QString(), pinned, 30000);
    if (out.certificate.verdict == V::FirstSeen || out.certificate.verdict == V::Changed) {
        out.kind = Kind::Certificate;
        return out;
    }
    if (out.certificate.verdict == V::Refused) {
        out.error =
            QStringLiteral("El certificado de %1 no se puede aceptar: %2.")
                .arg(readable(sync::originOf(job.address)), readable(out.certificate.problem));
        return out;
    }
    t.check();

    QString password = job.password;
    if (!job.user.isEmpty() && password.isEmpty()) {
        t.setStage(QStringLiteral("Buscando la contraseña en el llavero"));
        sync::keyring::Lookup kept =
            sync::keyring::find(originOf(job.address), job.user.toStdString());
        if (!kept.password) {
            out.kind = Kind::NeedPassword;
            out.keyringProblem = QString::fromStdString(kept.error);
            return out;
        }
        password = QString::fromStdString(*kept.password);
        out.fromKeyring = true;
    }
    t.check();

    sync::SyncOptions o;
    o.dav.collection = job.address;
    o.dav.user = job.user;
    o.dav.password = password;
    o.dav.pinnedFingerprint = pinned;
    if (job.discover) {
        t.setStage(QStringLiteral("Buscando las libretas de direcciones del servidor"));
        auto found = sync::CardDavClient(o.dav).discover();
        if (!found.ok()) {
            out.error = sentence(found.error.message);
            return out;
        }
        out.kind = Kind::Found;
        out.books = std::move(found.value);
        return out;
    }

    o.allowDeletions = job.allowDeletions;
    o.otherAddressBook = job.otherAddressBook;
    o.cancelled = [&t] { return t.cancelled(); };
    o.progress = [&t](const char* stage, qint64 done, qint64 total) {
        const QString s = QString::fromUtf8(stage);
        if (s == QLatin1String("Listando")) {
            t.setStage(QStringLiteral("Preguntando al servidor qué ha cambiado"));
            t.progress(0, 0);
        } else {
            t.setStage(s == QLatin1String("Descargando") ? QStringLiteral("Descargando tarjetas")
                                                         : QStringLiteral("Enviando cambios"));
            t.progress(done, total);
        }
    };
    t.setStage(QStringLiteral("Leyendo la agenda"));
    auto db = Database::open(job.book.toStdString());
    out.report = sync::syncBook(db->handle(), o);
    const sync::SyncReport& r = out.report;
    if (r.refused) {
        out.kind = Kind::Guard;
    } else if (r.otherBook) {
        out.kind = Kind::OtherBook;
    } else if (r.cancelled && !r.fatal.empty()) {
        out.kind = Kind::Cancelled;
    } else if (!r.fatal.empty()) {
        out.error = sentence(QString::fromStdString(r.fatal));
    } else {
        out.kind = Kind::Synced;
        // Only a password the server took is kept.
        if (!job.user.isEmpty() && !job.password.isEmpty()) {
            t.setStage(QStringLiteral("Guardando la contraseña en el llavero"));
            const std::string why = sync::keyring::store(
                originOf(job.address), job.user.toStdString(), job.password.toStdString());
            out.passwordKept = why.empty();
            out.keyringProblem = QString::fromStdString(why);
        } else {
            out.passwordKept = out.fromKeyring;
        }
    }
    return out;
}

bool passwordKept(const QUrl& address, const QString& user, QString* problem) {
    const sync::keyring::Lookup kept = sync::keyring::find(originOf(address), user.toStdString());
    if (problem) *problem = QString::fromStdString(kept.error);
    return kept.password.has_value();
}

QString certificateQuestion(const QUrl& address, const sync::CertificateCheck& c) {
    const QString server = readable(sync::originOf(address));
    QString text;
    if (c.verdict == sync::CertificateCheck::Verdict::Changed)
        text = QStringLiteral(
                   "El certificado de %1 ha cambiado desde que se aceptó (puede ser otro "
                   "servidor que se hace pasar por él).\n\nHuella aceptada: %2\nHuella de ahora: "
                   "%3\n\n")
                   .arg(server, c.oldFingerprint, c.fingerprint);
    else
        text = QStringLiteral(
                   "El certificado de %1 no lo reconoce este equipo: %2.\n\nA nombre de: %3\n"
                   "Emitido por: %4\nCaduca: %5\nHuella SHA-256: %6\n\n")
                   .arg(server, readable(c.problem), readable(c.subject), readable(c.issuer),
                        c.expires.toString(QStringLiteral("dd/MM/yyyy")), c.fingerprint);
    return text + QStringLiteral(
                      "Compare la huella con la que muestra el servidor. Acepta este certificado "
                      "y lo recuerda para %1?")
                      .arg(server);
}

QString acceptCertificate(const QUrl& address, const sync::CertificateCheck& check) {
    // One the system trusts needs no remembering: forgetting the old one is enough.
    const QString why =
        sync::TrustStore().accept(address, check.systemTrusts ? QString() : check.fingerprint);
    return why.isEmpty() ? QString() : sentence(why);
}

QString reportSummary(const sync::SyncReport& r) {
    if (r.cancelled)
        return QStringLiteral(
            "Sincronización cancelada a medias: lo hecho queda guardado en los dos lados y lo "
            "que falta se sincroniza la próxima vez.");
    if (!r.complete())
        return QStringLiteral(
                   "La sincronización no ha terminado: %1 sin sincronizar. Vuelva a "
                   "sincronizar.")
            .arg(contacts(qint64(r.problems.size())));
    QStringList parts;
    auto add = [&](std::size_t n, const QString& one, const QString& many) {
        if (n) parts << plural(qint64(n), one, many);
    };
    add(r.up.size(), QStringLiteral("subido al servidor"), QStringLiteral("subidos al servidor"));
    add(r.down.size(), QStringLiteral("traído a esta agenda"),
        QStringLiteral("traídos a esta agenda"));
    add(r.deletedHere.size(), QStringLiteral("borrado en esta agenda"),
        QStringLiteral("borrados en esta agenda"));
    add(r.deletedThere.size(), QStringLiteral("borrado en el servidor"),
        QStringLiteral("borrados en el servidor"));
    add(r.kept.size(), QStringLiteral("conservado"), QStringLiteral("conservados"));
    if (parts.isEmpty()) return QStringLiteral("Nada que sincronizar: los dos lados son iguales.");
    return QStringLiteral("Sincronización completa: %1.").arg(parts.join(QStringLiteral(", ")));
}

QString reportText(const sync::SyncReport& r) {
    QStringList out;
    if (!r.copy.empty())
        out << QStringLiteral("Copia de la agenda de antes en %1").arg(readable(r.copy));
    auto list = [&](const QString& title, const std::vector<std::string>& lines) {
        if (lines.empty()) return;
        out << QStringLiteral("%1: %2").arg(title).arg(lines.size());
        for (std::size_t i = 0; i < lines.size() && i < std::size_t(kNamesShown); ++i)
            out << QStringLiteral("  ") + readable(lines[i]);
        if (lines.size() > std::size_t(kNamesShown))
            out << QStringLiteral("  … y %1 más").arg(lines.size() - kNamesShown);
    };
    list(QStringLiteral("Subidos al servidor"), r.up);
    list(QStringLiteral("Traídos a esta agenda"), r.down);
    list(QStringLiteral("Borrados en esta agenda"), r.deletedHere);
    list(QStringLiteral("Borrados en el servidor"), r.deletedThere);
    list(QStringLiteral("Conflictos (el valor de esta agenda queda en Mas info)"), r.conflicts);
    list(QStringLiteral("Borrados en un lado y cambiados en el otro (se conservan)"), r.kept);
    list(QStringLiteral("Grupos del servidor (esta agenda no tiene grupos: se quedan fuera)"),
         r.groups);
    list(QStringLiteral("Dejadas fuera"), r.leftOut);
    list(QStringLiteral("Sin sincronizar"), r.problems);
    return out.join(QLatin1Char('\n'));
}

// ---- The timer ------------------------------------------------------------------

QString syncTool() {
    if (!toolSeam().isEmpty()) return toolSeam();
    const QString here = QCoreApplication::applicationDirPath();
    // Beside this program (an install of one's own, the archive, a build);
    // a package keeps this one in libexec/orvane/ and orvane-db in bin/.
    for (const QString& candidate :
         {here + QStringLiteral("/orvane-db"), here + QStringLiteral("/../../bin/orvane-db")}) {
        const QFileInfo f(candidate);
        if (f.isFile() && f.isExecutable()) return QDir::cleanPath(f.absoluteFilePath());
    }
    return {};
}

void setSyncToolForTests(const QString& path) {
    toolSeam() = path;
}

TimerUnits timerUnits(const QString& tool, const QString& book) {
    TimerUnits u;
    u.folder = configHome() + QStringLiteral("/systemd/user");
    u.service = u.folder + QStringLiteral("/orvane-sync.service");
    u.timer = u.folder + QStringLiteral("/orvane-sync.timer");
    u.serviceText =
        "[Unit]\n"
        "Description=Orvane: sincronizar la agenda con el servidor CardDAV\n"
        "\n"
        "[Service]\n"
        "Type=oneshot\n"
        "ExecStart=" +
        unitArgument(tool) + " sync " + unitArgument(realBook(book)) + "\n";
    u.timerText =
        "[Unit]\n"
        "Description=Orvane: sincronizar cada 15 minutos\n"
        "\n"
        "[Timer]\n"
        "OnCalendar=*:0/15\n"
        "Persistent=true\n"
        "\n"
        "[Install]\n"
        "WantedBy=timers.target\n";
    return u;
}

TimerState timerState() {
    TimerState s;
    if (QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty()) {
        s.problem = QStringLiteral("este equipo no tiene systemd (no hay systemctl)");
        return s;
    }
    const Ran session = systemctl({QStringLiteral("show-environment")});
    if (!session.started || session.code != 0) {
        s.problem = QStringLiteral(
            "este escritorio no tiene una sesión de systemd del usuario (systemctl --user no "
            "responde)");
        return s;
    }
    const Ran enabled =
        systemctl({QStringLiteral("is-enabled"), QStringLiteral("orvane-sync.timer")});
    s.enabled = enabled.code == 0 && enabled.out.trimmed() == "enabled";
    return s;
}

QString enableTimer(const TimerUnits& u) {
    const TimerState s = timerState();
    if (!s.problem.isEmpty())
        return QStringLiteral("No se puede sincronizar cada 15 minutos: %1.").arg(s.problem);
    if (!writePrivate(u.service, u.serviceText) || !writePrivate(u.timer, u.timerText))
        return QStringLiteral("No se pueden escribir los archivos del temporizador en %1.")
            .arg(u.folder);
    const Ran reload = systemctl({QStringLiteral("daemon-reload")});
    const Ran enable = systemctl(
        {QStringLiteral("enable"), QStringLiteral("--now"), QStringLiteral("orvane-sync.timer")});
    if (reload.code != 0 || enable.code != 0)
        return QStringLiteral(
                   "systemctl --user no ha podido activar el temporizador orvane-sync.timer "
                   "(estado %1); sus archivos están en %2.")
            .arg(enable.code != 0 ? enable.code : reload.code)
            .arg(u.folder);
    return {};
}

QString disableTimer() {
    const TimerState s = timerState();
    if (!s.problem.isEmpty())
        return QStringLiteral("No se puede desactivar el temporizador: %1.").arg(s.problem);
    const Ran r = systemctl(
        {QStringLiteral("disable"), QStringLiteral("--now"), QStringLiteral("orvane-sync.timer")});
    if (r.code != 0)
        return QStringLiteral(
                   "systemctl --user no ha podido desactivar el temporizador orvane-sync.timer "
                   "(estado %1).")
            .arg(r.code);
    return {};
}

// ---- The last sync ---------------------------------------------------------------

QString realBook(const QString& book) {
    const QString real = QFileInfo(book).canonicalFilePath();
    return real.isEmpty() ? QFileInfo(book).absoluteFilePath() : real;
}

std::optional<LastSync> lastSync(const QString& book) {
    std::optional<LastSync> last;
    const QString mine = realBook(book);
    QFile f(recordPath());
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray& line : f.read(1 << 20).split('\n')) {
            const QList<QByteArray> parts = line.split('\t');
            if (parts.size() == 3 && QString::fromUtf8(parts[1]) == mine)
                last = LastSync{parts[0].toLongLong(), QString::fromUtf8(parts[2])};
        }
    // The timer's last run, when its unit syncs this book.
    const TimerUnits u = timerUnits(syncTool(), book);
    QFile service(u.service);
    if (!service.open(QIODevice::ReadOnly) ||
        !service.readAll().contains(" sync " + unitArgument(mine) + "\n"))
        return last;
    const Ran shown = systemctl({QStringLiteral("show"), QStringLiteral("orvane-sync.service"),
                                 QStringLiteral("--timestamp=unix"),
                                 QStringLiteral("--property=ExecMainExitTimestamp"),
                                 QStringLiteral("--property=ExecMainStatus")});
    if (shown.code != 0) return last;
    qint64 when = 0;
    int status = 0;
    for (const QByteArray& line : shown.out.split('\n')) {
        if (line.startsWith("ExecMainExitTimestamp=@"))
            when = line.mid(int(qstrlen("ExecMainExitTimestamp=@"))).trimmed().toLongLong() * 1000;
        else if (line.startsWith("ExecMainStatus="))
            status = line.mid(int(qstrlen("ExecMainStatus="))).trimmed().toInt();
    }
    if (when > 0 && (!last || when > last->ms))
        last = LastSync{when, status == 0
                                  ? QStringLiteral("correcta (la del temporizador)")
                                  : QStringLiteral("no ha terminado (la del temporizador, estado "
                                                   "%1: journalctl --user -u orvane-sync dice por "
                                                   "qué)")
                                        .arg(status)};
    return last;
}

void recordSync(const QString& book, const LastSync& last) {
    const QString mine = realBook(book);
    QByteArray kept;
    QFile f(recordPath());
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : f.read(1 << 20).split('\n')) {
            const QList<QByteArray> parts = line.split('\t');
            if (parts.size() == 3 && QString::fromUtf8(parts[1]) != mine) kept += line + '\n';
        }
        f.close();
    }
    QString text = last.text;
    text.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    kept += QByteArray::number(last.ms) + '\t' + mine.toUtf8() + '\t' + text.toUtf8() + '\n';
    writePrivate(recordPath(), kept);  // a record for the window only: its loss costs nothing
}

}  // namespace orv::ui::desk
