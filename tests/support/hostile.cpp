#include "hostile.h"

#include <QRegularExpression>

namespace rt {

QByteArray withBody(const QByteArray& response, const QByteArray& body) {
    const qsizetype end = response.indexOf("\r\n\r\n");
    QByteArray head;
    for (const QByteArray& line : response.left(end).split('\n')) {
        const QByteArray l = line.trimmed();
        if (l.toLower().startsWith("content-length:")) continue;
        head += l + "\r\n";
    }
    return head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

namespace {

QByteArray bodyOf(const QByteArray& response) {
    return response.mid(response.indexOf("\r\n\r\n") + 4);
}

bool is207(const QByteArray& response) {
    return response.startsWith("HTTP/1.1 207") || response.startsWith("HTTP/1.0 207");
}

// A 207 made of `prefix` and then `piece(n)` for n = 0, 1, … up to `total`
// bytes, made as they are sent.
std::shared_ptr<StreamedAnswer> generated(QByteArray prefix, std::function<QByteArray(int)> piece,
                                          qint64 total, int paceMs = 0) {
    auto answer = std::make_shared<StreamedAnswer>();
    answer->head =
        "HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\nConnection: close\r\n\r\n";
    auto n = std::make_shared<int>(0);
    auto first = std::make_shared<QByteArray>(std::move(prefix));
    answer->next = [n, first, piece, paceMs](qint64) {
        QByteArray chunk = std::move(*first);
        first->clear();
        // A chunk of about 64 KiB (or one piece, paced).
        while (chunk.size() < (paceMs ? 1 : 64 << 10)) {
            const QByteArray more = piece((*n)++);
            if (more.isEmpty()) break;
            chunk += more;
        }
        return chunk;
    };
    answer->total = total;
    answer->paceMs = paceMs;
    return answer;
}

const QByteArray kStart = "<?xml version=\"1.0\"?><multistatus xmlns=\"DAV:\">";

QByteArray cardResponse(const QByteArray& href, int n) {
    return "<response xmlns=\"DAV:\"><href>" + href + "</href><propstat><prop><getetag>\"e" +
           QByteArray::number(n) +
           "\"</getetag><getcontenttype>text/vcard</getcontenttype></prop><status>HTTP/1.1 200 "
           "OK</status></propstat></response>";
}

}  // namespace

QString HostileServer::start() {
    if (QString why = radicale_.start(); !why.isEmpty()) return why;
    proxy_ = std::make_unique<FaultProxy>(radicale_.port());
    elsewhere_ = std::make_unique<FaultProxy>(radicale_.port(), false, QHostAddress("127.0.0.2"));
    otherPort_ = std::make_unique<FaultProxy>(radicale_.port());
    for (const FaultProxy* p : {proxy_.get(), elsewhere_.get(), otherPort_.get()})
        if (!p->error().isEmpty()) return p->error();
    return {};
}

int HostileServer::requestsElsewhere() const {
    return elsewhere_->requests() + otherPort_->requests() - requestsBefore_;
}

int HostileServer::passwordsElsewhere() const {
    int n = 0;
    for (const FaultProxy* p : {elsewhere_.get(), otherPort_.get()})
        for (const ProxiedRequest& r : p->log()) n += r.authorization;
    return n - passwordsBefore_;
}

void HostileServer::forget() {
    requestsBefore_ += requestsElsewhere();
    passwordsBefore_ += passwordsElsewhere();
}

void HostileServer::setMode(Hostile mode, const QString& book) {
    FaultProxy& p = *proxy_;
    p.rewrite = {};
    p.stream = {};
    const QByteArray foreign = "http://127.0.0.2:" + QByteArray::number(elsewhere_->port());
    const QByteArray bookPath = book.toUtf8();
    auto listing = [](const ProxiedRequest& r) {
        return (r.method == "REPORT" && r.body.contains("sync-collection")) ||
               (r.method == "PROPFIND" && r.body.contains("getetag"));
    };
    switch (mode) {
        case Hostile::None:
            break;
        case Hostile::ForeignHrefs:
            p.rewrite = [=](const ProxiedRequest& r, const QByteArray& response) {
                if (!is207(response) || r.method == "PROPFIND") return response;
                QByteArray body = bodyOf(response);
                static const QRegularExpression card(R"(>(/[^<]*\.vcf)<)");
                body = QString::fromUtf8(body)
                           .replace(card, ">" + QString::fromUtf8(foreign) + "\\1<")
                           .toUtf8();
                return withBody(response, body);
            };
            break;
        case Hostile::ForeignHome:
            p.rewrite = [=](const ProxiedRequest& r, const QByteArray& response) {
                if (!is207(response) || r.method != "PROPFIND") return response;
                QByteArray body = bodyOf(response);
                body.replace(">/ana/<", ">" + foreign + "/ana/<");
                return withBody(response, body);
            };
            break;
        case Hostile::RedirectPort: {
            const QByteArray other = "http://127.0.0.1:" + QByteArray::number(otherPort_->port());
            p.stream = [other](const ProxiedRequest& r) -> std::shared_ptr<StreamedAnswer> {
                if (r.method != "PROPFIND") return nullptr;
                auto a = std::make_shared<StreamedAnswer>();
                a->head = "HTTP/1.1 301 Moved Permanently\r\nLocation: " + other + r.path +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                return a;
            };
            break;
        }
        case Hostile::DeepXml:
            // A response of its own first in every multistatus.
            p.rewrite = [=](const ProxiedRequest&, const QByteArray& response) {
                if (!is207(response)) return response;
                QByteArray body = bodyOf(response);
                const qsizetype root = body.indexOf("multistatus");
                const qsizetype at = body.indexOf('>', root) + 1;
                if (root < 0 || at <= 0) return response;
                body.insert(at, "<response xmlns=\"DAV:\"><href>" + bookPath +
                                    "</href><propstat><prop><displayname>" +
                                    QByteArray("<x>").repeated(100000) +
                                    QByteArray("</x>").repeated(100000) +
                                    "</displayname></prop><status>HTTP/1.1 200 OK</status>"
                                    "</propstat></response>");
                return withBody(response, body);
            };
            break;
        case Hostile::HugeAnswer:
            p.stream = [=](const ProxiedRequest& r) -> std::shared_ptr<StreamedAnswer> {
                if (!listing(r)) return nullptr;
                const QByteArray pad = "<relleno>" + QByteArray(1000, 'a') + "</relleno>";
                return generated(
                    kStart, [pad](int) { return pad; }, 1LL << 30);
            };
            break;
        case Hostile::MillionHrefs:
            p.stream = [=](const ProxiedRequest& r) -> std::shared_ptr<StreamedAnswer> {
                if (!listing(r)) return nullptr;
                return generated(
                    kStart,
                    [=](int n) {
                        if (n == 1000000) return QByteArray("</multistatus>");
                        if (n > 1000000) return QByteArray();
                        return cardResponse(bookPath + "c" + QByteArray::number(n) + ".vcf", n);
                    },
                    1LL << 32);
            };
            break;
        case Hostile::Trickle:
            p.stream = [](const ProxiedRequest&) -> std::shared_ptr<StreamedAnswer> {
                const QByteArray text = kStart + QByteArray(100000, ' ');
                return generated(
                    {}, [text](int n) { return text.mid(n * 10, 10); }, text.size(), 100);
            };
            break;
        case Hostile::Endless507:
            p.stream = [=](const ProxiedRequest& r) -> std::shared_ptr<StreamedAnswer> {
                if (!listing(r) || r.method != "REPORT") return nullptr;
                const QByteArray body =
                    kStart + "<response><href>" + bookPath +
                    "</href><status>HTTP/1.1 507 Insufficient Storage</status></response>" +
                    cardResponse(bookPath + "c" + QByteArray::number(r.index) + ".vcf", r.index) +
                    "<sync-token>http://radicale.org/ns/sync/t" + QByteArray::number(r.index) +
                    "</sync-token></multistatus>";
                auto a = std::make_shared<StreamedAnswer>();
                a->head =
                    "HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\n"
                    "Connection: close\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n\r\n";
                a->next = [body](qint64 sent) { return body.mid(sent); };
                a->total = body.size();
                return a;
            };
            break;
        case Hostile::OutsideHrefs:
            p.rewrite = [=](const ProxiedRequest& r, const QByteArray& response) {
                if (!is207(response) || !listing(r)) return response;
                QByteArray body = bodyOf(response);
                const qsizetype end = body.lastIndexOf("</");
                body.insert(end, cardResponse("/ana/other/c0.vcf", 0) +
                                     cardResponse(bookPath + "../other/c1.vcf", 1));
                return withBody(response, body);
            };
            break;
        case Hostile::Escapes:
            p.stream = [](const ProxiedRequest& r) -> std::shared_ptr<StreamedAnswer> {
                if (r.method != "REPORT") return nullptr;
                auto a = std::make_shared<StreamedAnswer>();
                a->head =
                    "HTTP/1.1 502 \x1b]0;pwned\x07\x1b[31mMala puerta\xc2\x9b\xe2\x80\xae\r\n"
                    "Content-Length: 0\r\nConnection: close\r\n\r\n";
                return a;
            };
            break;
    }
}

}  // namespace rt
