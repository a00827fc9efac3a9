#pragma once
// A CardDAV client for one address book collection: list its cards, find
// what changed since a sync token, fetch cards in batches, write and delete
// them on the condition that they did not change meanwhile.
//
// Every call is synchronous: it runs a local event loop until the server
// answers or stays silent for the timeout, so it needs a QCoreApplication but
// no running loop. Failures come back as a kind and a message for the user.
//
// The server is a stranger: every request goes to the origin (scheme, host,
// port) of the collection, an href is only ever a path there (one elsewhere,
// or outside the collection, is refused and named), no redirect to another
// origin is followed, every answer is read against DavLimits while it
// arrives, and a certificate the system does not trust is taken only when
// it is the one the user accepted (pinnedFingerprint).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sync/limits.h"

namespace orv::sync {

enum class DavErrorKind {
    None,
    Authentication,      // 401, 403: wrong user or password, or no access
    NotFound,            // 404, or the address is no address book
    PreconditionFailed,  // 412: the card changed on the server meanwhile
    ServerError,         // 5xx
    Timeout,             // the server stayed silent for the timeout
    Tls,                 // certificate refused, or the extra CA file unreadable
    ServerDown,          // connection refused, host not found or unreachable
    Network,             // the connection broke off
    Protocol,            // any other status, or an answer that cannot be read
};

struct DavError {
    DavErrorKind kind = DavErrorKind::None;
    int httpStatus = 0;  // 0 when no answer came
    QString message;     // in Spanish, for the user
    // A certificate refused: the SHA-256 fingerprint it has, and the one
    // accepted before when it changed (else empty).
    QString fingerprint{}, oldFingerprint{};
    bool failed() const { return kind != DavErrorKind::None; }
};

template <class T>
struct DavResult {
    T value{};
    DavError error;
    bool ok() const { return !error.failed(); }
};

struct CardInfo {
    QString href;  // as the server wrote it (normally an absolute path)
    QString etag;  // quoted, as the server wrote it; empty when it gave none
    QString contentType;
};

struct DavCard {
    QString href;
    QString etag;
    QByteArray vcard;  // UTF-8
};

struct Listing {
    QString syncToken;            // empty when the server keeps none
    bool syncCollection = false;  // offers REPORT sync-collection
    bool multiget = false;        // offers REPORT addressbook-multiget
    bool query = false;           // offers REPORT addressbook-query
    std::vector<CardInfo> cards;
    QStringList refused;  // hrefs elsewhere (another origin, outside the collection)
};

struct Changes {
    QString syncToken;
    // True when `changed` lists every card of the collection (no token was
    // given, or the server no longer knew it): a card not in it is gone.
    bool full = false;
    std::vector<CardInfo> changed;  // new or changed since the token
    QStringList removed;            // hrefs deleted since the token
    QStringList refused;            // hrefs elsewhere, neither followed nor listed
};

struct Fetched {
    std::vector<DavCard> cards;
    QStringList missing;   // asked for but no longer on the server
    QStringList tooLarge;  // larger than DavLimits::cardBytes: left out
    QStringList deferred;  // past DavLimits::syncCardBytes: for the next sync
};

struct CardDavOptions {
    QUrl collection;  // the address book, e.g. https://host/dav/ana/contactos/
    QString user;
    QString password;
    QString caFile;         // a PEM certificate trusted beside the system's; empty: none
    int timeoutMs = 30000;  // silence that ends a request
    int multigetBatch = 100;
    DavLimits limits{};
    // The SHA-256 fingerprint of the certificate the user accepted for this
    // origin (sync/trust.h); empty: only what the system trusts.
    QString pinnedFingerprint{};
};

// An address book found on the server.
struct AddressBookInfo {
    QUrl url;
    QString name;  // its displayname, else the last part of its address
    // On another origin than the one asked: named, never used (its address
    // must be given by the user to be synced).
    bool elsewhere = false;
};

// `done` out of `total`: bytes of a listing (total -1 while unknown) or cards
// of a fetch.
using DavProgress = std::function<void(qint64 done, qint64 total)>;

namespace detail {
struct DavResponse;
struct Multistatus;
}  // namespace detail

// Same scheme, host and port (a missing port is the scheme's own).
bool sameOrigin(const QUrl& a, const QUrl& b);

class CardDavClient {
  public:
    explicit CardDavClient(CardDavOptions options);
    ~CardDavClient();
    CardDavClient(const CardDavClient&) = delete;
    CardDavClient& operator=(const CardDavClient&) = delete;

