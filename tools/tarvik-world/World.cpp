#include "World.h"

#include "Certificates.h"
#include "FolderRoute.h"
#include "JavaBuild.h"
#include "Programs.h"
#include "SignInPage.h"

#include "catalog/Catalog.h"
#include "devserver/ZipBuilder.h"
#include "fs/Error.h"
#include "platform/Platform.h"
#include "signing/Signing.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>

#include <cstdio>
#include <functional>
#include <stdexcept>

namespace tarvik::world {

namespace {

// Refresh token that the world issues and accepts, so that a launcher that
// kept it signs in silently after the world was restarted.
const QByteArray kRefreshToken = "M.R3_BAY.tarvik-world-refresh";

QString mavenPath(const QString& group, const QString& artifact, const QString& version,
                  const QString& classifier = {})
{
    QString path = QString(group).replace('.', '/') + '/' + artifact + '/' + version + '/' +
                   artifact + '-' + version;
    if (!classifier.isEmpty())
        path += '-' + classifier;
    return path + ".jar";
}

QString verdictOf(const QJsonObject& document)
{
    QString where;
    try {
        const Catalog catalog = Catalog::fromJson(document, &where);
        QStringList lines{QStringLiteral("OK")};
        for (const Event& event : catalog.events) {
            lines.append(
                "  " + event.id + ": Minecraft " + event.minecraft +
                (event.fabricLoader.isEmpty() ? QString() : " · Fabric " + event.fabricLoader) +
                QStringLiteral(" · mods: %1").arg(event.mods.size()));
        }
        return lines.join('\n');
    } catch (const Error& error) {
        return "INVALID: " + (where.isEmpty() ? QString() : where + ": ") + error.message();
    }
}

// Answers GET `path` with the signature of what `document` returns now, by
// the world's operator key (500 when either fails).
void serveSignature(dev::HttpsServer& server, const QString& path, const QString& keyFile,
                    std::function<QByteArray()> document)
{
    server.on("GET", path, [keyFile, document](const dev::RecordedRequest&) {
        try {
            return dev::Reply::ok(tools::signDocument(keyFile, document()));
        } catch (const std::exception&) {
            return dev::Reply::withStatus(500, "cannot sign");
        }
    });
}

} // namespace

World::World(WorldOptions options) : m_options(std::move(options)) {}

World::~World()
{
    // The handlers of the page and of the services refer to these objects:
    // the server (and its thread) goes first.
    m_server.reset();
    for (const QString& file : std::as_const(m_infoFiles))
        QFile::remove(file);
}

QUrl World::baseUrl() const
{
    return m_server ? m_server->baseUrl() : QUrl();
}

quint16 World::port() const
{
    return m_server ? m_server->port() : 0;
}

QString World::caFile() const
{
    return m_caFile;
}

QUrl World::verificationUrl() const
{
    return QUrl(QStringLiteral("https://localhost:%1").arg(port()) + signInPagePath());
}

QByteArray World::catalogBytes() const
{
    if (!m_options.catalogFile.isEmpty())
        return readAll(m_options.catalogFile);
    QByteArray bytes = readAll(m_options.sourceDir + "/sample/catalog.json");
    return bytes.replace((sampleOrigin() + '/').toUtf8(), (baseUrl().toString() + '/').toUtf8());
}

void World::start()
{
    if (m_options.sourceDir.isEmpty())
        fail(QStringLiteral("the world's source folder is not set"));
    const QString state = QDir(m_options.stateDir).absolutePath();
    const CertificateFiles certificates = ensureCertificates(state);
    m_caFile = certificates.caCertificate;
    // The operator's signing key, made once like the CA and kept: the world
    // build of the launcher compiles its public half in.
    m_keyFile = state + "/operator.key";
    m_publicKeyFile = state + "/operator.pub";
    if (!QFileInfo::exists(m_keyFile) || !QFileInfo::exists(m_publicKeyFile)) {
        try {
            tools::makeSigningKey(m_keyFile, m_publicKeyFile);
        } catch (const Error& error) {
            fail("cannot make the operator key: " + error.message());
        }
    }
    const MachineJava java = machineJava();
    const StandInJars jars = buildStandInJars(m_options.sourceDir + "/java", state);

    m_server = std::make_unique<dev::HttpsServer>(loadIdentity(certificates), m_options.port);
    if (!m_server->isListening()) {
        const QString why = m_server->errorString();
        m_server.reset();
        fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(m_options.port).arg(why));
    }
    m_server->setRecording(m_options.recordRequests);
    if (m_options.logRequests) {
        m_server->setObserver([](const dev::RecordedRequest& request, const dev::Reply& reply) {
            std::fprintf(stdout, "%s %s -> %d\n", request.method.constData(),
                         request.path.toUtf8().constData(), reply.status);
            std::fflush(stdout);
        });
    }

