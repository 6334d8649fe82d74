// Every external base URL and fixed identifier of the launcher in one value.
// The compiled-in values come from CMake cache variables (the public
// production hosts by default; the operator host is the deployment's choice).
// The programs read no option or environment variable to change them; tests
// point them at a local server through the seam in detail:: below.
#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace tarvik {

// Base URLs are scheme + host (+ port), without a trailing slash; the callers
// append their fixed paths (endpointUrl).
struct Endpoints
{
    // The operator's server: catalog, update manifest, release packages.
    QUrl operatorBase;
    // Microsoft identity platform (device code and token requests below
    // "/consumers/oauth2/v2.0/").
    QUrl microsoftLogin;
    // The domain that a device-code verification address must be, or be a
    // subdomain of.
    QString microsoftDomain;
    // Xbox Live user authentication ("/user/authenticate").
    QUrl xboxUserAuth;
    // Relying-party identifier of the Xbox Live authentication.
    QString xboxRelyingParty;
    // XSTS authorisation ("/xsts/authorize").
    QUrl xsts;
    // Minecraft services: login with Xbox and the profile.
    QUrl minecraftServices;
    // Relying-party identifier of the Minecraft services.
    QString minecraftRelyingParty;
    // The game's website domain named in the missing-profile message.
    QString minecraftWebsite;
    // Minecraft version manifest ("/mc/game/version_manifest_v2.json").
    QUrl versionManifest;
    // Asset object store ("/<two hex digits>/<sha1>").
    QUrl assetObjects;
    // Fabric meta API.
    QUrl fabricMeta;
    // Adoptium assets API.
    QUrl adoptiumApi;

    // The values compiled into this build.
    static Endpoints compiledIn();
    // The values in force: compiledIn(), unless a test has replaced them.
    static Endpoints current();
};

// A base URL followed by an absolute path, parsed in tolerant mode.
QUrl endpointUrl(const QUrl& base, const QString& path);

// The operator's catalog: current().operatorBase + "/api/v1/catalog.json".
QUrl catalogUrl();
// The operator's update manifest: current().operatorBase + "/api/v1/update.json".
QUrl updateUrl();

namespace detail {
// Test seam: replaces the values that current() returns (std::nullopt
// restores the compiled-in ones). Safe to call from any thread; set it before
// the jobs that read it start. Use tarvik::test::ScopedEndpoints in tests.
void overrideEndpoints(const std::optional<Endpoints>& endpoints);
} // namespace detail

} // namespace tarvik
