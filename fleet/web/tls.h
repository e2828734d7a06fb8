// varnel-web's TLS settings: its certificate and private key from PEM
// files, through Qt's own TLS backend.  They are tried at start-up with a
// handshake of the program with itself, so that a key of another
// certificate stops the program with a message instead of failing every
// browser's connection later.
#pragma once

#include <QSslConfiguration>
#include <optional>
#include <string>

namespace varnel::fleet::web {

// The server's TLS settings from `certificateFile` (its certificate, then
// any intermediate ones) and `keyFile` (an unencrypted RSA, EC or DSA key);
// nullopt with a one-line reason in `why`.  Needs a QCoreApplication.
std::optional<QSslConfiguration> LoadTlsConfiguration(const std::string& certificateFile, const std::string& keyFile,
                                                      std::string& why);

}  // namespace varnel::fleet::web
