#include "support/TestEndpoints.h"

#include "fs/SafeFiles.h"
#include "net/SignedDocument.h"
#include "signing/Signing.h"

namespace tarvik::test {

Endpoints endpointsAt(const QUrl& base)
{
    Endpoints e = Endpoints::compiledIn();
    e.operatorBase = base;
    e.microsoftLogin = base;
    e.xboxUserAuth = base;
    e.xsts = base;
    e.minecraftServices = base;
    e.versionManifest = base;
    e.assetObjects = base;
    e.fabricMeta = base;
    e.adoptiumApi = base;
    return e;
}

ScopedEndpoints::ScopedEndpoints(const QUrl& base) : ScopedEndpoints(endpointsAt(base)) {}

ScopedEndpoints::ScopedEndpoints(const Endpoints& endpoints)
{
    detail::overrideEndpoints(endpoints);
}

ScopedEndpoints::~ScopedEndpoints()
{
    detail::overrideEndpoints(std::nullopt);
}

namespace {

QString keyFile(const QString& name, const char* suffix)
{
    return QStringLiteral(TARVIK_TEST_DATA_DIR "/keys/") + name + QLatin1String(suffix);
}

} // namespace

ScopedOperatorKeys::ScopedOperatorKeys(const QStringList& names)
{
    QList<QByteArray> keys;
    for (const QString& name : names)
        keys << operatorKeyFromPem(readFile(keyFile(name, ".pub"), kMaxDocumentSize));
    detail::overrideOperatorKeys(keys);
}

ScopedOperatorKeys::~ScopedOperatorKeys()
{
    detail::overrideOperatorKeys(std::nullopt);
}

QByteArray signedBy(const QString& name, const QByteArray& document)
{
    return tools::signDocument(keyFile(name, ".pem"), document);
}

} // namespace tarvik::test
