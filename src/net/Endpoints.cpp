#include "net/Endpoints.h"

#include "EndpointsConfig.h"

#include <mutex>

namespace tarvik {

namespace {

QUrl base(const char* text)
{
    return QUrl(QString::fromUtf8(text), QUrl::TolerantMode);
}

// The seam's state. Guarded because a test may set it while a worker thread of
// an earlier test case still reads it.
std::mutex overrideMutex;
std::optional<Endpoints> overridden;

} // namespace

Endpoints Endpoints::compiledIn()
{
    Endpoints e;
    e.operatorBase = base("https://" TARVIK_OPERATOR_HOST);
    e.microsoftLogin = base(TARVIK_MICROSOFT_LOGIN_URL);
    e.microsoftDomain = QStringLiteral(TARVIK_MICROSOFT_DOMAIN);
    e.xboxUserAuth = base(TARVIK_XBOX_USER_AUTH_URL);
    e.xboxRelyingParty = QStringLiteral(TARVIK_XBOX_RELYING_PARTY);
    e.xsts = base(TARVIK_XSTS_URL);
    e.minecraftServices = base(TARVIK_MINECRAFT_SERVICES_URL);
    e.minecraftRelyingParty = QStringLiteral(TARVIK_MINECRAFT_RELYING_PARTY);
    e.minecraftWebsite = QStringLiteral(TARVIK_MINECRAFT_WEBSITE);
    e.versionManifest = base(TARVIK_VERSION_MANIFEST_URL);
    e.assetObjects = base(TARVIK_ASSET_OBJECTS_URL);
    e.fabricMeta = base(TARVIK_FABRIC_META_URL);
    e.adoptiumApi = base(TARVIK_ADOPTIUM_API_URL);
    return e;
}

Endpoints Endpoints::current()
{
    {
        const std::lock_guard lock(overrideMutex);
        if (overridden)
            return *overridden;
    }
    static const Endpoints compiled = compiledIn();
    return compiled;
}

QUrl endpointUrl(const QUrl& base, const QString& path)
{
    QString text = base.toString(QUrl::FullyEncoded);
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return QUrl(text + path, QUrl::TolerantMode);
}

QUrl catalogUrl()
{
    return endpointUrl(Endpoints::current().operatorBase, QStringLiteral("/api/v1/catalog.json"));
}

QUrl updateUrl()
{
    return endpointUrl(Endpoints::current().operatorBase, QStringLiteral("/api/v1/update.json"));
}

namespace detail {

void overrideEndpoints(const std::optional<Endpoints>& endpoints)
{
    const std::lock_guard lock(overrideMutex);
    overridden = endpoints;
}

} // namespace detail

} // namespace tarvik