    // The operator.
    QJsonObject catalog = QJsonDocument::fromJson(catalogBytes()).object();
    m_catalogVerdict = verdictOf(catalog);
    m_server->on("GET", QStringLiteral("/api/v1/catalog.json"),
                 [this](const dev::RecordedRequest&) {
                     try {
                         return dev::Reply::json(catalogBytes());
                     } catch (const std::exception&) {
                         return dev::Reply::withStatus(500, "the catalog file cannot be read");
                     }
                 });
    const QString releases = m_options.releasesDir.isEmpty()
                                 ? m_options.sourceDir + "/sample/releases"
                                 : m_options.releasesDir;
    const QString mods =
        m_options.modsDir.isEmpty() ? m_options.sourceDir + "/sample/mods" : m_options.modsDir;
    m_server->on("GET", QStringLiteral("/api/v1/update.json"),
                 [releases](const dev::RecordedRequest&) {
                     QFile file(fileInside(releases, QStringLiteral("update.json")));
                     if (!file.open(QIODevice::ReadOnly))
                         return dev::Reply::withStatus(404, "no update.json");
                     return dev::Reply::json(file.readAll());
                 });
    // Both documents signed as they are served, whatever the folders hold.
    serveSignature(*m_server, QStringLiteral("/api/v1/catalog.json.sig"), m_keyFile,
                   [this] { return catalogBytes(); });
    serveSignature(*m_server, QStringLiteral("/api/v1/update.json.sig"), m_keyFile, [releases] {
        return readAll(fileInside(releases, QStringLiteral("update.json")));
    });
    serveFolder(*m_server, QStringLiteral("/releases/"), releases);
    serveFolder(*m_server, QStringLiteral("/mods/"), mods);

    // Sign-in.
    dev::AuthBehaviour behaviour;
    behaviour.clientId = catalog.value(QLatin1String("microsoftClientId")).toString();
    behaviour.verificationUri = verificationUrl().toString();
    behaviour.interval = 2;
    behaviour.awaitApproval = true;
    behaviour.autoApproveAfterMs =
        m_options.autoApproveSeconds < 0 ? -1 : m_options.autoApproveSeconds * 1000;
    behaviour.deviceRefreshToken = kRefreshToken;
    behaviour.acceptedRefreshToken = kRefreshToken;
    behaviour.rotatedRefreshToken = kRefreshToken;
    behaviour.profileName = StandInPlayer::name();
    behaviour.profileId = StandInPlayer::uuid();
    m_auth = std::make_unique<dev::AuthServices>(*m_server, behaviour);
    serveSignInPage(*m_server, *m_auth, StandInPlayer::name());

    // The game, Fabric and Java.
    m_game = std::make_unique<dev::FakeGameServices>(*m_server);
    publishGame(catalog, jars.client, jars.library, jars.loader, java.major);
    m_adoptium = std::make_unique<dev::FakeAdoptium>(*m_server);
    m_adoptium->serve(java.major, dev::jreArchive(PlatformDescriptor::current(),
                                                  dev::javaWrapperScript(java.path)));

