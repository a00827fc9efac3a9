#include "sync/davhttp.h"

#include <QDateTime>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <algorithm>

#include "sync/trust.h"

namespace orv::sync {

namespace {

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

}  // namespace

struct CardDavClient::Net {
    QNetworkAccessManager manager;
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
};

CardDavClient::CardDavClient(CardDavOptions options)
    : options_(std::move(options)), net_(std::make_unique<Net>()) {
    // The collection's members are resolved against it: it must end in '/'.
    QString path = options_.collection.path();
    if (!path.endsWith(QLatin1Char('/'))) options_.collection.setPath(path + QLatin1Char('/'));
    base_ = options_.collection.path(QUrl::FullyEncoded);
    const QString probe = base_ + QLatin1Char('a');
    plainBase_ = base_.startsWith(QLatin1Char('/')) && memberPath(probe) == probe;
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

// A name of plain characters only: nothing in it to decode, walk out or
// query, so a path of the collection's own spelling and such a name is a
// member as it stands (what a sync meets for nearly every card).
static bool plainName(QStringView name) {
    if (name.isEmpty() || name == u"." || name == u"..") return false;
    for (const QChar ch : name) {
        const char16_t c = ch.unicode();
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_' ||
                        c == u'~' || c == u'@' || c == u'+' || c == u'=' || c == u',';
        if (!ok) return false;
    }
    return true;
}

std::optional<QString> CardDavClient::memberPath(const QString& href) const {
    if (plainBase_ && href.startsWith(base_) && plainName(QStringView(href).mid(base_.size())))
        return href;
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

}  // namespace orv::sync
