#pragma once
// Trust on first use, as ssh does it: a server whose certificate the system
// does not trust is taken only with the very certificate the user accepted,
// by its SHA-256 fingerprint, and that fingerprint is remembered for the
// server's origin (scheme, host and port: every address book there). Any
// other certificate later stops the sync, showing both, until the user
// accepts the new one. No widgets and no terminal here: the check comes back
// as data, and the caller (orvane-db, a window) asks its own question.

#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QUrl>
#include <optional>

namespace orv::sync {

// "AB:CD:…": the SHA-256 of the certificate, as `openssl x509 -fingerprint
// -sha256` shows it.
QString fingerprintOf(const QSslCertificate& certificate);
// A fingerprint as a user may type it (any case, with or without colons or
// blanks) in the form above; nullopt when it is none.
std::optional<QString> parseFingerprint(const QString& text);
bool sameFingerprint(const QString& a, const QString& b);
// The faults a certificate accepted by its fingerprint may have: no trusted
// authority signed it (or it signed itself), it names another host, it is
// out of its dates. Anything else (revoked, a bad signature) is never taken.
bool acceptableByFingerprint(const QList<QSslError>& errors);
// Why the system refuses it, in Spanish ("su certificado está firmado por él mismo").
QString certificateProblem(const QList<QSslError>& errors);
// "https://host:port", the port always written.
QString originOf(const QUrl& url);

struct CertificateCheck {
    enum class Verdict {
        Plain,        // http: nothing to check
        Trusted,      // the system (or the CA file) trusts it, and none was accepted here
        Accepted,     // the one the user accepted
        FirstSeen,    // untrusted, never accepted: ask
        Changed,      // not the one accepted: ask, showing both
        Refused,      // a fault that no acceptance mends
        Unreachable,  // no answer: the sync itself will say why
    };
    Verdict verdict = Verdict::Plain;
    QString fingerprint;     // of the certificate the server shows
    QString oldFingerprint;  // the one accepted before (Changed)
    bool systemTrusts = false;
    QString problem;  // why the system does not trust it, in Spanish
    QString subject, issuer;
    QDateTime expires;
};

// Connects to `url`'s origin and looks at its certificate, sending nothing.
// `caFile`: a PEM trusted beside the system's; `accepted`: the fingerprint
// remembered for that origin (empty: none).
CertificateCheck checkCertificate(const QUrl& url, const QString& caFile, const QString& accepted,
                                  int timeoutMs);

// The fingerprints accepted, one line an origin, in a file for the user only
// ($XDG_CONFIG_HOME/orvane/certificados, normally ~/.config/orvane/).
class TrustStore {
  public:
    explicit TrustStore(QString path = defaultPath());
    static QString defaultPath();
    const QString& path() const { return path_; }
    // The fingerprint accepted for url's origin; empty when none.
    QString accepted(const QUrl& url) const;
    // Remembers `fingerprint` for url's origin; an empty one forgets it.
    // Returns what went wrong, in Spanish; empty on success.
    QString accept(const QUrl& url, const QString& fingerprint);

  private:
    QString path_;
};

}  // namespace orv::sync
