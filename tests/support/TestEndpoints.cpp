#include "support/TestEndpoints.h"

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

} // namespace tarvik::test
