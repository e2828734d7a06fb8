#include "tls.h"

#include <QEventLoop>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>
#include <chrono>

namespace varnel::fleet::web {

namespace {

// A handshake on the loopback takes milliseconds; this only bounds a hang.
constexpr std::chrono::seconds kTrialDeadline{10};

std::optional<QByteArray> ReadPem(const std::string& path, const std::string& what, std::string& why) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    why = "cannot read the TLS " + what + " " + path + " (" + file.errorString().toStdString() + ")";
    return std::nullopt;
  }
  return file.readAll();
}

// QSslKey must be told the key's algorithm, which a PKCS#8 file
// ("BEGIN PRIVATE KEY", what openssl writes by default) does not say.
QSslKey PrivateKeyOf(const QByteArray& pem) {
  for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
    QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (!key.isNull()) return key;
  }
  return {};
}

// Qt has no call that tells whether a private key belongs to a
// certificate; a handshake with the very settings the server will use
// tells that, and that the backend takes both.  The trial client checks
// no name or date: the certificate names the dashboard, not 127.0.0.1.
bool TrialHandshake(const QSslConfiguration& settings, std::string& why) {
  QSslServer server;
  server.setSslConfiguration(settings);
  if (!server.listen(QHostAddress::LocalHost, 0)) {
    why = "cannot try the TLS certificate on the loopback: " + server.errorString().toStdString();
    return false;
  }
  QString serverError;
  QObject::connect(&server, &QSslServer::errorOccurred,
                   [&](QSslSocket* socket, QAbstractSocket::SocketError) { serverError = socket->errorString(); });
  QSslSocket client;
  client.setPeerVerifyMode(QSslSocket::VerifyNone);
  QEventLoop loop;
  QObject::connect(&client, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
  QObject::connect(&client, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  client.connectToHostEncrypted(QHostAddress(QHostAddress::LocalHost).toString(), server.serverPort());
  deadline.start(kTrialDeadline);
  loop.exec();
  if (client.isEncrypted() && client.peerCertificate() == settings.localCertificate()) return true;
  // Qt's texts may end in ": " and an empty detail from the backend.
  QString failure = (serverError.isEmpty() ? client.errorString() : serverError).trimmed();
  while (failure.endsWith(':')) failure = failure.chopped(1).trimmed();
  why = failure.toStdString();
  return false;
}

}  // namespace

std::optional<QSslConfiguration> LoadTlsConfiguration(const std::string& certificateFile, const std::string& keyFile,
                                                      std::string& why) {
  if (!QSslSocket::supportsSsl()) {
    why = "this Qt has no TLS backend (Qt's OpenSSL plugin needs libssl3)";
    return std::nullopt;
  }
  const auto certificatePem = ReadPem(certificateFile, "certificate", why);
  if (!certificatePem) return std::nullopt;
  const QList<QSslCertificate> chain = QSslCertificate::fromData(*certificatePem, QSsl::Pem);
  if (chain.isEmpty() || chain.front().isNull()) {
    why = certificateFile + " holds no PEM certificate (-----BEGIN CERTIFICATE-----)";
    return std::nullopt;
  }
  const auto keyPem = ReadPem(keyFile, "key", why);
  if (!keyPem) return std::nullopt;
  const QSslKey key = PrivateKeyOf(*keyPem);
  if (key.isNull()) {
    why = keyFile + " holds no PEM private key that Qt can read (RSA, EC or DSA, without a pass phrase)";
    return std::nullopt;
  }
  QSslConfiguration settings = QSslConfiguration::defaultConfiguration();
  settings.setLocalCertificateChain(chain);
  settings.setPrivateKey(key);
  settings.setProtocol(QSsl::SecureProtocols);
  std::string failure;
  if (!TrialHandshake(settings, failure)) {
    why = "the TLS key " + keyFile + " does not belong to the certificate " + certificateFile +
          " (a trial handshake failed: " + failure + ")";
    return std::nullopt;
  }
  return settings;
}

}  // namespace varnel::fleet::web
