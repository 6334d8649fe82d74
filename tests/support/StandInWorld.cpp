#include "support/StandInWorld.h"

#include "auth/CredentialStore.h"
#include "platform/Platform.h"
#include "support/StandInGame.h"
#include "support/ZipBuilder.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace tarvik::test {

namespace {

struct SampleMod
{
    const char* id;
    const char* name;
    const char* category;
    const char* description;
    bool required;
    const char* dependency;
};

const SampleMod kMods[] = {
    {"sodium", "Sodium", "Výkon", "Rychlejší vykreslování a plynulejší snímky.", true, nullptr},
    {"lithium", "Lithium", "Výkon", "Zrychlí herní logiku bez změny pravidel.", false, nullptr},
    {"modmenu", "Mod Menu", "Rozhraní", "Přehled nainstalovaných modů v menu.", false,
     "fabric-api"},
    {"fabric-api", "Fabric API", "Rozhraní", "Společná knihovna pro Fabric mody.", false, nullptr},
    {"zoomify", "Zoomify", "Rozhraní", "Přiblížení pohledu jednou klávesou.", false, nullptr},
};

QByteArray modJar(const QString& id)
{
    return zipOf({{QByteArrayLiteral("fabric.mod.json"),
                   QByteArrayLiteral("{\"id\":\"") + id.toUtf8() + QByteArrayLiteral("\"}")}});
}

} // namespace

StandInWorld::StandInWorld()
    : m_auth(m_server), m_game(m_server), m_adoptium(m_server), m_endpoints(m_server.baseUrl())
{
    const StandInGame& game = standInGame();
    const QString java = systemJava();
    if (java.isEmpty())
        m_error = QStringLiteral("no java in PATH (openjdk-17-jdk-headless is required)");
    else
        m_error = game.error;
    if (!m_error.isEmpty())
        return;

    // The automatic runtime: a wrapper around the machine's JVM. With
    // TARVIK_STANDIN_JAVA=vanish it removes itself after the probe, so that
    // the game's start fails; with =ignore-term the game ignores SIGTERM.
    const QByteArray script =
        QByteArrayLiteral("#!/bin/sh\n"
                          "if [ \"$1\" = -XshowSettings:properties ]; then\n"
                          "  '") +
        java.toUtf8() +
        QByteArrayLiteral("' \"$@\"; status=$?\n"
                          "  [ \"$TARVIK_STANDIN_JAVA\" = vanish ] && rm -f \"$0\"\n"
                          "  exit $status\n"
                          "fi\n"
                          "[ \"$TARVIK_STANDIN_JAVA\" = ignore-term ] && trap '' TERM\n"
                          "exec '") +
        java.toUtf8() + QByteArrayLiteral("' \"$@\"\n");
    m_adoptium.serve(17, jreArchive(PlatformDescriptor::current(), script));

    QJsonObject version =
        FakeGameServices::versionDocument(QStringLiteral("1.20.1"), 17, StandInGame::mainClass());
    version[QStringLiteral("downloads")] =
        QJsonObject{{QStringLiteral("client"),
                     m_game.serveFile(QStringLiteral("/v1/objects/client.jar"), game.clientJar)}};
    version[QStringLiteral("libraries")] = QJsonArray{QJsonObject{
        {QStringLiteral("name"), QStringLiteral("tarvik.standin:lib:1.0")},
        {QStringLiteral("downloads"),
         QJsonObject{{QStringLiteral("artifact"),
                      m_game.serveLibrary(QStringLiteral("tarvik/standin/lib/1.0/lib-1.0.jar"),
                                          game.libraryJar)}}}}};
    version[QStringLiteral("assetIndex")] = m_game.serveAssetIndex(
        QStringLiteral("5"), m_game.serveAssetObjects({{QStringLiteral("minecraft/lang/cs_cz.json"),
                                                        "{\"a\": \"b\"}"}}));
    m_game.addVersion(QStringLiteral("1.20.1"), version);

    for (const SampleMod& mod : kMods) {
        const QString id = QString::fromUtf8(mod.id);
        m_server.on("GET", QStringLiteral("/mods/") + id + QStringLiteral(".jar"),
                    TestReply::ok(modJar(id)));
    }
    serveCatalog(sampleCatalog(m_server.baseUrl()));
    serveUpdateManifest({{QStringLiteral("schema"), 1},
                         {QStringLiteral("version"), QStringLiteral("1.0.0")},
                         {QStringLiteral("revision"), 1}});
}

StandInWorld::~StandInWorld() = default;

QString StandInWorld::clientId() const
{
    return m_auth.behaviour().clientId;
}

QJsonObject StandInWorld::sampleCatalog(const QUrl& base)
{
    QJsonArray mods;
    for (const SampleMod& mod : kMods) {
        const QString id = QString::fromUtf8(mod.id);
        const QByteArray jar = modJar(id);
        QJsonObject object{
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), QString::fromUtf8(mod.name)},
            {QStringLiteral("version"), QStringLiteral("1.0.%1").arg(mods.size())},
            {QStringLiteral("description"), QString::fromUtf8(mod.description)},
            {QStringLiteral("category"), QString::fromUtf8(mod.category)},
            {QStringLiteral("file"), QString(id + QStringLiteral(".jar"))},
            {QStringLiteral("required"), mod.required},
            {QStringLiteral("url"),
             QString(base.toString() + QStringLiteral("/mods/") + id + QStringLiteral(".jar"))},
            {QStringLiteral("sha512"),
             QString::fromLatin1(
                 QCryptographicHash::hash(jar, QCryptographicHash::Sha512).toHex())},
            {QStringLiteral("size"), qint64(jar.size())}};
        if (mod.dependency)
            object[QStringLiteral("dependencies")] = QJsonArray{QString::fromUtf8(mod.dependency)};
        mods.append(object);
    }
    const QJsonArray events{
        QJsonObject{{QStringLiteral("id"), QStringLiteral("jarni-turnaj")},
                    {QStringLiteral("name"), QStringLiteral("Jarní turnaj")},
                    {QStringLiteral("description"),
                     QStringLiteral("Klasický Minecraft bez modů, hraje se na vlastním světě.")},
                    {QStringLiteral("minecraft"), QStringLiteral("1.20.1")}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("fabric-cup")},
                    {QStringLiteral("name"), QStringLiteral("Fabric pohár")},
                    {QStringLiteral("description"),
                     QStringLiteral("Soutěž s výkonnostními mody na serveru pořadatele.")},
                    {QStringLiteral("minecraft"), QStringLiteral("1.20.1")},
                    {QStringLiteral("fabricLoader"), QStringLiteral("0.16.5")},
                    {QStringLiteral("server"), QStringLiteral("play.example.org:25565")},
                    {QStringLiteral("mods"), mods}}};
    return {{QStringLiteral("schema"), 1},
            {QStringLiteral("microsoftClientId"), AuthBehaviour().clientId},
            {QStringLiteral("events"), events}};
}

void StandInWorld::serveCatalog(const QJsonObject& catalog)
{
    m_server.on("GET", catalogPath(), TestReply::json(QJsonDocument(catalog).toJson()));
}

void StandInWorld::serveUpdateManifest(const QJsonObject& manifest)
{
    m_server.on("GET", updatePath(), TestReply::json(QJsonDocument(manifest).toJson()));
}

void StandInWorld::storeRefreshToken()
{
    CredentialStore::write(clientId(), m_auth.behaviour().acceptedRefreshToken);
}

} // namespace tarvik::test
