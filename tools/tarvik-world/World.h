// The local stand-in world: one HTTPS server on 127.0.0.1 that plays every
// outside party the launcher talks to. The operator (catalog, update manifest,
// releases and mod jars from folders), the Microsoft identity platform with a
// verification page where a person approves the device code, Xbox Live, XSTS
// and the Minecraft services with a stand-in player, the version manifest,
// version data, libraries and assets of stand-in game versions whose "game"
// is a small real Java program, the Fabric meta API and Maven repository, and
// the Java vendor's API with a runtime archive around the machine's JVM.
//
// Usage:
//     World world(options);
//     world.start();          // throws std::runtime_error
//     ... world.baseUrl(), world.caFile() ...
//
// Lives on the main thread; the server answers on its own thread. start()
// blocks while it makes the certificates and compiles the game (seconds).
#pragma once

#include "devserver/AuthServices.h"
#include "devserver/FakeAdoptium.h"
#include "devserver/FakeGameServices.h"
#include "devserver/HttpsServer.h"

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace tarvik::world {

struct WorldOptions
{
    // Certificates, compiled jars and the info files live here.
    QString stateDir;
    // 0: any free port.
    quint16 port = 8443;
    // Empty: the sample catalog, with its mod addresses moved to this world's
    // port. Otherwise served exactly as the file holds it, read anew for
    // every request.
    QString catalogFile;
    // The operator's release folder: "update.json" answers
    // "/api/v1/update.json", every file answers "/releases/" + its path.
    // Empty: the sample folder (no newer release).
    QString releasesDir;
    // Files answering "/mods/" + their path. Empty: the sample mod jars.
    QString modsDir;
    // Approve a device code by itself this long after it was issued
    // (negative: only a person approves, on the verification page).
    int autoApproveSeconds = -1;
    // How long the stand-in game runs before it ends by itself.
    int gameSeconds = 20;
    // Print one line per request on standard output.
    bool logRequests = true;
    // Keep the records of every request (tests).
    bool recordRequests = false;
    // The folder with "sample/" and "java/" (the world's sources).
    QString sourceDir;
};

// The stand-in player.
struct StandInPlayer
{
    static QString name() { return QStringLiteral("Zkusebni_Hrac"); }
    static QString uuid() { return QStringLiteral("5f8e3c2a9b7d4e61a0c2b4d6e8f01357"); }
};

class World
{
public:
    explicit World(WorldOptions options);
    // Stops the server and removes the info files.
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Makes or reuses the certificates, compiles the stand-in game, publishes
    // everything and starts listening; then writes "world.json" and
    // "world.env" (base URL, port, CA file, verification page, process id)
    // into the state folder. Throws std::runtime_error.
    void start();

    // "https://127.0.0.1:<port>": every service's base URL.
    QUrl baseUrl() const;
    quint16 port() const;
    // The CA certificate (PEM) to trust.
    QString caFile() const;
    // The public key (PEM) of the operator key that signs the catalog and the
    // update manifest ("operator.pub" beside "operator.key" in the state
    // folder, made on the first start).
    QString publicKeyFile() const { return m_publicKeyFile; }
    // The verification page, as the launcher shows it ("https://localhost:<port>/link").
    QUrl verificationUrl() const;
    // The catalog's verdict by the launcher's own validation: "OK" and a
    // summary, or where and why it fails.
    QString catalogVerdict() const { return m_catalogVerdict; }

    dev::HttpsServer& server() { return *m_server; }
    dev::AuthServices& auth() { return *m_auth; }

    // The sample catalog's mod addresses name this origin; the world moves
    // them to its own.
    static QString sampleOrigin() { return QStringLiteral("https://127.0.0.1:8443"); }

private:
    QByteArray catalogBytes() const;
    void publishGame(const QJsonObject& catalog, const QByteArray& clientJar,
                     const QByteArray& libraryJar, const QByteArray& loaderJar, int javaMajor);
    void writeInfoFiles();

    WorldOptions m_options;
    QString m_caFile;
    QString m_keyFile;
    QString m_publicKeyFile;
    QString m_catalogVerdict;
    std::unique_ptr<dev::HttpsServer> m_server;
    std::unique_ptr<dev::AuthServices> m_auth;
    std::unique_ptr<dev::FakeGameServices> m_game;
    std::unique_ptr<dev::FakeAdoptium> m_adoptium;
    QStringList m_infoFiles;
};

} // namespace tarvik::world
