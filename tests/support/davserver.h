#pragma once
// A CardDAV server of its own for tests, on a free loopback port with its
// storage in a temporary folder: Debian's radicale (user and password) or
// xandikos (which asks none). Tests run against every server
// davServers() names: both, unless ORV_DAV_SERVERS narrows it
// (ORV_DAV_SERVERS=xandikos).

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <memory>

#include "support/radicale.h"

namespace rt {

QStringList davServers();

class DavServer {
  public:
    explicit DavServer(QString kind) : kind_(std::move(kind)) {}
    ~DavServer() { stop(); }

    // Empty on success, else what went wrong.
    QString start();
    void stop();

    const QString& kind() const { return kind_; }
    bool xandikos() const { return kind_ == QLatin1String("xandikos"); }
    // The user and password it asks (xandikos: none).
    QString user() const { return xandikos() ? QString() : kUser; }
    QString password() const { return xandikos() ? QString() : kPassword; }
    QUrl url(const QString& path) const;
    // Where the user's address books live, and the address of one by name.
    QString homePath() const { return xandikos() ? "/ana/contacts/" : "/ana/"; }
    QUrl bookUrl(const QString& name) const { return url(homePath() + name + "/"); }
    // The folder holding the address book `name`'s card files.
    QString bookFolder(const QString& name) const;
    quint16 port() const;

  private:
    QString kind_;
    std::unique_ptr<Radicale> radicale_;
    QTemporaryDir dir_;
    QProcess proc_;
    quint16 port_ = 0;
};

}  // namespace rt
