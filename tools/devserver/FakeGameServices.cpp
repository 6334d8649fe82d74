#include "devserver/FakeGameServices.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QList>

#include <mutex>

namespace tarvik::dev {

class FakeGameServices::State
{
public:
    std::mutex mutex;
    QJsonArray versions;
};

QByteArray sha1Hex(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

FakeGameServices::FakeGameServices(HttpsServer& server)
    : m_server(server), m_state(std::make_shared<State>())
{
    std::weak_ptr<State> weak = m_state;
    m_server.on("GET", manifestPath(), [weak](const RecordedRequest&) {
        const std::shared_ptr<State> state = weak.lock();
        if (!state)
            return Reply::withStatus(404);
        std::lock_guard lock(state->mutex);
        const QJsonObject manifest{
            {"latest", QJsonObject{{"release", state->versions.isEmpty()
                                                   ? QString()
                                                   : state->versions.last()["id"].toString()}}},
            {"versions", state->versions}};
        return Reply::json(QJsonDocument(manifest).toJson(QJsonDocument::Indented));
    });
}

FakeGameServices::~FakeGameServices() = default;

QString FakeGameServices::manifestPath()
{
    return QStringLiteral("/mc/game/version_manifest_v2.json");
}

QString FakeGameServices::fabricProfilePath(const QString& minecraft, const QString& loader)
{
    return QStringLiteral("/v2/versions/loader/") + minecraft + '/' + loader +
           QStringLiteral("/profile/json");
}

QString FakeGameServices::mavenPrefix()
{
    return QStringLiteral("/maven/");
}

QJsonObject FakeGameServices::serveFile(const QString& path, const QByteArray& bytes)
{
    m_server.on("GET", path, Reply::ok(bytes));
    return QJsonObject{{"sha1", QString::fromLatin1(sha1Hex(bytes))},
                       {"size", bytes.size()},
                       {"url", m_server.url(path).toString()}};
}

QJsonObject FakeGameServices::serveLibrary(const QString& mavenPath, const QByteArray& bytes)
{
    QJsonObject artifact = serveFile(QStringLiteral("/libraries/") + mavenPath, bytes);
    artifact["path"] = mavenPath;
    return artifact;
}

QJsonObject FakeGameServices::addVersion(const QString& id, const QJsonObject& versionJson)
{
    const QByteArray bytes = QJsonDocument(versionJson).toJson(QJsonDocument::Compact);
    QJsonObject entry =
        serveFile(QStringLiteral("/v1/packages/") + QString::fromLatin1(sha1Hex(bytes)) + '/' + id +
                      QStringLiteral(".json"),
                  bytes);
    entry["id"] = id;
    entry["type"] = QStringLiteral("release");
    entry["time"] = QStringLiteral("2023-06-12T13:25:51+00:00");
    entry["releaseTime"] = QStringLiteral("2023-06-12T13:25:51+00:00");
    entry["complianceLevel"] = 1;
    entry.remove("size"); // the real manifest names no size
    addManifestEntry(entry);
    return entry;
}

void FakeGameServices::addManifestEntry(const QJsonObject& entry)
{
    std::lock_guard lock(m_state->mutex);
    m_state->versions.append(entry);
}

QJsonObject FakeGameServices::serveAssetObjects(const QMap<QString, QByteArray>& objects)
{
    QJsonObject result;
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        const QString hash = QString::fromLatin1(sha1Hex(it.value()));
        m_server.on("GET", '/' + hash.left(2) + '/' + hash, Reply::ok(it.value()));
        result.insert(it.key(), QJsonObject{{"hash", hash}, {"size", it.value().size()}});
    }
    return result;
}

QJsonObject FakeGameServices::serveAssetIndex(const QString& id, const QJsonObject& objects)
{
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{"objects", objects}}).toJson(QJsonDocument::Compact);
    QJsonObject assetIndex =
        serveFile(QStringLiteral("/v1/packages/") + QString::fromLatin1(sha1Hex(bytes)) + '/' + id +
                      QStringLiteral(".json"),
                  bytes);
    qint64 total = 0;
    for (const QJsonValue& object : objects)
        total += object.toObject()["size"].toInteger();
    assetIndex["id"] = id;
    assetIndex["totalSize"] = total;
    return assetIndex;
}

