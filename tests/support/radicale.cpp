#include "radicale.h"

#include <sys/prctl.h>

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <csignal>

namespace rt {

QStringList unfolded(const QByteArray& vcard) {
    QString text = QString::fromUtf8(vcard);
    text.replace("\r\n", "\n").replace("\n ", "").replace("\n\t", "");
    return text.split('\n', Qt::SkipEmptyParts);
}

quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QString startListening(QProcess& proc, const QString& program,
                       const std::function<QStringList(quint16)>& arguments, quint16& port) {
    QString why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = freePort();
        proc.setProcessChannelMode(QProcess::MergedChannels);
        // A killed test or bench never reaches its destructor: without this its
        // server lives on, busy with its cards, beside the next run.
        proc.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        proc.start(program, arguments(port));
        if (!proc.waitForStarted(10000))
            return program + " does not start (is it installed? scripts/deps.sh)";
        for (int i = 0; i < 150 && proc.state() == QProcess::Running; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(100)) return {};
            QTest::qWait(100);
        }
        why = QString::fromLocal8Bit(proc.readAll());
        stopProcess(proc);
    }
    return program + " did not listen: " + why;
}

void stopProcess(QProcess& proc) {
    if (proc.state() == QProcess::NotRunning) return;
    proc.terminate();
    if (!proc.waitForFinished(5000)) {
        proc.kill();
        proc.waitForFinished(5000);
    }
}

QString makeCertificate(const QString& folder) {
    QProcess ssl;
    ssl.start("openssl",
              {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
               "-nodes", "-keyout", folder + "/key.pem", "-out", folder + "/cert.pem", "-days", "2",
               "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!ssl.waitForFinished(20000) || ssl.exitCode() != 0)
        return "openssl: " + QString::fromLocal8Bit(ssl.readAllStandardError());
    return {};
}

namespace {

QString openssl(const QStringList& args, QByteArray* out = nullptr) {
    QProcess ssl;
    ssl.start("openssl", args);
    if (!ssl.waitForFinished(20000) || ssl.exitCode() != 0)
        return "openssl: " + QString::fromLocal8Bit(ssl.readAllStandardError());
    if (out) *out = ssl.readAllStandardOutput();
    return {};
}

const QStringList kEc = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

}  // namespace

QString makeAuthority(const QString& folder) {
    return openssl(QStringList{"req", "-x509"} + kEc +
                   QStringList{"-keyout", folder + "/ca.key", "-out", folder + "/ca.pem", "-days",
                               "2", "-subj", "/CN=Autoridad de prueba", "-addext",
                               "basicConstraints=critical,CA:TRUE", "-addext",
                               "keyUsage=critical,keyCertSign"});
}

QString makeSignedCertificate(const QString& folder, const QString& authorityFolder) {
    QFile ext(folder + "/ext.cnf");
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=IP:127.0.0.1\n") < 0)
        return QStringLiteral("cannot write ext.cnf");
    ext.close();
    if (QString why = openssl(QStringList{"req"} + kEc +
                              QStringList{"-keyout", folder + "/key.pem", "-out",
                                          folder + "/req.csr", "-subj", "/CN=127.0.0.1"});
        !why.isEmpty())
        return why;
    return openssl({"x509", "-req", "-in", folder + "/req.csr", "-CA", authorityFolder + "/ca.pem",
                    "-CAkey", authorityFolder + "/ca.key", "-CAcreateserial", "-out",
                    folder + "/cert.pem", "-days", "2", "-extfile", folder + "/ext.cnf"});
}

QString opensslFingerprint(const QString& certFile) {
    QByteArray out;
    if (!openssl({"x509", "-in", certFile, "-noout", "-fingerprint", "-sha256"}, &out).isEmpty())
        return {};
    return QString::fromLatin1(out.trimmed())
        .section('=', 1)
        .toUpper();  // "sha256 Fingerprint=AB:…"
}

QString Radicale::start() {
    if (!dir_.isValid()) return QStringLiteral("no temporary folder");
    QFile users(dir_.filePath("users"));
    if (!users.open(QIODevice::WriteOnly) ||
        users.write((kUser + ":" + kPassword + "\n").toUtf8()) < 0)
        return QStringLiteral("cannot write the password file");
    users.close();
    if (tls_) {
        if (QString why = makeCertificate(dir_.path()); !why.isEmpty()) return why;
    }
    return startListening(
        proc_, "radicale",
        // port_ is already the port tried when the config is written.
        [this](quint16) {
            writeConfig();
            return QStringList{"-C", dir_.filePath("config")};
        },
        port_);
}

void Radicale::stop() {
    stopProcess(proc_);
}

QUrl Radicale::url(const QString& path) const {
    return QUrl(
        QStringLiteral("%1://127.0.0.1:%2%3").arg(tls_ ? "https" : "http").arg(port_).arg(path));
}

void Radicale::writeConfig() {
    QFile config(dir_.filePath("config"));
    config.open(QIODevice::WriteOnly);
    const QString ssl = tls_ ? QStringLiteral("ssl = True\ncertificate = %1\nkey = %2\n")
                                   .arg(certFile(), dir_.filePath("key.pem"))
                             : QString();
    const QString text = QStringLiteral(
                             "[server]\nhosts = 127.0.0.1:%1\n%2"
                             "[auth]\ntype = htpasswd\nhtpasswd_filename = %3\n"
                             "htpasswd_encryption = plain\ndelay = 0\n"
                             "[rights]\ntype = owner_only\n"
                             "[storage]\nfilesystem_folder = %4\n"
                             "[web]\ntype = none\n[logging]\nlevel = warning\n")
                             .arg(port_)
                             .arg(ssl, dir_.filePath("users"), dir_.filePath("collections"));
    config.write(text.toUtf8());
}

}  // namespace rt
