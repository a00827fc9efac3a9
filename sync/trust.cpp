#include "sync/trust.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>

namespace orv::sync {

QString fingerprintOf(const QSslCertificate& certificate) {
    if (certificate.isNull()) return {};
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

std::optional<QString> parseFingerprint(const QString& text) {
    QString hex;
    for (QChar c : text) {
        if (c == QLatin1Char(':') || c.isSpace()) continue;
        const char16_t u = QChar::toLower(c.unicode());
        const bool digit = (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f');
        if (!digit || hex.size() == 64) return std::nullopt;
        hex += c.toUpper();
    }
    if (hex.size() != 64) return std::nullopt;
    QString out;
    for (int i = 0; i < 64; i += 2) out += (i ? QStringLiteral(":") : QString()) + hex.mid(i, 2);
    return out;
}

bool sameFingerprint(const QString& a, const QString& b) {
    const auto x = parseFingerprint(a), y = parseFingerprint(b);
    return x && y && *x == *y;
}

bool acceptableByFingerprint(const QList<QSslError>& errors) {
    for (const QSslError& e : errors) {
        switch (e.error()) {
            case QSslError::SelfSignedCertificate:
            case QSslError::SelfSignedCertificateInChain:
            case QSslError::UnableToGetLocalIssuerCertificate:
            case QSslError::UnableToGetIssuerCertificate:
            case QSslError::UnableToVerifyFirstCertificate:
            case QSslError::CertificateUntrusted:
            case QSslError::HostNameMismatch:
            case QSslError::CertificateExpired:
            case QSslError::CertificateNotYetValid:
                break;
            default:
                return false;
        }
    }
    return true;
}

QString certificateProblem(const QList<QSslError>& errors) {
    for (const QSslError& e : errors) {
        switch (e.error()) {
            case QSslError::SelfSignedCertificate:
            case QSslError::SelfSignedCertificateInChain:
                return QStringLiteral("su certificado está firmado por él mismo");
            case QSslError::UnableToGetLocalIssuerCertificate:
            case QSslError::UnableToGetIssuerCertificate:
            case QSslError::UnableToVerifyFirstCertificate:
            case QSslError::CertificateUntrusted:
                return QStringLiteral(
                    "su certificado lo firma una autoridad que este equipo no conoce");
            case QSslError::CertificateExpired:
                return QStringLiteral("su certificado ha caducado");
            case QSslError::CertificateNotYetValid:
                return QStringLiteral("su certificado aún no es válido");
            case QSslError::HostNameMismatch:
                return QStringLiteral("su certificado es de otro nombre de servidor");
            case QSslError::CertificateRevoked:
                return QStringLiteral("su certificado está revocado");
            default:
                break;
        }
    }
    return QStringLiteral("su certificado no es válido");
}

QString originOf(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    QString host = url.host(QUrl::FullyEncoded).toLower();
    if (host.contains(QLatin1Char(':'))) host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("%1://%2:%3")
        .arg(scheme, host)
        .arg(url.port(scheme == QLatin1String("https") ? 443 : 80));
}

CertificateCheck checkCertificate(const QUrl& url, const QString& caFile, const QString& accepted,
                                  int timeoutMs) {
    CertificateCheck out;
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) return out;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (!caFile.isEmpty()) config.addCaCertificates(QSslCertificate::fromPath(caFile));
    QSslSocket socket;
    socket.setSslConfiguration(config);
    socket.connectToHostEncrypted(url.host(), static_cast<quint16>(url.port(443)));
    const bool encrypted = socket.waitForEncrypted(timeoutMs);
    const QList<QSslError> errors = socket.sslHandshakeErrors();
    QSslCertificate peer = socket.peerCertificate();
    if (peer.isNull() && !errors.isEmpty()) peer = errors.front().certificate();
    socket.abort();
    if (peer.isNull()) {
        out.verdict = CertificateCheck::Verdict::Unreachable;
        return out;
    }
    out.fingerprint = fingerprintOf(peer);
    out.systemTrusts = encrypted && errors.isEmpty();
    out.problem = out.systemTrusts ? QString() : certificateProblem(errors);
    out.subject = peer.subjectDisplayName();
    out.issuer = peer.issuerDisplayName();
    out.expires = peer.expiryDate();
    using V = CertificateCheck::Verdict;
    if (!out.systemTrusts && !acceptableByFingerprint(errors))
        out.verdict = V::Refused;
    else if (accepted.isEmpty())
        out.verdict = out.systemTrusts ? V::Trusted : V::FirstSeen;
    else if (sameFingerprint(accepted, out.fingerprint))
        out.verdict = V::Accepted;
    else {
        out.verdict = V::Changed;
        out.oldFingerprint = parseFingerprint(accepted).value_or(accepted);
    }
    return out;
}

namespace {

// Each missing folder of `path` made for the owner alone, whatever the umask.
bool makeFolders(const QString& path) {
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString built;
    for (const QString& part : absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        built += QLatin1Char('/') + part;
        if (QFileInfo(built).isDir()) continue;
        if (::mkdir(QFile::encodeName(built).constData(), 0700) != 0) return false;
    }
    return true;
}

}  // namespace

TrustStore::TrustStore(QString path) : path_(std::move(path)) {}

QString TrustStore::defaultPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/orvane/certificados");
}

QString TrustStore::accepted(const QUrl& url) const {
    QFile f(path_);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QString origin = originOf(url);
    // A line an origin: "https://host:443 AB:CD:…"; a file of ours is small.
    for (const QByteArray& line : f.read(1 << 20).split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() == 2 && QString::fromUtf8(parts[0]) == origin)
            return parseFingerprint(QString::fromLatin1(parts[1])).value_or(QString());
    }
    return {};
}

QString TrustStore::accept(const QUrl& url, const QString& fingerprint) {
    const QString origin = originOf(url);
    QByteArray kept;
    QFile old(path_);
    if (old.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : old.read(1 << 20).split('\n')) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            if (parts.size() == 2 && QString::fromUtf8(parts[0]) != origin) kept += line + '\n';
        }
        old.close();
    }
    if (!fingerprint.isEmpty())
        kept += origin.toUtf8() + ' ' +
                parseFingerprint(fingerprint).value_or(fingerprint).toLatin1() + '\n';
    const QString cannot = QStringLiteral("no se puede guardar la huella en %1").arg(path_);
    if (!makeFolders(QFileInfo(path_).absolutePath())) return cannot;
    QSaveFile f(path_);
    if (!f.open(QIODevice::WriteOnly) ||
        !f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        f.write(kept) != kept.size() || !f.commit())
        return cannot;
    return {};
}

}  // namespace orv::sync
