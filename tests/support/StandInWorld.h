// Every outside party of the launcher on one HttpsTestServer, ready for the
// Controller and window tests: the operator (catalog, update manifest), the
// Microsoft/Xbox/Minecraft sign-in chain, the game's version data, files and
// assets for a stand-in game version whose client is the real stand-in game,
// and an automatic Java runtime that wraps the machine's JVM. The endpoints
// point at the server for the life of the object; the caller keeps its own
// ScopedDataDir.
//
// The sample catalog has a vanilla event ("jarni-turnaj", Minecraft 1.20.1)
// and a Fabric event ("fabric-cup") with a server and mods: "sodium"
// (required), "lithium" (optional), "modmenu" (optional, depends on
// "fabric-api"), "fabric-api" (optional) and "zoomify" (optional).
#pragma once

#include "support/AuthServices.h"
#include "support/FakeAdoptium.h"
#include "support/FakeGameServices.h"
#include "support/HttpsTestServer.h"
#include "support/TestEndpoints.h"

#include <QJsonObject>
#include <QString>

namespace tarvik::test {

class StandInWorld
{
public:
    static QString catalogPath() { return QStringLiteral("/api/v1/catalog.json"); }
    static QString updatePath() { return QStringLiteral("/api/v1/update.json"); }

    // Serves the sample catalog and an update manifest without an update.
    // Needs the machine's JDK (see StandInGame.h); `error()` says why not.
    StandInWorld();
    ~StandInWorld();
    StandInWorld(const StandInWorld&) = delete;
    StandInWorld& operator=(const StandInWorld&) = delete;

    // Why the world is not complete (no JDK, jars not built); empty when it is.
    QString error() const { return m_error; }

    HttpsTestServer& server() { return m_server; }
    AuthServices& auth() { return m_auth; }
    QString clientId() const;

    static QJsonObject sampleCatalog(const QUrl& base);
    void serveCatalog(const QJsonObject& catalog);
    void serveUpdateManifest(const QJsonObject& manifest);

    // Stores the refresh token that the identity stand-in accepts, so that
    // a silent sign-in succeeds.
    void storeRefreshToken();

private:
    HttpsTestServer m_server;
    AuthServices m_auth;
    FakeGameServices m_game;
    FakeAdoptium m_adoptium;
    ScopedEndpoints m_endpoints;
    QString m_error;
};

} // namespace tarvik::test
