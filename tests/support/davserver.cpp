#include "davserver.h"

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
    return startListening(
        proc_, "xandikos",
        [this](quint16 port) {
            return QStringList{
                "-d", dir_.path(), "--autocreate", "--current-user-principal", "/ana/",
                "-l", "127.0.0.1", "-p",           QString::number(port)};
        },
        port_);
}

void DavServer::stop() {
    if (radicale_) radicale_->stop();
    stopProcess(proc_);
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
