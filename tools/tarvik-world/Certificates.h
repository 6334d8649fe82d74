// The stand-in world's own certificate authority and the server certificate
// it signs, made with the openssl command line in the world's state folder
// and kept there between runs: the launcher build for the world trusts that
// CA file. Used once at start-up, on the main thread.
#pragma once

#include "devserver/HttpsServer.h"

#include <QString>

namespace tarvik::world {

struct CertificateFiles
{
    QString caCertificate; // "ca.pem": what the launcher trusts
    QString caKey;         // "ca.key"
    QString serverCertificate;
    QString serverKey;
};

// Makes sure that the state folder holds a usable CA (valid for at least 30
// more days, its key matching) and a server certificate for "localhost" and
// 127.0.0.1 signed by that CA (valid for at least 30 more days, its key
// matching); makes whatever is missing or unusable. A new CA always gets a
// new server certificate; a usable CA is kept, so that a launcher that
// trusts it keeps working. Throws std::runtime_error with the reason.
CertificateFiles ensureCertificates(const QString& stateDir);

// The server identity for HttpsServer from the files. Throws
// std::runtime_error when they cannot be read.
dev::ServerIdentity loadIdentity(const CertificateFiles& files);

} // namespace tarvik::world
