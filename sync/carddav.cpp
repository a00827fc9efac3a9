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

#include "sync/davhttp.h"
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

// A PROPFIND asking for these properties.
QByteArray propfindBody(std::initializer_list<std::pair<QString, const char*>> props) {
    return xmlBody([&](QXmlStreamWriter& w) {
        w.writeStartElement(kDav, QStringLiteral("propfind"));
        writeProps(w, props);
        w.writeEndElement();
    });
}

const QList<QPair<QByteArray, QByteArray>> kXml = {
    {"Content-Type", "application/xml; charset=utf-8"}};

}  // namespace

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
    std::optional<Multistatus> ms = collect(
        "PROPFIND", options_.collection, "0",
        propfindBody({{kDav, "resourcetype"}, {kDav, "supported-report-set"}}), {}, out.error);
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
        "PROPFIND", options_.collection, "1",
        propfindBody({{kDav, "resourcetype"},
                      {kDav, "getetag"},
                      {kDav, "getcontenttype"},
                      {kDav, "sync-token"}}),
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
            for (DavCard& c : more.value.cards) out.value.cards.push_back(std::move(c));
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
    const QByteArray props = propfindBody({{kDav, "resourcetype"},
                                           {kDav, "displayname"},
                                           {kDav, "current-user-principal"},
                                           {kCard, "addressbook-home-set"}});
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
