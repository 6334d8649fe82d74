// Stand-ins for the game's public services on an HttpsServer: the
// version manifest and version data, the library and client downloads, the
// asset index and asset object store, the Fabric meta API and a Fabric Maven
// repository. Every published file is served with its real SHA-1 and size,
// so the documents built here verify exactly like the real ones.
//
// Also builds version documents shaped like the real ones (the structured
// "arguments" form with feature- and OS-guarded entries, libraries with
// artifacts, "natives-windows" jars and classifier natives), rebuilt in code
// rather than copied, since the originals are not freely licensed.
//
// Usage:
//     HttpsServer server(identity);
//     FakeGameServices game(server);
//     ScopedEndpoints endpoints(server.baseUrl());
//     QJsonObject version = FakeGameServices::versionDocument("1.20.1", 17);
//     version["downloads"] = QJsonObject{{"client", game.serveFile("/client.jar", jar)}};
//     ...
//     game.addVersion("1.20.1", version);
//
// Usable from any thread; the manifest route runs on the server's thread and
// reads the entries under a mutex. The object may be destroyed before the
// server.
#pragma once

#include "devserver/HttpsServer.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QUrl>

#include <memory>

namespace tarvik::dev {

class FakeGameServices
{
public:
    explicit FakeGameServices(HttpsServer& server);
    ~FakeGameServices();
    FakeGameServices(const FakeGameServices&) = delete;
    FakeGameServices& operator=(const FakeGameServices&) = delete;

    static QString manifestPath();
    static QString fabricProfilePath(const QString& minecraft, const QString& loader);
    // Path prefix of the Fabric Maven repository ("/maven/").
    static QString mavenPrefix();

    // Serves bytes at `path`; returns the download object {"sha1","size","url"}.
    QJsonObject serveFile(const QString& path, const QByteArray& bytes);
    // Serves a library below "/libraries/"; returns the artifact object
    // {"path","sha1","size","url"}.
    QJsonObject serveLibrary(const QString& mavenPath, const QByteArray& bytes);

    // Publishes the version JSON (compact, as the real service serves it)
    // under its SHA-1 and appends its entry to the manifest; returns the
    // entry.
    QJsonObject addVersion(const QString& id, const QJsonObject& versionJson);
    // Appends a manifest entry as given (duplicates, faulty hashes).
    void addManifestEntry(const QJsonObject& entry);

    // Serves each blob at the asset object store ("/<two hex digits>/<sha1>")
    // and returns the index's "objects" member: name -> {"hash","size"}.
    QJsonObject serveAssetObjects(const QMap<QString, QByteArray>& objects);
    // Serves {"objects": objects} as asset index `id`; returns the version's
    // "assetIndex" object {"id","sha1","size","totalSize","url"}.
    QJsonObject serveAssetIndex(const QString& id, const QJsonObject& objects);

    // Serves the Fabric loader profile of minecraft + loader.
    void serveFabricProfile(const QString& minecraft, const QString& loader,
                            const QJsonObject& profile);
    // Serves a jar in the Maven repository, with or without its ".sha1" file
    // (hexadecimal digest, a line feed); returns the library's "url" value,
    // the repository root with its trailing slash.
    QString serveMaven(const QString& mavenPath, const QByteArray& bytes, bool withSha1File = true);

    // A version document with the real structure: "javaVersion", the
    // "arguments" of a current release (game and jvm, with the quick-play and
    // custom-resolution features and OS-guarded JVM entries), "mainClass",
    // "type"; "downloads", "libraries" and "assetIndex" are for the caller.
    static QJsonObject
    versionDocument(const QString& id, int javaMajor,
                    const QString& mainClass = QStringLiteral("net.minecraft.client.main.Main"));
    // The "arguments" object of a current release.
    static QJsonObject modernArguments();
    // A rule {"action": action, "os": {"name": osName}} list.
    static QJsonArray osRule(const QString& osName,
                             const QString& action = QStringLiteral("allow"));

private:
    class State;
    HttpsServer& m_server;
    std::shared_ptr<State> m_state;
};

// The lower-case hexadecimal SHA-1 of bytes.
QByteArray sha1Hex(const QByteArray& bytes);

} // namespace tarvik::dev