void FakeGameServices::serveFabricProfile(const QString& minecraft, const QString& loader,
                                          const QJsonObject& profile)
{
    m_server.on("GET", fabricProfilePath(minecraft, loader),
                Reply::json(QJsonDocument(profile).toJson(QJsonDocument::Compact)));
}

QString FakeGameServices::serveMaven(const QString& mavenPath, const QByteArray& bytes,
                                     bool withSha1File)
{
    const QString path = mavenPrefix() + mavenPath;
    m_server.on("GET", path, Reply::ok(bytes, "application/java-archive"));
    if (withSha1File)
        m_server.on("GET", path + QStringLiteral(".sha1"),
                    Reply::ok(sha1Hex(bytes) + '\n', "text/plain"));
    return m_server.url(mavenPrefix()).toString();
}

QJsonArray FakeGameServices::osRule(const QString& osName, const QString& action)
{
    return QJsonArray{QJsonObject{{"action", action}, {"os", QJsonObject{{"name", osName}}}}};
}

QJsonObject FakeGameServices::modernArguments()
{
    const auto feature = [](const char* name, const QJsonValue& value) {
        return QJsonObject{
            {"rules",
             QJsonArray{QJsonObject{{"action", "allow"}, {"features", QJsonObject{{name, true}}}}}},
            {"value", value}};
    };
    QJsonArray game{"--username",    "${auth_player_name}",  "--version",   "${version_name}",
                    "--gameDir",     "${game_directory}",    "--assetsDir", "${assets_root}",
                    "--assetIndex",  "${assets_index_name}", "--uuid",      "${auth_uuid}",
                    "--accessToken", "${auth_access_token}", "--clientId",  "${clientid}",
                    "--xuid",        "${auth_xuid}",         "--userType",  "${user_type}",
                    "--versionType", "${version_type}"};
    game.append(feature("is_demo_user", "--demo"));
    game.append(feature("has_custom_resolution", QJsonArray{"--width", "${resolution_width}",
                                                            "--height", "${resolution_height}"}));
    game.append(
        feature("has_quick_plays_support", QJsonArray{"--quickPlayPath", "${quickPlayPath}"}));
    game.append(feature("is_quick_play_singleplayer",
                        QJsonArray{"--quickPlaySingleplayer", "${quickPlaySingleplayer}"}));
    game.append(feature("is_quick_play_multiplayer",
                        QJsonArray{"--quickPlayMultiplayer", "${quickPlayMultiplayer}"}));
    game.append(
        feature("is_quick_play_realms", QJsonArray{"--quickPlayRealms", "${quickPlayRealms}"}));

    QJsonArray jvm;
    jvm.append(
        QJsonObject{{"rules", osRule("osx")}, {"value", QJsonArray{"-XstartOnFirstThread"}}});
    jvm.append(QJsonObject{{"rules", osRule("windows")},
                           {"value", "-XX:HeapDumpPath=MojangTricksIntelDriversForPerformance_"
                                     "javaw.exe_minecraft.exe.heapdump"}});
    jvm.append(QJsonObject{{"rules", QJsonArray{QJsonObject{{"action", "allow"},
                                                            {"os", QJsonObject{{"arch", "x86"}}}}}},
                           {"value", "-Xss1M"}});
    for (const char* argument :
         {"-Djava.library.path=${natives_directory}", "-Djna.tmpdir=${natives_directory}",
          "-Dorg.lwjgl.system.SharedLibraryExtractPath=${natives_directory}",
          "-Dio.netty.native.workdir=${natives_directory}",
          "-Dminecraft.launcher.brand=${launcher_name}",
          "-Dminecraft.launcher.version=${launcher_version}", "-cp", "${classpath}"})
        jvm.append(argument);
    return QJsonObject{{"game", game}, {"jvm", jvm}};
}

QJsonObject FakeGameServices::versionDocument(const QString& id, int javaMajor,
                                              const QString& mainClass)
{
    return QJsonObject{{"arguments", modernArguments()},
                       {"id", id},
                       {"javaVersion", QJsonObject{{"component", "java-runtime-gamma"},
                                                   {"majorVersion", javaMajor}}},
                       {"libraries", QJsonArray{}},
                       {"mainClass", mainClass},
                       {"minimumLauncherVersion", 21},
                       {"type", "release"}};
}

} // namespace tarvik::dev
