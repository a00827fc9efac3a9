#include "faultproxy.h"

#include <QFile>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>

#include "support/radicale.h"

namespace rt {

const char* faultName(Fault f) {
    switch (f) {
        case Fault::None:
            return "none";
        case Fault::ResetBefore:
            return "reset before";
        case Fault::ResetAfter:
            return "reset after";
        case Fault::CutHeaders:
            return "cut in headers";
        case Fault::CutBody:
            return "cut in body";
        case Fault::Status500:
            return "500";
        case Fault::Status503:
            return "503";
        case Fault::Delay:
            return "delay";
    }
    return "?";
}

namespace {

// The request's length once complete (headers and Content-Length body), else -1.
qsizetype completeLength(const QByteArray& data) {
    const qsizetype end = data.indexOf("\r\n\r\n");
    if (end < 0) return -1;
    qsizetype length = 0;
    for (const QByteArray& line : data.left(end).split('\n')) {
        const QByteArray l = line.trimmed();
        if (l.toLower().startsWith("content-length:")) length = l.mid(15).trimmed().toLongLong();
    }
    return data.size() >= end + 4 + length ? end + 4 + length : -1;
}

// The message with its Connection header set to close: one request a
// connection, so that each fault hits exactly one request.
QByteArray closing(const QByteArray& message) {
    const qsizetype end = message.indexOf("\r\n\r\n");
    if (end < 0) return message;
    QList<QByteArray> lines = message.left(end).split('\n');
    QByteArray head;
    for (const QByteArray& line : lines) {
        const QByteArray l = line.trimmed().toLower();
        if (l.startsWith("connection:") || l.startsWith("keep-alive:")) continue;
        head += line.endsWith('\r') ? line.chopped(1) : line;
        head += "\r\n";
    }
    return head + "Connection: close\r\n\r\n" + message.mid(end + 4);
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

FaultProxy::FaultProxy(quint16 serverPort, bool tls, const QHostAddress& listenOn)
    : serverPort_(serverPort), tls_(tls), listenOn_(listenOn) {
    if (tls_) {
        error_ = makeCertificate(certs_.path());
        auto ssl = std::make_unique<QSslServer>();
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(QSslCertificate(readAll(certFile())));
        config.setPrivateKey(QSslKey(readAll(certs_.filePath("key.pem")), QSsl::Ec));
        ssl->setSslConfiguration(config);
        server_ = std::move(ssl);
    } else {
        server_ = std::make_unique<QTcpServer>();
    }
    if (!server_->listen(listenOn_, 0) && error_.isEmpty()) error_ = server_->errorString();
    // Over TLS, a connection is pending once its handshake is done.
    QObject::connect(server_.get(), &QTcpServer::pendingConnectionAvailable, [this] {
        while (QTcpSocket* s = server_->nextPendingConnection()) serve(s);
    });
}

QUrl FaultProxy::url(QUrl direct) const {
    direct.setPort(port());
    direct.setScheme(tls_ ? "https" : "http");
    direct.setHost(listenOn_.toString());
    return direct;
}

QString FaultProxy::setCertificate(const QString& certFile, const QString& keyFile) {
    auto* ssl = qobject_cast<QSslServer*>(server_.get());
    const QSslCertificate cert(readAll(certFile));
    const QSslKey key(readAll(keyFile), QSsl::Ec);
    if (!ssl || cert.isNull() || key.isNull())
        return QStringLiteral("no TLS, or no such certificate");
    QSslConfiguration config = ssl->sslConfiguration();
    config.setLocalCertificate(cert);
    config.setPrivateKey(key);
    ssl->setSslConfiguration(config);
    return {};
}

void FaultProxy::serve(QTcpSocket* client) {
    auto buffer = std::make_shared<QByteArray>();
    QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    QObject::connect(client, &QTcpSocket::readyRead, client, [this, client, buffer] {
        *buffer += client->readAll();
        const qsizetype length = completeLength(*buffer);
        if (length < 0) return;
        const QByteArray request = buffer->left(length);
        buffer->clear();
        QObject::disconnect(client, &QTcpSocket::readyRead, nullptr, nullptr);
        const QList<QByteArray> first = request.left(request.indexOf("\r\n")).split(' ');
        const qsizetype headEnd = request.indexOf("\r\n\r\n");
        ProxiedRequest r{index_++, first.value(0), first.value(1),
                         request.left(headEnd).toLower().contains("\nauthorization:"),
                         request.mid(headEnd + 4)};
        log_.push_back(r);
        Fault fault = rule_ ? rule_(r) : Fault::None;
        if (fault == Fault::None && rate_ > 0 &&
            std::uniform_real_distribution<double>(0, 1)(random_) < rate_)
            fault = static_cast<Fault>(std::uniform_int_distribution<int>(1, 7)(random_));
        if (fault != Fault::None) ++faults_;
        answer(client, request, fault, r);
    });
}

void FaultProxy::send(QTcpSocket* client, std::shared_ptr<StreamedAnswer> answer) {
    client->write(answer->head);
    auto sent = std::make_shared<qint64>(0);
    // Bounded: each call writes until the client's buffer holds a MiB, and
    // the whole answer ends at `total`.
    auto pump = [client, answer, sent] {
        while (*sent < answer->total && client->bytesToWrite() < (1 << 20)) {
            QByteArray chunk = answer->next(*sent).left(answer->total - *sent);
            if (chunk.isEmpty()) {  // said all it had
                client->disconnectFromHost();
                return;
            }
            client->write(chunk);
            *sent += chunk.size();
            if (answer->paceMs) break;
        }
        if (*sent >= answer->total) client->disconnectFromHost();
    };
    if (answer->paceMs) {
        auto* timer = new QTimer(client);
        QObject::connect(timer, &QTimer::timeout, client, pump);
        timer->start(answer->paceMs);
    } else {
        QObject::connect(client, &QTcpSocket::bytesWritten, client, pump);
        pump();
    }
}

void FaultProxy::answer(QTcpSocket* client, const QByteArray& request, Fault fault,
                        const ProxiedRequest& r) {
    if (stream) {
        if (std::shared_ptr<StreamedAnswer> own = stream(r)) {
            send(client, std::move(own));
            return;
        }
    }
    if (fault == Fault::ResetBefore) {
        client->abort();
        return;
    }
    if (fault == Fault::Status500 || fault == Fault::Status503) {
        client->write(fault == Fault::Status500
                          ? "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n"
                          : "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    // The server is another process: waiting on it blocks nobody else.
    QTcpSocket upstream;
    upstream.connectToHost(QHostAddress::LocalHost, serverPort_);
    QByteArray response;
    if (upstream.waitForConnected(5000)) {
        QByteArray forwarded = closing(request);
        // An answer to be rewritten comes plain, not compressed.
        if (rewrite) {
            const qsizetype end = forwarded.indexOf("\r\n\r\n");
            QByteArray head;
            for (const QByteArray& line : forwarded.left(end).split('\n'))
                if (!line.trimmed().toLower().startsWith("accept-encoding:"))
                    head += line.trimmed() + "\r\n";
            forwarded = head + "\r\n" + forwarded.mid(end + 4);
        }
        upstream.write(forwarded);
        upstream.waitForBytesWritten(5000);
        while (upstream.waitForReadyRead(30000)) response += upstream.readAll();
        response += upstream.readAll();
    }
    const qsizetype headEnd = response.indexOf("\r\n\r\n");
    if (fault == Fault::ResetAfter || headEnd < 0) {
        client->abort();
        return;
    }
    if (rewrite) response = rewrite(r, response);
    response = closing(response);
    const qsizetype newHeadEnd = response.indexOf("\r\n\r\n");
    if (fault == Fault::CutHeaders) {
        // Past the status line, short of the blank line.
        const qsizetype firstLine = response.indexOf("\r\n") + 2;
        client->write(response.left(firstLine + (newHeadEnd - firstLine) / 2));
        client->flush();
        client->abort();
        return;
    }
    if (fault == Fault::CutBody) {
        // An empty body cannot be cut: the answer stops just short of it.
        const qsizetype body = response.size() - newHeadEnd - 4;
        client->write(body > 0 ? response.left(newHeadEnd + 4 + body / 2)
                               : response.left(newHeadEnd + 2));
        client->flush();
        client->abort();
        return;
    }
    auto send = [client, response] {
        client->write(response);
        client->disconnectFromHost();
    };
    if (fault == Fault::Delay)
        QTimer::singleShot(delayMs, client, send);
    else
        send();
}

}  // namespace rt
