#include "sync/carddav.h"

#include <QCryptographicHash>
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
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>
#include <optional>

namespace orv::sync {

namespace detail {

// One <response> of a multistatus, with the properties that came with 200.
struct DavResponse {
    QString href;
    int status = 0;  // the response's own status (a deleted member); 0 when none
    QString etag, contentType, syncToken, displayName, principal, home;
    std::optional<QString> addressData;
    bool collection = false, addressBook = false;
    QStringList reports;
};

struct Multistatus {
    std::vector<DavResponse> responses;
    QString syncToken;  // sync-collection's new token
};

}  // namespace detail

namespace {

using detail::DavResponse;
using detail::Multistatus;

const QString kDav = QStringLiteral("DAV:");
const QString kCard = QStringLiteral("urn:ietf:params:xml:ns:carddav");

bool is(const QXmlStreamReader& x, const QString& ns, const char* name) {
    return x.namespaceUri() == ns && x.name() == QLatin1String(name);
}

int statusOf(const QString& line) {  // "HTTP/1.1 404 Not Found"
    return line.trimmed().section(QLatin1Char(' '), 1, 1).toInt();
}

QString textOf(QXmlStreamReader& x) {
    return x.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
}

// The names of the reports inside <supported-report-set>. Some servers
// (xandikos) leave out the <report> wrapper: the report is then the
// supported-report's own child.
void readReports(QXmlStreamReader& x, QStringList& out) {
    while (x.readNextStartElement()) {
        if (!is(x, kDav, "supported-report")) {
            x.skipCurrentElement();
            continue;
        }
        while (x.readNextStartElement()) {
            if (is(x, kDav, "report")) {
                while (x.readNextStartElement()) {
                    out << x.name().toString();
                    x.skipCurrentElement();
                }
            } else {
                out << x.name().toString();
                x.skipCurrentElement();
            }
        }
    }
}

// QXmlStreamReader's own texts are English.
QString xmlProblem(const QXmlStreamReader& x) {
    const QString where =
        QStringLiteral(" (línea %1, columna %2)").arg(x.lineNumber()).arg(x.columnNumber());
    switch (x.error()) {
        case QXmlStreamReader::PrematureEndOfDocumentError:
            return QStringLiteral("el documento XML termina antes de tiempo") + where;
        case QXmlStreamReader::CustomError:
            return x.errorString();  // ours
        case QXmlStreamReader::UnexpectedElementError:
            return QStringLiteral("el XML tiene un elemento inesperado") + where;
        default:
            return QStringLiteral("el XML está mal formado") + where;
    }
}

void readProp(QXmlStreamReader& x, DavResponse& r) {
    while (x.readNextStartElement()) {
        if (is(x, kDav, "getetag")) {
            r.etag = textOf(x);
        } else if (is(x, kDav, "getcontenttype")) {
            r.contentType = textOf(x);
        } else if (is(x, kDav, "sync-token")) {
            r.syncToken = textOf(x);
        } else if (is(x, kCard, "address-data")) {
            r.addressData = x.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (is(x, kDav, "resourcetype")) {
            while (x.readNextStartElement()) {
                r.collection = r.collection || is(x, kDav, "collection");
                r.addressBook = r.addressBook || is(x, kCard, "addressbook");
                x.skipCurrentElement();
            }
        } else if (is(x, kDav, "displayname")) {
            r.displayName = textOf(x);
        } else if (is(x, kDav, "current-user-principal") || is(x, kCard, "addressbook-home-set")) {
            QString& to = is(x, kDav, "current-user-principal") ? r.principal : r.home;
            while (x.readNextStartElement()) {
                if (is(x, kDav, "href") && to.isEmpty())
                    to = textOf(x);
                else
                    x.skipCurrentElement();
            }
        } else if (is(x, kDav, "supported-report-set")) {
            readReports(x, r.reports);
        } else {
            x.skipCurrentElement();
        }
    }
}

void readResponse(QXmlStreamReader& x, DavResponse& r) {
    while (x.readNextStartElement()) {
        if (is(x, kDav, "href")) {
            r.href = textOf(x);
        } else if (is(x, kDav, "status")) {
            r.status = statusOf(textOf(x));
        } else if (is(x, kDav, "propstat")) {
            // Properties the server does not have come in a 404 propstat.
            DavResponse props;
            int status = 0;
            while (x.readNextStartElement()) {
                if (is(x, kDav, "prop"))
                    readProp(x, props);
                else if (is(x, kDav, "status"))
                    status = statusOf(textOf(x));
                else
                    x.skipCurrentElement();
            }
            if (status / 100 != 2) continue;
            if (!props.etag.isEmpty()) r.etag = props.etag;
            if (!props.contentType.isEmpty()) r.contentType = props.contentType;
            if (!props.syncToken.isEmpty()) r.syncToken = props.syncToken;
            if (!props.displayName.isEmpty()) r.displayName = props.displayName;
            if (!props.principal.isEmpty()) r.principal = props.principal;
            if (!props.home.isEmpty()) r.home = props.home;
            if (props.addressData) r.addressData = props.addressData;
            r.collection = r.collection || props.collection;
            r.addressBook = r.addressBook || props.addressBook;
            r.reports += props.reports;
        } else {
            x.skipCurrentElement();
        }
    }
}

std::optional<Multistatus> parseMultistatus(const QByteArray& xml, QString& error) {
    QXmlStreamReader x(xml);
    Multistatus out;
    if (x.readNextStartElement() && is(x, kDav, "multistatus")) {
        while (x.readNextStartElement()) {
            if (is(x, kDav, "response")) {
                out.responses.emplace_back();
                readResponse(x, out.responses.back());
            } else if (is(x, kDav, "sync-token")) {
                out.syncToken = textOf(x);
            } else {
                x.skipCurrentElement();
            }
        }
    } else if (!x.hasError()) {
        x.raiseError(QStringLiteral("no es un multistatus de WebDAV"));
    }
    if (x.hasError()) {
        error = xmlProblem(x);
        return std::nullopt;
    }
    return out;
}

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

QString sslReason(const QList<QSslError>& errors) {
    for (const QSslError& e : errors) {
        switch (e.error()) {
            case QSslError::SelfSignedCertificate:
            case QSslError::SelfSignedCertificateInChain:
                return QStringLiteral("su certificado está firmado por él mismo");
            case QSslError::UnableToGetLocalIssuerCertificate:
            case QSslError::UnableToGetIssuerCertificate:
            case QSslError::UnableToVerifyFirstCertificate:
            case QSslError::CertificateUntrusted:
                return QStringLiteral(
                    "su certificado lo firma una autoridad que este equipo no conoce");
            case QSslError::CertificateExpired:
                return QStringLiteral("su certificado ha caducado");
            case QSslError::CertificateNotYetValid:
                return QStringLiteral("su certificado aún no es válido");
            case QSslError::HostNameMismatch:
                return QStringLiteral("su certificado es de otro nombre de servidor");
            case QSslError::CertificateRevoked:
                return QStringLiteral("su certificado está revocado");
            default:
                break;
        }
    }
    return QStringLiteral("su certificado no es válido");
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
    QUrl url;
    int status = 0;
    QString reason;
    QByteArray body;
    QByteArray etag;
    QUrl location;  // of a redirect
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QList<QSslError> sslErrors;
    bool timedOut = false;
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

CardDavClient::Reply CardDavClient::send(const QByteArray& verb, const QUrl& url,
                                         const QList<QPair<QByteArray, QByteArray>>& headers,
                                         const QByteArray& body, const DavProgress& progress) {
    QNetworkRequest request(url);
    if (!options_.user.isEmpty()) {
        // Sent with the first request rather than after a 401: half the round trips.
        QByteArray pair = (options_.user + QLatin1Char(':') + options_.password).toUtf8();
        request.setRawHeader("Authorization", "Basic " + pair.toBase64());
    }
    request.setRawHeader("User-Agent", "Orvane");
    for (const auto& [name, value] : headers) request.setRawHeader(name, value);
    // A redirect elsewhere would take the password with it.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         manualRedirects_ ? QNetworkRequest::ManualRedirectPolicy
                                          : QNetworkRequest::SameOriginRedirectPolicy);
    if (url.scheme() == QLatin1String("https")) request.setSslConfiguration(net_->ssl);

    Reply out;
    out.url = url;
    std::unique_ptr<QNetworkReply> owned(net_->manager.sendCustomRequest(request, verb, body));
    QNetworkReply* reply = owned.get();
    QEventLoop loop;
    QTimer silence;
    silence.setSingleShot(true);
    silence.setInterval(options_.timeoutMs);
    QObject::connect(&silence, &QTimer::timeout, reply, [&] {
        out.timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [&](qint64 done, qint64 total) {
                         silence.start();
                         if (progress) progress(done, total);
                     });
    QObject::connect(reply, &QNetworkReply::uploadProgress, reply, [&] { silence.start(); });
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [&](const QList<QSslError>& errors) { out.sslErrors = errors; });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    silence.start();
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);

    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    if (reply->isOpen()) out.body = reply->readAll();
    out.etag = reply->rawHeader("ETag");
    if (reply->hasRawHeader("Location"))
        out.location = url.resolved(QUrl(QString::fromUtf8(reply->rawHeader("Location"))));
    out.error = reply->error();
    // A connection that broke off leaves whatever status line came before
    // the cut: an answer cut inside its headers or body is no answer.
    if (brokeOff(out.error)) out.status = 0;
    return out;
}

DavError CardDavClient::errorOf(const Reply& r) const {
    const QString where = r.url.toDisplayString(QUrl::RemoveUserInfo);
    const QString server =
        r.url.host() + (r.url.port() > 0 ? QStringLiteral(":%1").arg(r.url.port()) : QString());
    auto error = [&](DavErrorKind kind, const QString& message) {
        return DavError{kind, r.status, message};
    };
    if (r.timedOut)
        return error(DavErrorKind::Timeout,
                     QStringLiteral("El servidor %1 no ha respondido en %2 s.")
                         .arg(server)
                         .arg(options_.timeoutMs / 1000.0));
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
    if (!r.sslErrors.isEmpty() || r.error == QNetworkReply::SslHandshakeFailedError)
        return error(DavErrorKind::Tls,
                     QStringLiteral("Conexión segura con %1 rechazada: %2.")
                         .arg(server, r.sslErrors.isEmpty() ? networkProblem(r.error)
                                                            : sslReason(r.sslErrors)));
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

std::optional<Multistatus> CardDavClient::multistatus(const QByteArray& verb, const char* depth,
                                                      const QByteArray& body,
                                                      const DavProgress& progress,
                                                      DavError& error) {
    QList<QPair<QByteArray, QByteArray>> headers = kXml;
    if (depth) headers.emplace_back("Depth", depth);
    Reply reply = send(verb, options_.collection, headers, body, progress);
    if (reply.status != 207) {
        error = errorOf(reply);
        if (reply.status / 100 == 2) error.message = notAnAddressBook();  // a web page, say
        return std::nullopt;
    }
    QString why;
    std::optional<Multistatus> ms = parseMultistatus(reply.body, why);
    if (!ms)
        error = {DavErrorKind::Protocol, reply.status,
                 QStringLiteral("La respuesta del servidor no se puede leer: %1.").arg(why)};
    return ms;
}

QString CardDavClient::notAnAddressBook() const {
    return QStringLiteral("%1 no es una libreta de direcciones CardDAV.")
        .arg(options_.collection.toDisplayString(QUrl::RemoveUserInfo));
}

bool CardDavClient::isCollection(const QString& href) const {
    return pathKey(options_.collection, href) ==
           pathKey(options_.collection, options_.collection.path());
}

DavResult<Listing> CardDavClient::list(const DavProgress& progress) {
    if (setupError_.failed()) return {{}, setupError_};
    // First the collection alone, which is quick: is it an address book, and
    // how may its cards be listed.
    DavResult<Listing> out;
    std::optional<Multistatus> ms =
        multistatus("PROPFIND", "0", xmlBody([](QXmlStreamWriter& w) {
                        w.writeStartElement(kDav, QStringLiteral("propfind"));
                        writeProps(w, {{kDav, "resourcetype"}, {kDav, "supported-report-set"}});
                        w.writeEndElement();
                    }),
                    {}, out.error);
    if (!ms) return out;
    auto self = std::find_if(ms->responses.begin(), ms->responses.end(),
                             [&](const DavResponse& r) { return isCollection(r.href); });
    if (self == ms->responses.end() || !self->addressBook)
        return {{}, {DavErrorKind::NotFound, 207, notAnAddressBook()}};
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
            return out;
        }
        if (!tokenRefused(all.error)) return {{}, all.error};
    }
    ms = multistatus("PROPFIND", "1", xmlBody([](QXmlStreamWriter& w) {
                         w.writeStartElement(kDav, QStringLiteral("propfind"));
                         writeProps(w, {{kDav, "resourcetype"},
                                        {kDav, "getetag"},
                                        {kDav, "getcontenttype"},
                                        {kDav, "sync-token"}});
                         w.writeEndElement();
                     }),
                     progress, out.error);
    if (!ms) return {{}, out.error};
    for (const DavResponse& r : ms->responses) {
        if (isCollection(r.href))
            out.value.syncToken = out.value.syncCollection ? r.syncToken : QString();
        else if (!r.collection && r.status / 100 != 4 && isCardType(r.contentType))
            out.value.cards.push_back({r.href, r.etag, r.contentType});
    }
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
    // A server may answer in parts (507 on the collection): ask again from
    // the token it gave until it has said everything.
    for (bool more = true; more;) {
        DavError error;
        std::optional<Multistatus> ms = multistatus(
            "REPORT", "0", xmlBody([&](QXmlStreamWriter& w) {
                w.writeStartElement(kDav, QStringLiteral("sync-collection"));
                w.writeTextElement(kDav, QStringLiteral("sync-token"), token);
                w.writeTextElement(kDav, QStringLiteral("sync-level"), QStringLiteral("1"));
                writeProps(w, {{kDav, "getetag"}, {kDav, "getcontenttype"}});
                w.writeEndElement();
            }),
            progress, error);
        if (!ms) return {{}, error};
        more = false;
        for (DavResponse& r : ms->responses) {
            if (isCollection(r.href))
                more = more || r.status == 507;
            else if (r.status == 404)
                news.emplace_back(r.href, std::nullopt);
            else if (!r.collection && isCardType(r.contentType))
                news.emplace_back(r.href, CardInfo{r.href, r.etag, r.contentType});
        }
        if (ms->syncToken.isEmpty() || ms->syncToken == token) break;
        token = ms->syncToken;
    }
    DavResult<Changes> out;
    out.value.syncToken = token;
    out.value.full = syncToken.isEmpty();
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
    return {{all.value.syncToken, true, std::move(all.value.cards), {}}, {}};
}

DavResult<Fetched> CardDavClient::fetch(const QStringList& hrefs, const DavProgress& progress) {
    DavResult<Fetched> out;
    if (setupError_.failed()) return {{}, setupError_};
    if (query_ && hrefs.size() >= 4 * std::max(1, options_.multigetBatch)) {
        DavError error;
        std::optional<Multistatus> ms =
            multistatus("REPORT", "1", xmlBody([&](QXmlStreamWriter& w) {
                            w.writeStartElement(kCard, QStringLiteral("addressbook-query"));
                            writeProps(w, {{kDav, "getetag"}, {kCard, "address-data"}});
                            w.writeEndElement();
                        }),
                        {}, error);
        if (ms) {
            QHash<QString, QString> asked;
            for (const QString& href : hrefs)
                asked.insert(pathKey(options_.collection, href), href);
            for (DavResponse& r : ms->responses) {
                auto it = asked.find(pathKey(options_.collection, r.href));
                if (it == asked.end() || !r.addressData || r.status / 100 == 4) continue;
                out.value.cards.push_back({it.value(), r.etag, r.addressData->toUtf8()});
                asked.erase(it);
            }
            // What the query left out (a server may cap its answers) comes by multiget.
            DavResult<Fetched> rest = fetchEach(QStringList(asked.begin(), asked.end()), {});
            if (!rest.ok()) return rest;
            for (Card& c : rest.value.cards) out.value.cards.push_back(std::move(c));
            out.value.missing = rest.value.missing;
            if (progress) progress(hrefs.size(), hrefs.size());
            return out;
        }
        if (!tokenRefused(error) && error.httpStatus != 404 && error.httpStatus != 415)
            return {{}, error};
        query_ = false;
    }
    return fetchEach(hrefs, progress);
}

DavResult<Fetched> CardDavClient::fetchEach(const QStringList& hrefs, const DavProgress& progress) {
    DavResult<Fetched> out;
    const qsizetype batch = std::max(1, options_.multigetBatch);
    for (qsizetype start = 0; start < hrefs.size(); start += batch) {
        const QStringList part = hrefs.mid(start, batch);
        std::optional<Multistatus> ms =
            multistatus("REPORT", nullptr, xmlBody([&](QXmlStreamWriter& w) {
                            w.writeStartElement(kCard, QStringLiteral("addressbook-multiget"));
                            writeProps(w, {{kDav, "getetag"}, {kCard, "address-data"}});
                            for (const QString& href : part)
                                w.writeTextElement(kDav, QStringLiteral("href"), href);
                            w.writeEndElement();
                        }),
                        {}, out.error);
        if (!ms) return {{}, out.error};
        // The answer may spell an href otherwise (a full URL, other escapes):
        // the caller gets back the spelling it asked for.
        QHash<QString, QString> asked;
        for (const QString& href : part) asked.insert(pathKey(options_.collection, href), href);
        for (DavResponse& r : ms->responses) {
            auto it = asked.find(pathKey(options_.collection, r.href));
            if (it == asked.end()) continue;
            if (r.addressData && r.status / 100 != 4)
                out.value.cards.push_back({it.value(), r.etag, r.addressData->toUtf8()});
            else
                out.value.missing << it.value();
            asked.erase(it);
        }
        for (const QString& href : std::as_const(asked)) out.value.missing << href;
        if (progress) progress(start + part.size(), hrefs.size());
    }
    return out;
}

DavResult<QString> CardDavClient::put(const QString& href, const QByteArray& vcard,
                                      const QString& etag) {
    if (setupError_.failed()) return {{}, setupError_};
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
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!etag.isEmpty()) headers.emplace_back("If-Match", etag.toUtf8());
    Reply reply = send("DELETE", urlOf(href), headers, {});
    return reply.status / 100 == 2 ? DavError{} : errorOf(reply);
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

std::optional<Multistatus> CardDavClient::propfindAt(QUrl& url, const char* depth,
                                                     const QByteArray& body, DavError& error) {
    QList<QPair<QByteArray, QByteArray>> headers = kXml;
    headers.emplace_back("Depth", depth);
    for (int hops = 0; hops < 5; ++hops) {
        manualRedirects_ = true;
        Reply reply = send("PROPFIND", url, headers, body);
        manualRedirects_ = false;
        const bool redirect = reply.status == 301 || reply.status == 302 || reply.status == 303 ||
                              reply.status == 307 || reply.status == 308;
        if (redirect && reply.location.isValid()) {
            // The password goes only where it went before (or there over https).
            const QUrl to = reply.location;
            if (to.host() != url.host() ||
                (to.scheme() != url.scheme() && to.scheme() != QLatin1String("https"))) {
                error = {DavErrorKind::Protocol, reply.status,
                         QStringLiteral("%1 lleva a otro servidor (%2): use esa dirección si "
                                        "es de confianza.")
                             .arg(url.toDisplayString(QUrl::RemoveUserInfo),
                                  to.toDisplayString(QUrl::RemoveUserInfo))};
                return std::nullopt;
            }
            url = to;
            continue;
        }
        if (reply.status != 207) {
            error = errorOf(reply);
            return std::nullopt;
        }
        QString why;
        std::optional<Multistatus> ms = parseMultistatus(reply.body, why);
        if (!ms)
            error = {DavErrorKind::Protocol, reply.status,
                     QStringLiteral("La respuesta del servidor no se puede leer: %1.").arg(why)};
        return ms;
    }
    error = {DavErrorKind::Protocol, 0,
             QStringLiteral("%1 redirige demasiadas veces.")
                 .arg(url.toDisplayString(QUrl::RemoveUserInfo))};
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
        if (!r.displayName.isEmpty()) return r.displayName;
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
        } else if (!me->principal.isEmpty()) {
            QUrl principal = start.resolved(QUrl(me->principal));
            std::optional<Multistatus> pm = propfindAt(principal, "0", props, error);
            std::optional<DavResponse> p = pm ? self(*pm, principal) : std::nullopt;
            if (p && !p->home.isEmpty()) home = principal.resolved(QUrl(p->home));
            if (!p && error.kind == DavErrorKind::Authentication) return {{}, error};
        }
        if (!home.isValid() && me->collection) home = start;  // a folder of address books
        if (!home.isValid()) continue;
        home = asFolder(home);
        std::optional<Multistatus> books = propfindAt(home, "1", props, error);
        if (!books) {
            if (error.kind == DavErrorKind::Authentication) return {{}, error};
            continue;
        }
        std::vector<AddressBookInfo> found;
        for (const DavResponse& r : books->responses) {
            if (!r.addressBook || r.status / 100 == 4) continue;
            const QUrl url = asFolder(home.resolved(QUrl(r.href)));
            found.push_back({url, nameOf(r, url)});
        }
        if (!found.empty()) {
            std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
                return a.url.toString() < b.url.toString();
            });
            return {std::move(found), {}};
        }
    }
    if (first.failed() && !bare) return {{}, first};
    return {{},
            {DavErrorKind::NotFound, first.httpStatus,
             QStringLiteral("No se encuentra ninguna libreta de direcciones en %1.")
                 .arg(given.toDisplayString(QUrl::RemoveUserInfo))}};
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