    const QString ca = m_caFile.toHtmlEscaped();
    m_server->on("GET", QStringLiteral("/"),
                 dev::Reply::ok(QStringLiteral("<!doctype html><html lang=\"cs\"><head>"
                                               "<meta charset=\"utf-8\"><title>Tarvik World"
                                               "</title></head><body><h1>Tarvik World</h1>"
                                               "<p>Místní zkušební svět pro Tarvik Client.</p>"
                                               "<ul><li><a href=\"/link\">Přihlašovací stránka"
                                               "</a></li><li><a href=\"/api/v1/catalog.json\">"
                                               "Katalog</a></li></ul><p>Certifikační autorita: "
                                               "<code>%1</code></p></body></html>\n")
                                    .arg(ca)
                                    .toUtf8(),
                                "text/html; charset=utf-8"));
    writeInfoFiles();
}

void World::publishGame(const QJsonObject& catalog, const QByteArray& clientJar,
                        const QByteArray& libraryJar, const QByteArray& loaderJar, int javaMajor)
{
    // Every Minecraft version and Fabric loader that the catalog names.
    QStringList versions;
    QSet<QPair<QString, QString>> loaders;
    for (const QJsonValue& value : catalog.value(QLatin1String("events")).toArray()) {
        const QJsonObject event = value.toObject();
        const QString minecraft = event.value(QLatin1String("minecraft")).toString();
        const QString loader = event.value(QLatin1String("fabricLoader")).toString();
        if (!minecraft.isEmpty() && !versions.contains(minecraft))
            versions.append(minecraft);
        if (!minecraft.isEmpty() && !loader.isEmpty())
            loaders.insert({minecraft, loader});
    }

    const auto library = [](const QString& name, const QJsonObject& artifact,
                            const QJsonArray& rules = {}) {
        QJsonObject result{
            {QStringLiteral("name"), name},
            {QStringLiteral("downloads"), QJsonObject{{QStringLiteral("artifact"), artifact}}}};
        if (!rules.isEmpty())
            result.insert(QStringLiteral("rules"), rules);
        return result;
    };
    const QJsonObject client = m_game->serveFile(QStringLiteral("/v1/objects/") +
                                                     QString::fromLatin1(dev::sha1Hex(clientJar)) +
                                                     QStringLiteral("/client.jar"),
                                                 clientJar);
    const QByteArray manifest = "Manifest-Version: 1.0\n";
    const QJsonArray libraries{
        library(QStringLiteral("tarvik.world:gamelog:1.0"),
                m_game->serveLibrary(mavenPath(QStringLiteral("tarvik.world"),
                                               QStringLiteral("gamelog"), QStringLiteral("1.0")),
                                     libraryJar)),
        // Native libraries as the real versions ship them: one jar per
        // operating system, chosen by the rules.
        library(QStringLiteral("tarvik.world:natives:1.0:natives-linux"),
                m_game->serveLibrary(
                    mavenPath(QStringLiteral("tarvik.world"), QStringLiteral("natives"),
                              QStringLiteral("1.0"), QStringLiteral("natives-linux")),
                    dev::zipOf({{"linux/x64/libtarvik-world.so", "stand-in native library\n"},
                                {"META-INF/MANIFEST.MF", manifest}})),
                dev::FakeGameServices::osRule(QStringLiteral("linux"))),
        library(QStringLiteral("tarvik.world:natives:1.0:natives-windows"),
                m_game->serveLibrary(
                    mavenPath(QStringLiteral("tarvik.world"), QStringLiteral("natives"),
                              QStringLiteral("1.0"), QStringLiteral("natives-windows")),
                    dev::zipOf({{"windows/x64/tarvik-world.dll", "stand-in native library\n"},
                                {"META-INF/MANIFEST.MF", manifest}})),
                dev::FakeGameServices::osRule(QStringLiteral("windows")))};
    const QJsonObject assetIndex = m_game->serveAssetIndex(
        QStringLiteral("tarvik-world"),
        m_game->serveAssetObjects(
            {{QStringLiteral("minecraft/lang/cs_cz.json"),
              QStringLiteral("{\"menu.singleplayer\": \"Hra pro jednoho hráče\"}").toUtf8()},
             {QStringLiteral("minecraft/sounds.json"), "{}"},
             {QStringLiteral("icons/icon_16x16.png"), QByteArray(64, '\x7f')}}));

    for (const QString& id : std::as_const(versions)) {
        QJsonObject version = dev::FakeGameServices::versionDocument(
            id, javaMajor, QStringLiteral("tarvik.world.game.Main"));
        QJsonObject arguments = version.value(QLatin1String("arguments")).toObject();
        QJsonArray jvm = arguments.value(QLatin1String("jvm")).toArray();
        jvm.prepend(QStringLiteral("-Dtarvik.world.seconds=%1").arg(m_options.gameSeconds));
        arguments.insert(QStringLiteral("jvm"), jvm);
        version.insert(QStringLiteral("arguments"), arguments);
        version.insert(QStringLiteral("downloads"),
                       QJsonObject{{QStringLiteral("client"), client}});
        version.insert(QStringLiteral("libraries"), libraries);
        version.insert(QStringLiteral("assetIndex"), assetIndex);
        m_game->addVersion(id, version);
    }

    for (const auto& [minecraft, loader] : std::as_const(loaders)) {
        const QString repository = m_game->serveMaven(
            mavenPath(QStringLiteral("tarvik.world"), QStringLiteral("fabric-loader"), loader),
            loaderJar);
        m_game->serveFabricProfile(
            minecraft, loader,
            QJsonObject{
                {QStringLiteral("id"), QString("fabric-loader-" + loader + '-' + minecraft)},
                {QStringLiteral("inheritsFrom"), minecraft},
                {QStringLiteral("type"), QStringLiteral("release")},
                {QStringLiteral("mainClass"), QStringLiteral("tarvik.world.loader.Main")},
                {QStringLiteral("arguments"),
                 QJsonObject{{QStringLiteral("game"), QJsonArray{}},
                             {QStringLiteral("jvm"),
                              QJsonArray{QString("-Dtarvik.world.loader=" + loader)}}}},
                {QStringLiteral("libraries"),
                 QJsonArray{QJsonObject{
                     {QStringLiteral("name"), QString("tarvik.world:fabric-loader:" + loader)},
                     {QStringLiteral("url"), repository}}}}});
    }
}