    // Every card with its ETag, the collection's sync token (where it offers
    // sync-collection) and reports; fails with NotFound unless the collection
    // is an address book.
    DavResult<Listing> list(const DavProgress& progress = {});
    // REPORT sync-collection from `syncToken`; an empty token, or one the
    // server refuses (403, 409), gives the full listing instead.
    DavResult<Changes> changesSince(const QString& syncToken, const DavProgress& progress = {});
    // REPORT addressbook-multiget, `multigetBatch` hrefs a request; many
    // cards of a collection that offers addressbook-query (as list() found)
    // come in one query for every card instead: some servers (xandikos) look
    // each href up on its own, a query reads the collection once.
    DavResult<Fetched> fetch(const QStringList& hrefs, const DavProgress& progress = {});
    // PUT with If-Match: etag, or If-None-Match: * when etag is empty (a new
    // card). The value is the card's new ETag, empty when the server gave
    // none (it changed the card: fetch it again). A card changed or created
    // meanwhile fails with PreconditionFailed.
    DavResult<QString> put(const QString& href, const QByteArray& vcard, const QString& etag);
    // DELETE with If-Match: etag (unconditional when empty). Only a card of
    // the collection, or the collection itself.
    DavError remove(const QString& href, const QString& etag);
    // The user's address books, from options().collection taken as the
    // server's address: /.well-known/carddav, the current user's principal,
    // its addressbook-home-set, and the address books in it. An address
    // book's own address, a principal's or a home's work as well.
    DavResult<std::vector<AddressBookInfo>> discover();
    // Extended MKCOL of an address book at the collection's address.
    DavError createAddressBook(const QString& displayName);

    // Where a new card with this UID goes in the collection.
    QString hrefForUid(const QString& uid) const;
    // The path of a card directly inside the collection, on its origin, as
    // `href` names it (an absolute path, a relative one or a full address);
    // nullopt for anything else: another origin, a path outside the
    // collection or walking out of it ("..", an encoded '/'), a query.
    std::optional<QString> memberPath(const QString& href) const;
    const CardDavOptions& options() const { return options_; }

  private:
    struct Reply;
    using Sink = std::function<bool(const char* data, qsizetype size)>;
    // One request on the collection's origin. A 207's body goes to `sink` as
    // it arrives (when given); any other body is kept up to the limit.
    Reply send(const QByteArray& verb, const QUrl& url,
               const QList<QPair<QByteArray, QByteArray>>& headers, const QByteArray& body,
               const DavProgress& progress = {}, const Sink& sink = {}, qint64 limit = 0);
    DavError errorOf(const Reply& reply) const;
    // A request on `url` whose answer must be a 207 multistatus, each of its
    // responses handed to `onResponse` as it arrives (false stops it, with
    // its reason in `why`); returns the sync token it ends with.
    std::optional<QString> multistatus(
        const QByteArray& verb, const QUrl& url, const char* depth, const QByteArray& body,
        const DavProgress& progress, DavError& error,
        const std::function<bool(detail::DavResponse&, QString& why)>& onResponse,
        qint64 limit = 0);
    std::optional<detail::Multistatus> collect(const QByteArray& verb, const QUrl& url,
                                               const char* depth, const QByteArray& body,
                                               const DavProgress& progress, DavError& error);
    // PROPFIND on `url`, following redirects on the same origin; `url`
    // becomes where the answer came from.
    std::optional<detail::Multistatus> propfindAt(QUrl& url, const char* depth,
                                                  const QByteArray& body, DavError& error);
    // Refuses, with a message naming both, an address a server gave on another origin.
    bool keepsOrigin(const QUrl& url, const QUrl& from, DavError& error) const;
    DavResult<Fetched> fetchEach(const QStringList& hrefs, const DavProgress& progress);
    DavResult<Changes> syncCollection(const QString& syncToken, const DavProgress& progress);
    // Keeps a fetched card unless it is too large or the sync's cards are
    // full; false when full.
    bool takeCard(detail::DavResponse& r, const QString& asked, Fetched& out);
    QString tooMany() const;
    DavError outside(const QString& href) const;
    static bool tokenRefused(const DavError& error);
    bool isCollection(const QString& href) const;
    QString notAnAddressBook() const;
    QUrl urlOf(const QString& href) const;

    CardDavOptions options_;
    struct Net;
    std::unique_ptr<Net> net_;
    DavError setupError_;     // the CA file could not be read
    QString base_;            // the collection's path, encoded
    bool plainBase_ = false;  // a plain name after base_ is a member as it stands
    bool query_ = false;      // list() found addressbook-query offered
    qint64 started_ = 0;      // ms since the epoch, at the first request: the sync's deadline
    qint64 cardBytes_ = 0;    // of the cards fetched so far
};

}  // namespace orv::sync
