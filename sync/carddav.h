#pragma once
// A CardDAV client for one address book collection: list its cards, find
// what changed since a sync token, fetch cards in batches, write and delete
// them on the condition that they did not change meanwhile.
//
// Every call is synchronous: it runs a local event loop until the server
// answers or stays silent for the timeout, so it needs a QCoreApplication but
// no running loop. Failures come back as a kind and a message for the user.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

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

struct Card {
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
};

struct Changes {
    QString syncToken;
    // True when `changed` lists every card of the collection (no token was
    // given, or the server no longer knew it): a card not in it is gone.
    bool full = false;
    std::vector<CardInfo> changed;  // new or changed since the token
    QStringList removed;            // hrefs deleted since the token
};

struct Fetched {
    std::vector<Card> cards;
    QStringList missing;  // asked for but no longer on the server
};

struct CardDavOptions {
    QUrl collection;  // the address book, e.g. https://host/dav/ana/contactos/
    QString user;
    QString password;
    QString caFile;         // a PEM certificate trusted beside the system's; empty: none
    int timeoutMs = 30000;  // silence that ends a request
    int multigetBatch = 100;
};

// An address book found on the server.
struct AddressBookInfo {
    QUrl url;
    QString name;  // its displayname, else the last part of its address
};

// `done` out of `total`: bytes of a listing (total -1 while unknown) or cards
// of a fetch.
using DavProgress = std::function<void(qint64 done, qint64 total)>;

namespace detail {
struct Multistatus;
}

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
    // DELETE with If-Match: etag (unconditional when empty).
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
    const CardDavOptions& options() const { return options_; }

  private:
    struct Reply;
    Reply send(const QByteArray& verb, const QUrl& url,
               const QList<QPair<QByteArray, QByteArray>>& headers, const QByteArray& body,
               const DavProgress& progress = {});
    DavError errorOf(const Reply& reply) const;
    // A request on the collection whose answer must be a 207 multistatus.
    std::optional<detail::Multistatus> multistatus(const QByteArray& verb, const char* depth,
                                                   const QByteArray& body,
                                                   const DavProgress& progress, DavError& error);
    // PROPFIND on `url`, following redirects on the same host; `url`
    // becomes where the answer came from.
    std::optional<detail::Multistatus> propfindAt(QUrl& url, const char* depth,
                                                  const QByteArray& body, DavError& error);
    DavResult<Fetched> fetchEach(const QStringList& hrefs, const DavProgress& progress);
    DavResult<Changes> syncCollection(const QString& syncToken, const DavProgress& progress);
    static bool tokenRefused(const DavError& error);
    bool isCollection(const QString& href) const;
    QString notAnAddressBook() const;
    QUrl urlOf(const QString& href) const;

    CardDavOptions options_;
    struct Net;
    std::unique_ptr<Net> net_;
    DavError setupError_;  // the CA file could not be read
    bool manualRedirects_ = false;
    bool query_ = false;  // list() found addressbook-query offered
};

}  // namespace orv::sync
