#pragma once
// A CardDAV server made to harm, for tests: radicale behind a fault proxy
// that turns its answers hostile, one mode a fault, and two more proxies
// standing for other origins (127.0.0.2, and another port of 127.0.0.1)
// that forward to the same radicale and count every request reaching them.
// Loopback only; every answer it makes ends by itself.

#include <QString>
#include <QUrl>
#include <memory>

#include "support/faultproxy.h"
#include "support/radicale.h"

namespace rt {

enum class Hostile {
    None,
    ForeignHrefs,  // cards listed at http://127.0.0.2:PORT/…
    ForeignHome,   // the principal and address-book home on 127.0.0.2
    RedirectPort,  // every PROPFIND redirected to another port
    DeepXml,       // 100,000 elements nested in a displayname
    HugeAnswer,    // a listing of 1 GiB
    MillionHrefs,  // a listing of 1,000,000 cards
    Trickle,       // ten bytes every 100 ms
    Endless507,    // "there is more" with a new token, every time
    OutsideHrefs,  // cards listed outside the address book
    Escapes,       // a reason phrase that drives a terminal
};

// The HTTP message with another body, its Content-Length set anew.
QByteArray withBody(const QByteArray& response, const QByteArray& body);

class HostileServer {
  public:
    // Empty on success, else what went wrong.
    QString start();
    // `book`: the address book's path, which some modes need.
    void setMode(Hostile mode, const QString& book = {});

    QUrl url(const QString& path) const { return proxy_->url(radicale_.url(path)); }
    QUrl direct(const QString& path) const { return radicale_.url(path); }
    QUrl elsewhere(const QString& path) const { return elsewhere_->url(radicale_.url(path)); }
    QUrl otherPort(const QString& path) const { return otherPort_->url(radicale_.url(path)); }
    // Requests that reached another origin since the last forget(), and
    // those of them with a password.
    int requestsElsewhere() const;
    int passwordsElsewhere() const;
    void forget();
    const FaultProxy& proxy() const { return *proxy_; }

  private:
    Radicale radicale_;
    std::unique_ptr<FaultProxy> proxy_, elsewhere_, otherPort_;
    int requestsBefore_ = 0, passwordsBefore_ = 0;
};

}  // namespace rt
