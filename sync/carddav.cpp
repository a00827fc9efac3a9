#include "sync/carddav.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QXmlStreamWriter>
#include <algorithm>
#include <optional>

#include "sync/davxml.h"
#include "sync/trust.h"

namespace orv::sync {

namespace detail {

struct Multistatus {
    std::vector<DavResponse> responses;
    QString syncToken;  // sync-collection's new token
};

}  // namespace detail

bool sameOrigin(const QUrl& a, const QUrl& b) {
    auto defaultPort = [](const QUrl& u) {
        return u.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.port(defaultPort(a)) == b.port(defaultPort(b));
}

namespace {

using detail::DavResponse;
using detail::Multistatus;

const QString kDav = QStringLiteral("DAV:");
const QString kCard = QStringLiteral("urn:ietf:params:xml:ns:carddav");

bool isCardType(const QString& contentType) {
    return contentType.isEmpty() || contentType.startsWith(QLatin1String("text/vcard")) ||
           contentType.startsWith(QLatin1String("text/x-vcard")) ||
           contentType.startsWith(QLatin1String("text/directory"));
}

// An href's path, decoded and without a final '/', for comparing hrefs that
// a server may spell in more than one way.
QString pathKey(const QUrl& base, const QString& href) {
    QString path = base.resolved(QUrl(href)).path(QUrl::FullyDecoded);
    while (path.endsWith(QLatin1Char('/'))) path.chop(1);
    return path;
}

QByteArray xmlBody(const std::function<void(QXmlStreamWriter&)>& write) {
    QByteArray body;
    QXmlStreamWriter w(&body);
    w.writeStartDocument();
    w.writeNamespace(kDav, QStringLiteral("d"));
    w.writeNamespace(kCard, QStringLiteral("card"));
    write(w);
    w.writeEndDocument();
    return body;
}

void writeProps(QXmlStreamWriter& w, std::initializer_list<std::pair<QString, const char*>> props) {
    w.writeStartElement(kDav, QStringLiteral("prop"));
    for (const auto& [ns, name] : props) w.writeEmptyElement(ns, QLatin1String(name));
    w.writeEndElement();
}

// Errors of the connection itself rather than an HTTP status the server sent.
bool brokeOff(QNetworkReply::NetworkError e) {
    return (e != QNetworkReply::NoError && e < QNetworkReply::ContentAccessDenied) ||
           e == QNetworkReply::ProtocolUnknownError || e == QNetworkReply::ProtocolFailure;
}

// Qt's texts for these are English: each its own Spanish words.
QString networkProblem(QNetworkReply::NetworkError e) {
    switch (e) {
        case QNetworkReply::RemoteHostClosedError:
            return QStringLiteral("ha cortado la conexión antes de terminar su respuesta");
        case QNetworkReply::TimeoutError:
            return QStringLiteral("la conexión ha caducado");
        case QNetworkReply::OperationCanceledError:
            return QStringLiteral("la petición se ha cancelado");
        case QNetworkReply::SslHandshakeFailedError:
            return QStringLiteral("la negociación de la conexión segura ha fallado");
        case QNetworkReply::TemporaryNetworkFailureError:
        case QNetworkReply::NetworkSessionFailedError:
        case QNetworkReply::BackgroundRequestNotAllowedError:
            return QStringLiteral("la red de este equipo no está disponible");
        case QNetworkReply::TooManyRedirectsError:
            return QStringLiteral("redirige demasiadas veces");
        case QNetworkReply::InsecureRedirectError:
            return QStringLiteral("redirige a una dirección sin cifrar");
        case QNetworkReply::ProxyConnectionRefusedError:
        case QNetworkReply::ProxyConnectionClosedError:
        case QNetworkReply::ProxyNotFoundError:
        case QNetworkReply::ProxyTimeoutError:
        case QNetworkReply::ProxyAuthenticationRequiredError:
        case QNetworkReply::UnknownProxyError:
            return QStringLiteral("el proxy de la red no deja pasar la conexión");
        case QNetworkReply::ProtocolUnknownError:
            return QStringLiteral("la dirección no es http ni https");
        case QNetworkReply::ProtocolFailure:
            return QStringLiteral("su respuesta no es HTTP válido o llega cortada");
        default:
            return QStringLiteral("fallo de la conexión (código %1)").arg(int(e));
    }
}

const QList<QPair<QByteArray, QByteArray>> kXml = {
    {"Content-Type", "application/xml; charset=utf-8"}};

}  // namespace

struct CardDavClient::Net {
    QNetworkAccessManager manager;
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
};

struct CardDavClient::Reply {
    QByteArray verb;
    QUrl url;
    int status = 0;
    QString reason;
    QByteArray etag;
    QUrl location;  // of a redirect
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QList<QSslError> sslErrors;
    QString fingerprint;  // of a certificate refused
    bool certificateChanged = false;
    bool timedOut = false;     // silent for the timeout
    bool tooSlow = false;      // past DavLimits::requestMs
    bool deadline = false;     // past the sync's own deadline
    qint64 tooLarge = 0;       // the limit the answer went past
    bool sinkStopped = false;  // the 207's reader stopped it
    bool offOrigin = false;    // never sent: not the collection's origin
};

CardDavClient::CardDavClient(CardDavOptions options)
    : options_(std::move(options)), net_(std::make_unique<Net>()) {
    // The collection's members are resolved against it: it must end in '/'.
    QString path = options_.collection.path();
    if (!path.endsWith(QLatin1Char('/'))) options_.collection.setPath(path + QLatin1Char('/'));
    if (!options_.caFile.isEmpty()) {
        const QList<QSslCertificate> certs = QSslCertificate::fromPath(options_.caFile);
        if (certs.isEmpty())
            setupError_ = {DavErrorKind::Tls, 0,
                           QStringLiteral("No se puede leer el certificado de autoridad %1.")
                               .arg(options_.caFile)};
        net_->ssl.addCaCertificates(certs);
    }
}

CardDavClient::~CardDavClient() = default;

QUrl CardDavClient::urlOf(const QString& href) const {
    return options_.collection.resolved(QUrl(href));
}

std::optional<QString> CardDavClient::memberPath(const QString& href) const {
    const QUrl given(href);
    if (href.isEmpty() || !given.isValid() || given.hasQuery() || given.hasFragment())
        return std::nullopt;
    // Walking out of the collection, spelt plainly or encoded, is no member
    // (resolving would hide "..", and a server may decode "%2e%2e" itself).
    const QString path = given.path(QUrl::FullyEncoded);
    for (const QString& part : path.split(QLatin1Char('/'))) {
        const QString decoded = QUrl::fromPercentEncoding(part.toUtf8());
        if (decoded == QLatin1String(".") || decoded == QLatin1String("..") ||
            decoded.contains(QLatin1Char('/')) || decoded.contains(QLatin1Char('\\')) ||
            decoded.contains(QChar(0)))
            return std::nullopt;
    }
    const QUrl full = options_.collection.resolved(given);
    if (!sync::sameOrigin(full, options_.collection)) return std::nullopt;
    const QString base = options_.collection.path(QUrl::FullyDecoded);
    const QString mine = full.path(QUrl::FullyDecoded);
    if (!mine.startsWith(base) || mine.size() == base.size() ||
        mine.indexOf(QLatin1Char('/'), base.size()) != -1)
        return std::nullopt;
    // As the server spells it, when that is already a path.
    if (href.startsWith(QLatin1Char('/')) && !href.startsWith(QLatin1String("//"))) return href;
    return full.path(QUrl::FullyEncoded);
}

CardDavClient::Reply CardDavClient::send(const QByteArray& verb, const QUrl& url,
                                         const QList<QPair<QByteArray, QByteArray>>& headers,
                                         const QByteArray& body, const DavProgress& progress,
                                         const Sink& sink, qint64 limit) {
    Reply out;
    out.verb = verb;
    out.url = url;
    if (limit <= 0) limit = options_.limits.answerBytes;
    // The password goes to the collection's origin and nowhere else.
    if (!sync::sameOrigin(url, options_.collection)) {
        out.offOrigin = true;
        return out;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (started_ == 0) started_ = now;
    const qint64 left = started_ + options_.limits.syncMs - now;
    if (left <= 0) {
        out.deadline = true;
        return out;
    }

    QNetworkRequest request(url);
    if (!options_.user.isEmpty()) {
        // Sent with the first request rather than after a 401: half the round trips.
        QByteArray pair = (options_.user + QLatin1Char(':') + options_.password).toUtf8();
        request.setRawHeader("Authorization", "Basic " + pair.toBase64());
    }
    request.setRawHeader("User-Agent", "Orvane");
    for (const auto& [name, value] : headers) request.setRawHeader(name, value);
    // A redirect is never followed by Qt: it would carry the password along.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (url.scheme() == QLatin1String("https")) request.setSslConfiguration(net_->ssl);

    std::unique_ptr<QNetworkReply> owned(net_->manager.sendCustomRequest(request, verb, body));
    QNetworkReply* reply = owned.get();
    QEventLoop loop;
    bool stopped = false;
    auto stop = [&] {
        stopped = true;
        reply->abort();
    };
    QTimer silence;
    silence.setSingleShot(true);
    silence.setInterval(options_.timeoutMs);
    QObject::connect(&silence, &QTimer::timeout, reply, [&] {
        out.timedOut = true;
        stop();
    });
    QTimer whole;
    whole.setSingleShot(true);
    whole.setInterval(static_cast<int>(std::min<qint64>(options_.limits.requestMs, left)));
    QObject::connect(&whole, &QTimer::timeout, reply, [&] {
        (left < options_.limits.requestMs ? out.deadline : out.tooSlow) = true;
        stop();
    });
    qint64 received = 0;
    auto take = [&] {
        while (!stopped && reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(64 << 10);
            if (chunk.isEmpty()) break;
            received += chunk.size();
            if (received > limit) {
                out.tooLarge = limit;
                stop();
                return;
            }
            // Only a multistatus is read; any other body is counted and let go.
            if (sink && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 207 &&
                !sink(chunk.constData(), chunk.size())) {
                out.sinkStopped = true;
                stop();
                return;
            }
        }
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [&] {
        // Qt reads no further ahead than this, so what waits is never more
        // (set earlier, Qt 6.4's HTTP thread ignores it and reads all).
        reply->setReadBufferSize(256 << 10);
        bool known = false;
        const qint64 length =
            reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && length > limit) {
            out.tooLarge = limit;
            stop();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, take);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [&](qint64 done, qint64 total) {
                         silence.start();
                         if (progress && !stopped) progress(done, total);
                     });
    QObject::connect(reply, &QNetworkReply::uploadProgress, reply, [&] { silence.start(); });
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [&](const QList<QSslError>& errors) {
        QSslCertificate peer = reply->sslConfiguration().peerCertificate();
        if (peer.isNull() && !errors.isEmpty()) peer = errors.front().certificate();
        const QString fingerprint = fingerprintOf(peer);
        if (!options_.pinnedFingerprint.isEmpty() &&
            sameFingerprint(fingerprint, options_.pinnedFingerprint) &&
            acceptableByFingerprint(errors)) {
            reply->ignoreSslErrors(errors);
            return;
        }
        out.sslErrors = errors;
        out.fingerprint = fingerprint;
    });
    // Before any byte of the request: another certificate than the one
    // accepted is refused even when some authority signed it.
    QObject::connect(reply, &QNetworkReply::encrypted, reply, [&] {
        if (options_.pinnedFingerprint.isEmpty()) return;
        const QString fingerprint = fingerprintOf(reply->sslConfiguration().peerCertificate());
        if (sameFingerprint(fingerprint, options_.pinnedFingerprint)) return;
        out.certificateChanged = true;
        out.fingerprint = fingerprint;
        stop();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    silence.start();
    whole.start();
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!stopped) take();

    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A server's words, shown to the user: a line's worth at most.
    out.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().left(100);
    out.etag = reply->rawHeader("ETag").left(options_.limits.fieldBytes);
    if (reply->hasRawHeader("Location"))
        out.location = url.resolved(QUrl(QString::fromUtf8(reply->rawHeader("Location"))));
    out.error = reply->error();
    // A connection that broke off leaves whatever status line came before
    // the cut: an answer cut inside its headers or body is no answer.
    if (brokeOff(out.error) || stopped) out.status = 0;
    return out;
}

DavError CardDavClient::errorOf(const Reply& r) const {
    const QString where = r.url.toDisplayString(QUrl::RemoveUserInfo);
    const QString server =
        r.url.host() + (r.url.port() > 0 ? QStringLiteral(":%1").arg(r.url.port()) : QString());
    auto error = [&](DavErrorKind kind, const QString& message) {
        return DavError{kind, r.status, message, {}, {}};
    };
    if (r.offOrigin)
        return error(DavErrorKind::Protocol,
                     QStringLiteral("%1 está en otro servidor que la libreta %2: no se le envía "
                                    "nada.")
                         .arg(where, options_.collection.toDisplayString(QUrl::RemoveUserInfo)));
    if (r.deadline)
        return error(DavErrorKind::Timeout,
                     QStringLiteral("La sincronización con %1 no ha terminado en %2 minutos, su "
                                    "límite: lo que falta queda para la próxima.")
                         .arg(server)
                         .arg(options_.limits.syncMs / 60000.0));
    if (r.tooSlow)
        return error(DavErrorKind::Timeout,
                     QStringLiteral("El servidor %1 no ha terminado de responder a %2 en %3 s, el "
                                    "límite de una respuesta.")
                         .arg(server, QString::fromLatin1(r.verb))
                         .arg(options_.limits.requestMs / 1000.0));
    if (r.timedOut)
        return error(DavErrorKind::Timeout,
                     QStringLiteral("El servidor %1 no ha respondido en %2 s.")
                         .arg(server)
                         .arg(options_.timeoutMs / 1000.0));
    if (r.tooLarge)
        return error(DavErrorKind::Protocol,
                     QStringLiteral("La respuesta del servidor %1 a %2 pasa de %3, el límite de "
                                    "una respuesta: no se lee más.")
                         .arg(server, QString::fromLatin1(r.verb), bytesText(r.tooLarge)));
    if (r.certificateChanged) {
        DavError e = error(DavErrorKind::Tls,
                           QStringLiteral("El certificado de %1 no es el que se aceptó: tiene la "
                                          "huella %2 y la aceptada es %3.")
                               .arg(server, r.fingerprint, options_.pinnedFingerprint));
        e.fingerprint = r.fingerprint;
        e.oldFingerprint = options_.pinnedFingerprint;
        return e;
    }
    if (r.status > 0) {
        const QString code = QStringLiteral("%1 %2").arg(r.status).arg(r.reason).trimmed();
        switch (r.status) {
            case 401:
                return error(DavErrorKind::Authentication,
                             QStringLiteral("El servidor %1 no acepta el usuario %2 con esa "
                                            "contraseña (%3).")
                                 .arg(server, options_.user, code));
            case 403:
                return error(DavErrorKind::Authentication,
                             QStringLiteral("El servidor no da acceso a %1 al usuario %2 (%3).")
                                 .arg(where, options_.user, code));
            case 404:
                return error(
                    DavErrorKind::NotFound,
                    QStringLiteral("No existe %1 en el servidor (%2): revise la dirección.")
                        .arg(where, code));
            case 412:
                return error(DavErrorKind::PreconditionFailed,
                             QStringLiteral("%1 ha cambiado en el servidor mientras tanto (%2).")
                                 .arg(where, code));
            default:
                break;
        }
        if (r.status >= 500)
            return error(DavErrorKind::ServerError,
                         QStringLiteral("Error del servidor %1 (%2).").arg(server, code));
        return error(
            DavErrorKind::Protocol,
            QStringLiteral("Respuesta inesperada del servidor a %1 (%2).").arg(where, code));
    }
    if (!r.sslErrors.isEmpty() || r.error == QNetworkReply::SslHandshakeFailedError) {
        DavError e =
            error(DavErrorKind::Tls,
                  QStringLiteral("Conexión segura con %1 rechazada: %2.")
                      .arg(server, r.sslErrors.isEmpty() ? networkProblem(r.error)
                                                         : certificateProblem(r.sslErrors)));
        e.fingerprint = r.fingerprint;
        e.oldFingerprint = options_.pinnedFingerprint;
        return e;
    }
    switch (r.error) {
        case QNetworkReply::ConnectionRefusedError:
            return error(DavErrorKind::ServerDown,
                         QStringLiteral("No se puede conectar con %1: conexión rechazada (el "
                                        "servidor no está en marcha o no escucha en ese puerto).")
                             .arg(server));
        case QNetworkReply::HostNotFoundError:
            return error(DavErrorKind::ServerDown,
                         QStringLiteral("No se encuentra el servidor %1.").arg(r.url.host()));
        case QNetworkReply::TemporaryNetworkFailureError:
        case QNetworkReply::NetworkSessionFailedError:
            return error(DavErrorKind::ServerDown,
                         QStringLiteral("No se puede llegar al servidor %1: %2.")
                             .arg(server, networkProblem(r.error)));
        case QNetworkReply::RemoteHostClosedError:
            return error(DavErrorKind::Network,
                         QStringLiteral("El servidor %1 ha cortado la conexión.").arg(server));
        default:
            return error(
                DavErrorKind::Network,
                QStringLiteral("Error de red con %1: %2.").arg(server, networkProblem(r.error)));
    }
}

std::optional<QString> CardDavClient::multistatus(
    const QByteArray& verb, const QUrl& url, const char* depth, const QByteArray& body,
    const DavProgress& progress, DavError& error,
    const std::function<bool(DavResponse&, QString& why)>& onResponse, qint64 limit) {
    QList<QPair<QByteArray, QByteArray>> headers = kXml;
    if (depth) headers.emplace_back("Depth", depth);
    detail::MultistatusReader reader(
        options_.limits, [&](DavResponse& r) { return onResponse(r, reader.stopReason); });
    Reply reply = send(
        verb, url, headers, body, progress,
        [&](const char* data, qsizetype size) { return reader.feed(data, size); }, limit);
    if (!reader.stopReason.isEmpty()) {
        error = {DavErrorKind::Protocol, 207, reader.stopReason, {}, {}};
        return std::nullopt;
    }
    if (reply.sinkStopped || (reply.status == 207 && !reader.finish())) {
        error = {DavErrorKind::Protocol,
                 207,
                 QStringLiteral("La respuesta del servidor a %1 no se puede leer: %2.")
                     .arg(QString::fromLatin1(verb), reader.error()),
                 {},
                 {}};
        return std::nullopt;
    }
    if (reply.status != 207) {
        error = errorOf(reply);
        if (reply.status / 100 == 2 && url == options_.collection)
            error.message = notAnAddressBook();  // a web page, say
        return std::nullopt;
    }
    return reader.syncToken();
}

std::optional<Multistatus> CardDavClient::collect(const QByteArray& verb, const QUrl& url,
                                                  const char* depth, const QByteArray& body,
                                                  const DavProgress& progress, DavError& error) {
    Multistatus ms;
    std::optional<QString> token =
        multistatus(verb, url, depth, body, progress, error, [&](DavResponse& r, QString& why) {
            if (ms.responses.size() >= static_cast<std::size_t>(options_.limits.members)) {
                why = tooMany();
                return false;
            }
            ms.responses.push_back(std::move(r));
            return true;
        });
    if (!token) return std::nullopt;
    ms.syncToken = *token;
    return ms;
}

QString CardDavClient::tooMany() const {
    return QStringLiteral(
               "La libreta %1 tiene más de %2 tarjetas, el límite de una libreta: no "
               "se sincroniza.")
        .arg(options_.collection.toDisplayString(QUrl::RemoveUserInfo))
        .arg(options_.limits.members);
}

QString CardDavClient::notAnAddressBook() const {
    return QStringLiteral("%1 no es una libreta de direcciones CardDAV.")
        .arg(options_.collection.toDisplayString(QUrl::RemoveUserInfo));
}

bool CardDavClient::isCollection(const QString& href) const {
    return pathKey(options_.collection, href) ==
               pathKey(options_.collection, options_.collection.path()) &&
           sync::sameOrigin(options_.collection.resolved(QUrl(href)), options_.collection);
}

// Named once, and not without end: a listing may name a million.
static void refuse(QStringList& refused, const QString& href) {
    if (refused.size() < 100 && !refused.contains(href)) refused << href;
}

DavResult<Listing> CardDavClient::list(const DavProgress& progress) {
    if (setupError_.failed()) return {{}, setupError_};
    // First the collection alone, which is quick: is it an address book, and
    // how may its cards be listed.
    DavResult<Listing> out;
    std::optional<Multistatus> ms =
        collect("PROPFIND", options_.collection, "0", xmlBody([](QXmlStreamWriter& w) {
                    w.writeStartElement(kDav, QStringLiteral("propfind"));
                    writeProps(w, {{kDav, "resourcetype"}, {kDav, "supported-report-set"}});
                    w.writeEndElement();
                }),
                {}, out.error);
    if (!ms) return out;
    auto self = std::find_if(ms->responses.begin(), ms->responses.end(),
                             [&](const DavResponse& r) { return isCollection(r.href); });
    if (self == ms->responses.end() || !self->addressBook)
        return {{}, {DavErrorKind::NotFound, 207, notAnAddressBook(), {}, {}}};
    out.value.syncCollection = self->reports.contains(QLatin1String("sync-collection"));
    out.value.multiget = self->reports.contains(QLatin1String("addressbook-multiget"));
    out.value.query = query_ = self->reports.contains(QLatin1String("addressbook-query"));

    // An initial sync-collection lists the cards with the token, and some
    // servers (radicale) answer it several times faster than a PROPFIND.
    if (out.value.syncCollection) {
        DavResult<Changes> all = syncCollection({}, progress);
        if (all.ok()) {
            out.value.syncToken = all.value.syncToken;
            out.value.cards = std::move(all.value.changed);
            out.value.refused = std::move(all.value.refused);
            return out;
        }
        if (!tokenRefused(all.error)) return {{}, all.error};
    }
    const bool tokens = out.value.syncCollection;
    std::optional<QString> done = multistatus(
        "PROPFIND", options_.collection, "1", xmlBody([](QXmlStreamWriter& w) {
            w.writeStartElement(kDav, QStringLiteral("propfind"));
            writeProps(w, {{kDav, "resourcetype"},
                           {kDav, "getetag"},
                           {kDav, "getcontenttype"},
                           {kDav, "sync-token"}});
            w.writeEndElement();
        }),
        progress, out.error, [&](DavResponse& r, QString& why) {
            if (isCollection(r.href)) {
                out.value.syncToken = tokens ? r.syncToken : QString();
                return true;
            }
            if (r.collection || r.status / 100 == 4 || !isCardType(r.contentType)) return true;
            const std::optional<QString> path = memberPath(r.href);
            if (!path) {
                refuse(out.value.refused, r.href);
                return true;
            }
            if (out.value.cards.size() >= static_cast<std::size_t>(options_.limits.members)) {
                why = tooMany();
                return false;
            }
            out.value.cards.push_back({*path, r.etag, r.contentType});
            return true;
        });
    if (!done) return {{}, out.error};
    return out;
}

bool CardDavClient::tokenRefused(const DavError& e) {
    // An unknown or expired token (403 valid-sync-token, 409), or a server
    // without the report.
    return e.httpStatus == 400 || e.httpStatus == 403 || e.httpStatus == 409 || e.httpStatus == 501;
}

DavResult<Changes> CardDavClient::syncCollection(const QString& syncToken,
                                                 const DavProgress& progress) {
    QString token = syncToken;
    // Each member's news in order (nullopt: deleted); the last one counts.
    std::vector<std::pair<QString, std::optional<CardInfo>>> news;
    QStringList refused;
    const QString server = options_.collection.toDisplayString(QUrl::RemoveUserInfo);
    // A server may answer in parts (507 on the collection): ask again from
    // the token it gave until it has said everything, a bounded number of times.
    for (int round = 0;; ++round) {
        if (round == options_.limits.rounds)
            return {{},
                    {DavErrorKind::Protocol,
                     507,
                     QStringLiteral("El servidor de %1 da su lista en más de %2 partes, el "
                                    "límite: no se sigue.")
                         .arg(server)
                         .arg(options_.limits.rounds),
                     {},
                     {}}};
        DavError error;
        bool more = false;
        const std::size_t before = news.size();
        std::optional<QString> next = multistatus(
            "REPORT", options_.collection, "0", xmlBody([&](QXmlStreamWriter& w) {
                w.writeStartElement(kDav, QStringLiteral("sync-collection"));
                w.writeTextElement(kDav, QStringLiteral("sync-token"), token);
                w.writeTextElement(kDav, QStringLiteral("sync-level"), QStringLiteral("1"));
                writeProps(w, {{kDav, "getetag"}, {kDav, "getcontenttype"}});
                w.writeEndElement();
            }),
            progress, error, [&](DavResponse& r, QString& why) {
                if (isCollection(r.href)) {
                    more = more || r.status == 507;
                    return true;
                }
                const std::optional<QString> path = memberPath(r.href);
                if (!path) {
                    if (!r.collection) refuse(refused, r.href);
                    return true;
                }
                if (news.size() >= static_cast<std::size_t>(options_.limits.members)) {
                    why = tooMany();
                    return false;
                }
                if (r.status == 404)
                    news.emplace_back(*path, std::nullopt);
                else if (!r.collection && isCardType(r.contentType))
                    news.emplace_back(*path, CardInfo{*path, r.etag, r.contentType});
                return true;
            });
        if (!next) return {{}, error};
        if (next->isEmpty() || *next == token) break;
        token = *next;
        if (!more) break;
        if (news.size() == before)
            return {{},
                    {DavErrorKind::Protocol,
                     507,
                     QStringLiteral("El servidor de %1 dice que su lista sigue, pero esta parte "
                                    "no trae nada: no se sigue.")
                         .arg(server),
                     {},
                     {}}};
    }
    DavResult<Changes> out;
    out.value.syncToken = token;
    out.value.full = syncToken.isEmpty();
    out.value.refused = std::move(refused);
    QHash<QString, std::size_t> last;
    for (std::size_t i = 0; i < news.size(); ++i) last.insert(news[i].first, i);
    for (std::size_t i = 0; i < news.size(); ++i) {
        if (last.value(news[i].first) != i) continue;
        if (news[i].second)
            out.value.changed.push_back(std::move(*news[i].second));
        else if (!out.value.full)
            out.value.removed << news[i].first;
    }
    return out;
}

DavResult<Changes> CardDavClient::changesSince(const QString& syncToken,
                                               const DavProgress& progress) {
    if (setupError_.failed()) return {{}, setupError_};
    if (!syncToken.isEmpty()) {
        DavResult<Changes> changes = syncCollection(syncToken, progress);
        // xandikos answers 500 to a token that is not of this collection.
        if (changes.ok() || (!tokenRefused(changes.error) && changes.error.httpStatus != 500))
            return changes;
    }
    DavResult<Listing> all = list(progress);
    if (!all.ok()) return {{}, all.error};
    return {
        {all.value.syncToken, true, std::move(all.value.cards), {}, std::move(all.value.refused)},
        {}};
}

bool CardDavClient::takeCard(DavResponse& r, const QString& asked, Fetched& out) {
    if (r.cardTooLarge) {
        out.tooLarge << asked;
        return true;
    }
    if (!r.addressData || r.status / 100 == 4) {
        out.missing << asked;
        return true;
    }
    if (cardBytes_ + r.addressData->size() > options_.limits.syncCardBytes) {
        out.deferred << asked;
        return false;
    }
    cardBytes_ += r.addressData->size();
    out.cards.push_back({asked, r.etag, std::move(*r.addressData)});
    return true;
}

DavResult<Fetched> CardDavClient::fetch(const QStringList& hrefs, const DavProgress& progress) {
    DavResult<Fetched> out;
    if (setupError_.failed()) return {{}, setupError_};
    if (query_ && hrefs.size() >= 4 * std::max(1, options_.multigetBatch)) {
        QHash<QString, QString> asked;
        for (const QString& href : hrefs) asked.insert(pathKey(options_.collection, href), href);
        DavError error;
        bool full = false;  // the sync's cards reached their limit
        std::optional<QString> done = multistatus(
            "REPORT", options_.collection, "1", xmlBody([&](QXmlStreamWriter& w) {
                w.writeStartElement(kCard, QStringLiteral("addressbook-query"));
                writeProps(w, {{kDav, "getetag"}, {kCard, "address-data"}});
                w.writeEndElement();
            }),
            {}, error,
            [&](DavResponse& r, QString&) {
                const std::optional<QString> path = memberPath(r.href);
                if (!path || r.status / 100 == 4) return true;
                auto it = asked.find(pathKey(options_.collection, *path));
                if (it == asked.end() || (!r.addressData && !r.cardTooLarge)) return true;
                const QString href = it.value();
                asked.erase(it);
                if (takeCard(r, href, out.value)) return true;
                full = true;
                return true;  // read on: the rest is left for the next sync
            },
            options_.limits.answerBytes + options_.limits.syncCardBytes);
        if (done || full) {
            // What the query left out (a server may cap its answers) comes by multiget.
            QStringList rest(asked.begin(), asked.end());
            if (full) {
                out.value.deferred += rest;
                rest.clear();
            }
            DavResult<Fetched> more = fetchEach(rest, {});
            if (!more.ok()) return more;
            for (Card& c : more.value.cards) out.value.cards.push_back(std::move(c));
            out.value.missing += more.value.missing;
            out.value.tooLarge += more.value.tooLarge;
            out.value.deferred += more.value.deferred;
            if (progress) progress(hrefs.size(), hrefs.size());
            return out;
        }
        if (!tokenRefused(error) && error.httpStatus != 404 && error.httpStatus != 415)
            return {{}, error};
        query_ = false;
        out.value = {};
        cardBytes_ = 0;
    }
    return fetchEach(hrefs, progress);
}

DavResult<Fetched> CardDavClient::fetchEach(const QStringList& hrefs, const DavProgress& progress) {
    DavResult<Fetched> out;
    const qsizetype batch = std::max(1, options_.multigetBatch);
    for (qsizetype start = 0; start < hrefs.size(); start += batch) {
        if (cardBytes_ >= options_.limits.syncCardBytes) {
            out.value.deferred += hrefs.mid(start);
            break;
        }
        const QStringList part = hrefs.mid(start, batch);
        // The answer may spell an href otherwise (a full URL, other escapes):
        // the caller gets back the spelling it asked for.
        QHash<QString, QString> asked;
        for (const QString& href : part) asked.insert(pathKey(options_.collection, href), href);
        std::optional<QString> done = multistatus(
            "REPORT", options_.collection, nullptr, xmlBody([&](QXmlStreamWriter& w) {
                w.writeStartElement(kCard, QStringLiteral("addressbook-multiget"));
                writeProps(w, {{kDav, "getetag"}, {kCard, "address-data"}});
                for (const QString& href : part)
                    w.writeTextElement(kDav, QStringLiteral("href"), href);
                w.writeEndElement();
            }),
            {}, out.error,
            [&](DavResponse& r, QString&) {
                const std::optional<QString> path = memberPath(r.href);
                if (!path) return true;
                auto it = asked.find(pathKey(options_.collection, *path));
                if (it == asked.end()) return true;
                const QString href = it.value();
                asked.erase(it);
                takeCard(r, href, out.value);
                return true;
            },
            // Each card up to its limit (twice that in bytes, escaped), and the rest.
            options_.limits.answerBytes + part.size() * 2 * options_.limits.cardBytes);
        if (!done) return {{}, out.error};
        for (const QString& href : std::as_const(asked)) out.value.missing << href;
        if (progress) progress(start + part.size(), hrefs.size());
    }
    return out;
}

DavResult<QString> CardDavClient::put(const QString& href, const QByteArray& vcard,
                                      const QString& etag) {
    if (setupError_.failed()) return {{}, setupError_};
    if (!memberPath(href)) return {{}, outside(href)};
    QList<QPair<QByteArray, QByteArray>> headers = {{"Content-Type", "text/vcard; charset=utf-8"}};
    if (etag.isEmpty())
        headers.emplace_back("If-None-Match", "*");
    else
        headers.emplace_back("If-Match", etag.toUtf8());
    Reply reply = send("PUT", urlOf(href), headers, vcard);
    if (reply.status / 100 != 2) return {{}, errorOf(reply)};
    return {QString::fromUtf8(reply.etag), {}};
}

DavError CardDavClient::remove(const QString& href, const QString& etag) {
    if (setupError_.failed()) return setupError_;
    // A card of the collection, or (asked for by name) the collection itself.
    if (!memberPath(href) && !isCollection(href)) return outside(href);
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!etag.isEmpty()) headers.emplace_back("If-Match", etag.toUtf8());
    Reply reply = send("DELETE", urlOf(href), headers, {});
    return reply.status / 100 == 2 ? DavError{} : errorOf(reply);
}

DavError CardDavClient::outside(const QString& href) const {
    return {DavErrorKind::Protocol,
            0,
            QStringLiteral("%1 no es una tarjeta de la libreta %2: no se escribe.")
                .arg(href, options_.collection.toDisplayString(QUrl::RemoveUserInfo)),
            {},
            {}};
}

DavError CardDavClient::createAddressBook(const QString& displayName) {
    if (setupError_.failed()) return setupError_;
    const QByteArray body = xmlBody([&](QXmlStreamWriter& w) {
        w.writeStartElement(kDav, QStringLiteral("mkcol"));
        w.writeStartElement(kDav, QStringLiteral("set"));
        w.writeStartElement(kDav, QStringLiteral("prop"));
        w.writeStartElement(kDav, QStringLiteral("resourcetype"));
        w.writeEmptyElement(kDav, QStringLiteral("collection"));
        w.writeEmptyElement(kCard, QStringLiteral("addressbook"));
        w.writeEndElement();
        w.writeTextElement(kDav, QStringLiteral("displayname"), displayName);
        w.writeEndElement();
        w.writeEndElement();
        w.writeEndElement();
    });
    Reply reply = send("MKCOL", options_.collection, kXml, body);
    return reply.status / 100 == 2 ? DavError{} : errorOf(reply);
}

bool CardDavClient::keepsOrigin(const QUrl& url, const QUrl& from, DavError& error) const {
    if (sync::sameOrigin(url, from)) return true;
    error = {DavErrorKind::Protocol,
             0,
             QStringLiteral("%1 lleva a otro servidor, %2: no se le envía la contraseña. Si es "
                            "de confianza, indique esa dirección.")
                 .arg(from.toDisplayString(QUrl::RemoveUserInfo),
                      url.toDisplayString(QUrl::RemoveUserInfo)),
             {},
             {}};
    return false;
}

std::optional<Multistatus> CardDavClient::propfindAt(QUrl& url, const char* depth,
                                                     const QByteArray& body, DavError& error) {
    QList<QPair<QByteArray, QByteArray>> headers = kXml;
    headers.emplace_back("Depth", depth);
    for (int hops = 0; hops < 5; ++hops) {
        Multistatus ms;
        detail::MultistatusReader reader(options_.limits, [&](DavResponse& r) {
            if (ms.responses.size() >= static_cast<std::size_t>(options_.limits.members)) {
                reader.stopReason = tooMany();
                return false;
            }
            ms.responses.push_back(std::move(r));
            return true;
        });
        Reply reply =
            send("PROPFIND", url, headers, body, {},
                 [&](const char* data, qsizetype size) { return reader.feed(data, size); });
        const bool redirect = reply.status == 301 || reply.status == 302 || reply.status == 303 ||
                              reply.status == 307 || reply.status == 308;
        if (redirect && reply.location.isValid()) {
            // Followed on this origin only: elsewhere the password would go along.
            if (!keepsOrigin(reply.location, url, error)) return std::nullopt;
            url = reply.location;
            continue;
        }
        if (!reader.stopReason.isEmpty()) {
            error = {DavErrorKind::Protocol, reply.status, reader.stopReason, {}, {}};
            return std::nullopt;
        }
        if (reply.sinkStopped || (reply.status == 207 && !reader.finish())) {
            error = {DavErrorKind::Protocol,
                     207,
                     QStringLiteral("La respuesta del servidor no se puede leer: %1.")
                         .arg(reader.error()),
                     {},
                     {}};
            return std::nullopt;
        }
        if (reply.status != 207) {
            error = errorOf(reply);
            return std::nullopt;
        }
        ms.syncToken = reader.syncToken();
        return ms;
    }
    error = {DavErrorKind::Protocol,
             0,
             QStringLiteral("%1 redirige demasiadas veces.")
                 .arg(url.toDisplayString(QUrl::RemoveUserInfo)),
             {},
             {}};
    return std::nullopt;
}

DavResult<std::vector<AddressBookInfo>> CardDavClient::discover() {
    if (setupError_.failed()) return {{}, setupError_};
    const QByteArray props = xmlBody([](QXmlStreamWriter& w) {
        w.writeStartElement(kDav, QStringLiteral("propfind"));
        writeProps(w, {{kDav, "resourcetype"},
                       {kDav, "displayname"},
                       {kDav, "current-user-principal"},
                       {kCard, "addressbook-home-set"}});
        w.writeEndElement();
    });
    auto self = [](const Multistatus& ms, const QUrl& url) -> std::optional<DavResponse> {
        for (const DavResponse& r : ms.responses)
            if (pathKey(url, r.href) == pathKey(url, url.path())) return r;
        return ms.responses.size() == 1 ? std::optional(ms.responses.front()) : std::nullopt;
    };
    auto nameOf = [](const DavResponse& r, const QUrl& url) {
        if (!r.displayName.isEmpty()) return r.displayName.left(200);
        QString path = url.path(QUrl::FullyDecoded);
        while (path.endsWith(QLatin1Char('/'))) path.chop(1);
        return path.section(QLatin1Char('/'), -1);
    };
    auto asFolder = [](QUrl url) {
        if (!url.path().endsWith(QLatin1Char('/'))) url.setPath(url.path() + QLatin1Char('/'));
        return url;
    };

    const QUrl given = options_.collection;
    QUrl wellKnown = given;
    wellKnown.setPath(QStringLiteral("/.well-known/carddav"));
    // A bare server address starts from the well-known one; any other is
    // taken as given (a wrong one is said so, not wandered away from).
    const bool bare = given.path().isEmpty() || given.path() == QLatin1String("/");
    const QList<QUrl> starts = bare ? QList<QUrl>{wellKnown, given} : QList<QUrl>{given};
    DavError first;
    for (QUrl start : starts) {
        DavError error;
        std::optional<Multistatus> ms = propfindAt(start, "0", props, error);
        std::optional<DavResponse> me = ms ? self(*ms, start) : std::nullopt;
        if (!me) {
            if (error.kind == DavErrorKind::Authentication || error.kind == DavErrorKind::Tls ||
                error.kind == DavErrorKind::ServerDown || error.kind == DavErrorKind::Timeout)
                return {{}, error};
            if (!first.failed()) first = error;
            continue;
        }
        if (me->addressBook) return {{{asFolder(start), nameOf(*me, start)}}, {}};
        QUrl home;
        if (!me->home.isEmpty()) {
            home = start.resolved(QUrl(me->home));
            if (!keepsOrigin(home, start, error)) return {{}, error};
        } else if (!me->principal.isEmpty()) {
            QUrl principal = start.resolved(QUrl(me->principal));
            if (!keepsOrigin(principal, start, error)) return {{}, error};
            std::optional<Multistatus> pm = propfindAt(principal, "0", props, error);
            std::optional<DavResponse> p = pm ? self(*pm, principal) : std::nullopt;
            if (p && !p->home.isEmpty()) {
                home = principal.resolved(QUrl(p->home));
                if (!keepsOrigin(home, principal, error)) return {{}, error};
            }
            if (!p && error.kind == DavErrorKind::Authentication) return {{}, error};
            if (!p && error.kind == DavErrorKind::Protocol && !first.failed()) first = error;
        }
        if (!home.isValid() && me->collection) home = start;  // a folder of address books
        if (!home.isValid()) continue;
        home = asFolder(home);
        std::optional<Multistatus> books = propfindAt(home, "1", props, error);
        if (!books) {
            if (error.kind == DavErrorKind::Authentication) return {{}, error};
            if (!first.failed()) first = error;
            continue;
        }
        std::vector<AddressBookInfo> found;
        bool here = false;
        for (const DavResponse& r : books->responses) {
            if (!r.addressBook || r.status / 100 == 4) continue;
            const QUrl url = asFolder(home.resolved(QUrl(r.href)));
            const bool elsewhere = !sync::sameOrigin(url, given);
            here = here || !elsewhere;
            if (found.size() < 1000) found.push_back({url, nameOf(r, url), elsewhere});
        }
        if (!found.empty() && !here) {
            keepsOrigin(found.front().url, home, error);
            return {{}, error};
        }
        if (!found.empty()) {
            std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
                return a.url.toString() < b.url.toString();
            });
            return {std::move(found), {}};
        }
    }
    if (first.failed() && (!bare || first.kind == DavErrorKind::Protocol)) return {{}, first};
    return {{},
            {DavErrorKind::NotFound,
             first.httpStatus,
             QStringLiteral("No se encuentra ninguna libreta de direcciones en %1.")
                 .arg(given.toDisplayString(QUrl::RemoveUserInfo)),
             {},
             {}}};
}

QString CardDavClient::hrefForUid(const QString& uid) const {
    // Servers and their file systems differ in what a name may hold: a UID of
    // plain characters names its card, any other its digest.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._-]{1,100}$"));
    QString name =
        plain.match(uid).hasMatch() && !uid.startsWith(QLatin1Char('.'))
            ? uid
            : QString::fromLatin1(
                  QCryptographicHash::hash(uid.toUtf8(), QCryptographicHash::Sha1).toHex());
    return options_.collection.path(QUrl::FullyEncoded) + name + QStringLiteral(".vcf");
}

}  // namespace orv::sync