void World::writeInfoFiles()
{
    const QDir state(QDir(m_options.stateDir).absolutePath());
    const QString base = baseUrl().toString();
    const QJsonObject info{{QStringLiteral("baseUrl"), base},
                           {QStringLiteral("port"), port()},
                           {QStringLiteral("caFile"), m_caFile},
                           {QStringLiteral("operatorKey"), m_publicKeyFile},
                           {QStringLiteral("verificationUrl"), verificationUrl().toString()},
                           {QStringLiteral("pid"), QCoreApplication::applicationPid()}};
    const QByteArray env =
        "TARVIK_WORLD_URL=" + base.toUtf8() + "\nTARVIK_WORLD_PORT=" + QByteArray::number(port()) +
        "\nTARVIK_WORLD_CA=" + m_caFile.toUtf8() +
        "\nTARVIK_WORLD_KEY=" + m_publicKeyFile.toUtf8() +
        "\nTARVIK_WORLD_PID=" + QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    for (const auto& [name, bytes] :
         {std::pair{QStringLiteral("world.json"), QJsonDocument(info).toJson()},
          std::pair{QStringLiteral("world.env"), env}}) {
        QSaveFile file(state.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
            fail("cannot write " + file.fileName());
        m_infoFiles.append(file.fileName());
    }
}

} // namespace tarvik::world
