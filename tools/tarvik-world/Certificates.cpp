#include "Certificates.h"

#include "Programs.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <stdexcept>

namespace tarvik::world {

namespace {

// Certificates that lapse within this many seconds are made anew.
const QString kRenewBefore = QString::number(30 * 24 * 3600);

QString openssl()
{
    return findProgram(QStringLiteral("openssl"), QStringLiteral("openssl"));
}

// Whether the openssl command succeeds (its output is not needed).
bool opensslSucceeds(const QStringList& arguments)
{
    return runProgram(openssl(), arguments).ok;
}

void opensslOrThrow(const QStringList& arguments)
{
    runOrThrow(openssl(), arguments);
}

// The public key of a certificate and of a private key, as PEM text; equal
// when the key belongs to the certificate.
bool keyMatches(const QString& certificate, const QString& key)
{
    const ProgramResult fromCertificate =
        runProgram(openssl(), {QStringLiteral("x509"), QStringLiteral("-in"), certificate,
                               QStringLiteral("-noout"), QStringLiteral("-pubkey")});
    const ProgramResult fromKey = runProgram(
        openssl(), {QStringLiteral("pkey"), QStringLiteral("-in"), key, QStringLiteral("-pubout")});
    return fromCertificate.ok && fromKey.ok && !fromKey.output.isEmpty() &&
           fromCertificate.output.trimmed() == fromKey.output.trimmed();
}

bool lastsLongEnough(const QString& certificate)
{
    return opensslSucceeds({QStringLiteral("x509"), QStringLiteral("-in"), certificate,
                            QStringLiteral("-noout"), QStringLiteral("-checkend"), kRenewBefore});
}

bool caUsable(const CertificateFiles& files)
{
    return QFileInfo::exists(files.caCertificate) && QFileInfo::exists(files.caKey) &&
           lastsLongEnough(files.caCertificate) && keyMatches(files.caCertificate, files.caKey);
}

bool serverUsable(const CertificateFiles& files)
{
    if (!QFileInfo::exists(files.serverCertificate) || !QFileInfo::exists(files.serverKey) ||
        !lastsLongEnough(files.serverCertificate) ||
        !keyMatches(files.serverCertificate, files.serverKey))
        return false;
    // Signed by this CA, for both names the launcher may use, for a server.
    for (const QStringList& name :
         {QStringList{QStringLiteral("-verify_hostname"), QStringLiteral("localhost")},
          QStringList{QStringLiteral("-verify_ip"), QStringLiteral("127.0.0.1")}}) {
        if (!opensslSucceeds(QStringList{QStringLiteral("verify"), QStringLiteral("-CAfile"),
                                         files.caCertificate, QStringLiteral("-purpose"),
                                         QStringLiteral("sslserver")} +
                             name + QStringList{files.serverCertificate}))
            return false;
    }
    return true;
}

void newKey(const QString& path)
{
    QFile::remove(path);
    opensslOrThrow({QStringLiteral("ecparam"), QStringLiteral("-name"),
                    QStringLiteral("prime256v1"), QStringLiteral("-genkey"),
                    QStringLiteral("-noout"), QStringLiteral("-out"), path});
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void makeCa(const CertificateFiles& files)
{
    newKey(files.caKey);
    opensslOrThrow({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-new"),
                    QStringLiteral("-key"), files.caKey, QStringLiteral("-sha256"),
                    QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
                    QStringLiteral("/CN=Tarvik World local CA"), QStringLiteral("-addext"),
                    QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                    QStringLiteral("keyUsage=critical,keyCertSign,cRLSign"), QStringLiteral("-out"),
                    files.caCertificate});
}

void makeServer(const CertificateFiles& files)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        fail(QStringLiteral("cannot make a temporary folder"));
    const QString request = scratch.filePath(QStringLiteral("server.csr"));
    const QString extensions = scratch.filePath(QStringLiteral("server.ext"));
    QFile ext(extensions);
    if (!ext.open(QIODevice::WriteOnly) ||
        ext.write("basicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n"
                  "subjectAltName=DNS:localhost,IP:127.0.0.1\n") < 0)
        fail(QStringLiteral("cannot write the certificate extensions"));
    ext.close();
    newKey(files.serverKey);
    opensslOrThrow({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-key"),
                    files.serverKey, QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                    QStringLiteral("-out"), request});
    QFile::remove(files.serverCertificate);
    opensslOrThrow({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                    QStringLiteral("-CA"), files.caCertificate, QStringLiteral("-CAkey"),
                    files.caKey, QStringLiteral("-set_serial"),
                    QString::number(QDateTime::currentSecsSinceEpoch()), QStringLiteral("-sha256"),
                    QStringLiteral("-days"), QStringLiteral("825"), QStringLiteral("-extfile"),
                    extensions, QStringLiteral("-out"), files.serverCertificate});
}

} // namespace

CertificateFiles ensureCertificates(const QString& stateDir)
{
    if (!QDir().mkpath(stateDir))
        fail("cannot create the state folder " + stateDir);
    const QDir dir(stateDir);
    const CertificateFiles files{dir.absoluteFilePath(QStringLiteral("ca.pem")),
                                 dir.absoluteFilePath(QStringLiteral("ca.key")),
                                 dir.absoluteFilePath(QStringLiteral("server.pem")),
                                 dir.absoluteFilePath(QStringLiteral("server.key"))};
    if (!caUsable(files)) {
        makeCa(files);
        QFile::remove(files.serverCertificate);
    }
    if (!serverUsable(files)) {
        makeServer(files);
        if (!serverUsable(files))
            fail(QStringLiteral("the new server certificate does not verify"));
    }
    return files;
}

dev::ServerIdentity loadIdentity(const CertificateFiles& files)
{
    dev::ServerIdentity identity;
    identity.certificate = QSslCertificate(readAll(files.serverCertificate), QSsl::Pem);
    identity.chain = {QSslCertificate(readAll(files.caCertificate), QSsl::Pem)};
    identity.key = QSslKey(readAll(files.serverKey), QSsl::Ec, QSsl::Pem);
    if (identity.certificate.isNull() || identity.key.isNull())
        fail(QStringLiteral("cannot load the server certificate or key"));
    return identity;
}

} // namespace tarvik::world
