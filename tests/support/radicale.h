#pragma once
// A radicale of its own for CardDAV tests: a free loopback port, storage and
// users in a temporary folder, stopped with the object. With `tls`, HTTPS
// with a certificate made for 127.0.0.1 that no system trusts (certFile()).

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>

namespace rt {

inline const QString kUser = QStringLiteral("ana");
inline const QString kPassword = QStringLiteral("secreto");

// A card's lines unfolded, so that what a server re-folds still compares.
QStringList unfolded(const QByteArray& vcard);

// A loopback port nobody listens on (0 when none could be found).
quint16 freePort();

// Starts `program` with the arguments made for a free loopback port and
// waits until it listens there; a port found free may be taken before the
// program binds it, so three are tried. Empty on success, else what went wrong.
QString startListening(QProcess& proc, const QString& program,
                       const std::function<QStringList(quint16)>& arguments, quint16& port);
// Asks the program to end, then ends it.
void stopProcess(QProcess& proc);

// A key and a certificate for 127.0.0.1 that no system trusts, as key.pem and
// cert.pem in `folder`. Empty on success, else what went wrong.
QString makeCertificate(const QString& folder);
// A certificate authority (ca.pem, ca.key in `folder`), and a key and
// certificate for 127.0.0.1 signed by it (key.pem, cert.pem in `folder`).
QString makeAuthority(const QString& folder);
QString makeSignedCertificate(const QString& folder, const QString& authorityFolder);
// The SHA-256 fingerprint of a PEM certificate as openssl prints it (AB:CD:…).
QString opensslFingerprint(const QString& certFile);

class Radicale {
  public:
    explicit Radicale(bool tls = false) : tls_(tls) {}
    ~Radicale() { stop(); }

    // Empty on success, else what went wrong.
    QString start();
    void stop();

    QUrl url(const QString& path) const;
    QString certFile() const { return dir_.filePath("cert.pem"); }
    quint16 port() const { return port_; }
    // The folder radicale keeps its collections in (collection-root/USER/NAME/).
    QString storage() const { return dir_.filePath("collections"); }

  private:
    void writeConfig();

    bool tls_;
    QTemporaryDir dir_;
    QProcess proc_;
    quint16 port_ = 0;
};

}  // namespace rt
