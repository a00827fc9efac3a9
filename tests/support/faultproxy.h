#pragma once
// A loopback HTTP proxy for fault tests: it forwards each request to the
// server on its own connection and, by rule or at random (seeded), fails
// it: the connection reset before or after the server saw the request, the
// answer cut inside its headers or inside its body, a 500 or 503 in its
// place, or the answer delayed. Runs on the test's own event loop, which
// the CardDAV client's synchronous calls keep turning. With `tls`, the
// client speaks HTTPS to it (certFile() to trust) and the server plain HTTP.
// For hostile answers, a rewrite changes what the server said, and a stream
// answers in its place with bytes made as they are sent (a gigabyte, or ten
// bytes at a time), never held whole.

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace rt {

enum class Fault {
    None,
    ResetBefore,  // the request never reaches the server
    ResetAfter,   // the server did it; its answer is lost
    CutHeaders,   // the answer stops inside its headers
    CutBody,      // the answer stops inside its body
    Status500,
    Status503,
    Delay,  // the answer comes, late
};
const char* faultName(Fault f);

struct ProxiedRequest {
    int index = 0;  // 0 for the first request through the proxy
    QByteArray method, path;
    bool authorization = false;  // it carried a password
    QByteArray body;
};

// An answer made as it is sent: `head` (status line and headers), then
// next(sent) until `total` bytes of body went, one chunk every `paceMs`
// when set, else as fast as the client reads.
struct StreamedAnswer {
    QByteArray head;
    std::function<QByteArray(qint64 sent)> next;
    qint64 total = 0;
    int paceMs = 0;
};

class FaultProxy {
  public:
    explicit FaultProxy(quint16 serverPort, bool tls = false,
                        const QHostAddress& listenOn = QHostAddress::LocalHost);
    // Empty once listening, else what went wrong.
    const QString& error() const { return error_; }
    quint16 port() const { return server_->serverPort(); }
    QString certFile() const { return tls_ ? certs_.filePath("cert.pem") : QString(); }
    // The server's address through the proxy.
    QUrl url(QUrl direct) const;
    // Serves this certificate and key (PEM files) to new connections.
    QString setCertificate(const QString& certFile, const QString& keyFile);

    // What the server answered (the whole HTTP message) made into something else.
    std::function<QByteArray(const ProxiedRequest&, const QByteArray& response)> rewrite;
    // An answer of the proxy's own in place of the server's; null: none.
    std::function<std::shared_ptr<StreamedAnswer>(const ProxiedRequest&)> stream;
    // Every request seen, in order.
    const std::vector<ProxiedRequest>& log() const { return log_; }

    // A rule decides each request's fault; it wins over random faults.
    void setRule(std::function<Fault(const ProxiedRequest&)> rule) { rule_ = std::move(rule); }
    // Fails a share `rate` of the requests with a fault drawn at random.
    void setRandom(unsigned seed, double rate) {
        random_.seed(seed);
        rate_ = rate;
    }
    void clear() {
        rule_ = {};
        rate_ = 0;
    }
    int requests() const { return index_; }
    int faults() const { return faults_; }
    int delayMs = 300;

  private:
    void serve(class QTcpSocket* client);
    void answer(QTcpSocket* client, const QByteArray& request, Fault fault,
                const ProxiedRequest& r);
    void send(QTcpSocket* client, std::shared_ptr<StreamedAnswer> answer);

    quint16 serverPort_;
    bool tls_;
    QTemporaryDir certs_;
    std::unique_ptr<QTcpServer> server_;
    QString error_;
    QHostAddress listenOn_;
    std::vector<ProxiedRequest> log_;
    std::function<Fault(const ProxiedRequest&)> rule_;
    std::mt19937 random_;
    double rate_ = 0;
    int index_ = 0, faults_ = 0;
};

}  // namespace rt
