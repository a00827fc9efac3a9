#include "davserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

namespace rt {

QStringList davServers() {
    const QString only = qEnvironmentVariable("ORV_DAV_SERVERS");
    return only.isEmpty() ? QStringList{"radicale", "xandikos"}
                          : only.split(',', Qt::SkipEmptyParts);
}

QString DavServer::start() {
    if (!xandikos()) {
        radicale_ = std::make_unique<Radicale>();
        return radicale_->start();
    }
    if (!dir_.isValid()) return QStringLiteral("no temporary folder");
    // A port found free may be taken before xandikos binds it: try again.
    QString why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = freePort();
        proc_.setProcessChannelMode(QProcess::MergedChannels);
        proc_.start("xandikos", {"-d", dir_.path(), "--autocreate", "--current-user-principal",
                                 "/ana/", "-l", "127.0.0.1", "-p", QString::number(port_)});
        if (!proc_.waitForStarted(10000))
            return QStringLiteral("xandikos does not start (is it installed? scripts/deps.sh)");
        for (int i = 0; i < 150 && proc_.state() == QProcess::Running; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port_);
            if (probe.waitForConnected(100)) return {};
            QTest::qWait(100);
        }
        why = QString::fromLocal8Bit(proc_.readAll());
        stop();
    }
    return "xandikos did not listen: " + why;
}

void DavServer::stop() {
    if (radicale_) radicale_->stop();
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.terminate();
    if (!proc_.waitForFinished(5000)) {
        proc_.kill();
        proc_.waitForFinished(5000);
    }
}

quint16 DavServer::port() const {
    return radicale_ ? radicale_->port() : port_;
}

QUrl DavServer::url(const QString& path) const {
    if (radicale_) return radicale_->url(path);
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path));
}

QString DavServer::bookFolder(const QString& name) const {
    if (radicale_) return radicale_->storage() + "/collection-root/ana/" + name;
    return dir_.filePath("ana/contacts/" + name);
}

}  // namespace rt
