// Version data, rules, game file installation and launch assembly, against
// the stand-in game services on a real HTTPS server, with real archives and a
// per-test data folder. Windows behaviour is checked with the Windows
// descriptor; the automatic Java is a stand-in runtime whose console prints
// scripted probe output.
#include "fs/SafeFiles.h"
#include "game/GameInstall.h"
#include "game/LaunchCommand.h"
#include "game/VersionData.h"
#include "net/Http.h"
#include "support/FakeAdoptium.h"
#include "support/FakeGameServices.h"
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"
#include "support/ZipBuilder.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>
#include <QStringConverter>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

using namespace tarvik;
using namespace tarvik::test;

namespace {

const PlatformDescriptor kWindows = PlatformDescriptor::forWindows(QStringLiteral("10.0.22631"));
const PlatformDescriptor kLinux = PlatformDescriptor::forLinux(QStringLiteral("6.1.0-18-amd64"));
const QString kLegacyRefused =
    "Tento klient podporuje moderní Minecraft s Javou 17 a novější (1.18+).";
const QString kMissingSha1 = "Chybí platný SHA-1 herního souboru.";
const QString kFlagsRefused =
    "Vlastní JVM parametry mohou obsahovat pouze přepínače -XX: a -Xss pro "
    "výkon. RAM nastavte samostatně.";
const QString kUnsupportedChars = "JVM parametr obsahuje nepodporované znaky.";
const QString kBadServer = "Neplatná adresa Minecraft serveru.";

QJsonObject parse(const char* json)
{
    return QJsonDocument::fromJson(json).object();
}

Account signedIn(int secondsLeft = 3600)
{
    Account account;
    account.name = "Tester_42";
    account.uuid = "0123456789abcdef0123456789abcdef";
    account.xuid = "2535405000000000";
    account.clientId = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    account.accessToken = "eyJhbGciOi.token-body_+/=";
    account.expiresAt = QDateTime::currentDateTimeUtc().addSecs(secondsLeft);
    return account;
}

QByteArray probeOutput(int major, int dataModel = 64)
{
    return QByteArray("Property settings:\n    java.specification.version = ") +
           QByteArray::number(major) +
           "\n    sun.arch.data.model = " + QByteArray::number(dataModel) +
           "\nopenjdk version \"17.0.12\" 2024-07-16";
}

// One event's game published on the stand-in services: a version with the
// structure of a current release (an allowed library, one for another
// operating system, a "natives-windows" jar, a classifier native, a library
// without downloads), a Fabric profile (one library with a download object,
// one with only a repository and a ".sha1" file), assets with a repeated
// object, and an automatic Java 17 runtime.
class GameWorld
{
public:
    GameWorld()
    {
        adoptium.serve(17, jreArchive(kWindows, fakeProbeScript(probeOutput(17))));
        event.id = "spring-cup";
        event.name = "Jarní pohár";
        event.minecraft = "1.20.1";
        event.fabricLoader = "0.15.11";
        version = FakeGameServices::versionDocument(event.minecraft, 17);
        version["downloads"] =
            QJsonObject{{"client", game.serveFile("/v1/objects/client.jar", "client jar")}};

        const QJsonObject alpha =
            game.serveLibrary("com/example/alpha/1.0/alpha-1.0.jar", "alpha jar");
        const QJsonObject bridge =
            game.serveLibrary("ca/weblite/java-objc-bridge/1.1/java-objc-bridge-1.1.jar", "bridge");
        const QJsonObject lwjglNatives =
            game.serveLibrary("org/lwjgl/lwjgl/3.3.1/lwjgl-3.3.1-natives-windows.jar",
                              zipOf({{"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n"},
                                     {"windows/x64/org/lwjgl/lwjgl.dll", "lwjgl x64"},
                                     {"org/lwjgl/Native.class", "class"},
                                     {"shared.dll", "from the artifact jar"},
                                     {"LICENSE", "licence"}}));
        const QJsonObject glfw =
            game.serveLibrary("org/lwjgl/lwjgl-glfw/3.2.1/lwjgl-glfw-3.2.1.jar", "glfw jar");
        const QJsonObject glfw64 =
            game.serveLibrary("org/lwjgl/lwjgl-glfw/3.2.1/lwjgl-glfw-3.2.1-natives-windows-64.jar",
                              zipOf({{"glfw.dll", "glfw 64"},
                                     {"shared.DLL", "from the classifier"},
                                     {"README.txt", "x"}}));
        const QJsonObject glfw32 =
            game.serveLibrary("org/lwjgl/lwjgl-glfw/3.2.1/lwjgl-glfw-3.2.1-natives-windows-32.jar",
                              zipOf({{"glfw.dll", "glfw 32"}}));

        version["libraries"] = QJsonArray{
            QJsonObject{{"name", "com.example:alpha:1.0"},
                        {"downloads", QJsonObject{{"artifact", alpha}}}},
            QJsonObject{{"name", "ca.weblite:java-objc-bridge:1.1"},
                        {"downloads", QJsonObject{{"artifact", bridge}}},
                        {"rules", FakeGameServices::osRule("osx")}},
            QJsonObject{{"name", "org.lwjgl:lwjgl:3.3.1:natives-windows"},
                        {"downloads", QJsonObject{{"artifact", lwjglNatives}}},
                        {"rules", FakeGameServices::osRule("windows")}},
            QJsonObject{{"name", "org.lwjgl:lwjgl-glfw:3.2.1"},
                        {"downloads",
                         QJsonObject{{"artifact", glfw},
                                     {"classifiers", QJsonObject{{"natives-windows-64", glfw64},
                                                                 {"natives-windows-32", glfw32}}}}},
                        {"natives", QJsonObject{{"windows", "natives-windows-${arch}"},
                                                {"osx", "natives-macos"}}}},
            QJsonObject{{"name", "org.example:nothing:1.0"}}};

        assetA = "sound bytes";
        const QJsonObject objects = game.serveAssetObjects(
            {{"minecraft/sounds/a.ogg", assetA}, {"icons/icon_16x16.png", "icon bytes"}});
        QJsonObject withDuplicate = objects;
        withDuplicate["minecraft/sounds/a-copy.ogg"] = objects["minecraft/sounds/a.ogg"];
        version["assetIndex"] = game.serveAssetIndex("5", withDuplicate);

        mixinUrl = game.serveMaven("net/fabricmc/sponge-mixin/0.13.3+mixin.0.8.5/"
                                   "sponge-mixin-0.13.3+mixin.0.8.5.jar",
                                   "mixin jar");
        game.serveMaven("org/ow2/asm/asm/9.6/asm-9.6.jar", "asm jar", false);
        profile = QJsonObject{
            {"id", "fabric-loader-0.15.11-1.20.1"},
            {"inheritsFrom", "1.20.1"},
            {"mainClass", "net.fabricmc.loader.impl.launch.knot.KnotClient"},
            {"arguments",
             QJsonObject{{"game", QJsonArray{"--fabricGameOnly"}},
                         {"jvm", QJsonArray{"-DFabricMcEmu= net.minecraft.client.main.Main "}}}},
            {"libraries",
             QJsonArray{
                 QJsonObject{{"name", "net.fabricmc:sponge-mixin:0.13.3+mixin.0.8.5"},
                             {"url", mixinUrl}},
                 QJsonObject{
                     {"name", "org.ow2.asm:asm:9.6"},
                     {"downloads",
                      QJsonObject{
                          {"artifact", QJsonObject{{"url", server
                                                               .url("/maven/org/ow2/asm/asm/9.6/"
                                                                    "asm-9.6.jar")
                                                               .toString()},
                                                   {"sha1", QString(sha1Hex("asm jar").toUpper())},
                                                   {"size", 7}}}}}}}}};
    }

    // Publishes the version and the profile as they are now.
    void publish()
    {
        game.addVersion(event.minecraft, version);
        game.serveFabricProfile(event.minecraft, event.fabricLoader, profile);
    }

    GameInstallation install(const Settings& settings = {}, const Account& account = signedIn(),
                             const ProgressCallback& progress = {})
    {
        Http http({}, progress);
        return installGame(http, event, settings, account, {}, {}, kWindows);
    }

    QString library(const QString& path) const { return dataDir() + "/libraries/" + path; }

    HttpsTestServer server;
    FakeGameServices game{server};
    FakeAdoptium adoptium{server};
    ScopedEndpoints endpoints{server.baseUrl()};
    Event event;
    QJsonObject version;
    QJsonObject profile;
    QString mixinUrl;
    QByteArray assetA;
};

GameInstallation sampleInstallation(const QString& instance)
{
    GameInstallation installation;
    installation.instanceDir = instance;
    installation.javaPath = "/opt/java/bin/javaw.exe";
    installation.assetIndexId = "5";
    installation.mainClass = "net.minecraft.client.main.Main";
    installation.versionJson = FakeGameServices::versionDocument("1.20.1", 17);
    installation.classpath = {dataDir() + "/libraries/com/example/alpha/1.0/alpha-1.0.jar",
                              dataDir() + "/versions/1.20.1/client.jar"};
    installation.jvmArguments = collectArguments(
        installation.versionJson["arguments"].toObject()["jvm"].toArray(), kWindows);
    installation.gameArguments = collectArguments(
        installation.versionJson["arguments"].toObject()["game"].toArray(), kWindows);
    return installation;
}

} // namespace

class TestGame : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Version metadata and rules.
    void rules_data();
    void rules();
    void collectArgumentsInOrder();
    void modernArgumentsPerPlatform_data();
    void modernArgumentsPerPlatform();
    void gameFileDownloadChecksHash_data();
    void gameFileDownloadChecksHash();
    void loadVersionJson_data();
    void loadVersionJson();
    void loadVersionJsonTakesFirstDuplicate();

    // Game files.
    void installsEverything();
    void secondInstallDownloadsNoGameFile();
    void installRefuses_data();
    void installRefuses();
    void expiredSessionMakesNoRequest();

    // Launch assembly.
    void userFlags_data();
    void userFlags();
    void substitution_data();
    void substitution();
    void argumentFile_data();
    void argumentFile();
    void serverArgs_data();
    void serverArgs();
    void classpathIsRelative();
    void assembledPlan();
    void pathsRelativeToInstance_data();
    void pathsRelativeToInstance();
    void assemblyRefuses_data();
    void assemblyRefuses();

private:
    std::unique_ptr<ScopedDataDir> m_data;
};

void TestGame::init()
{
    m_data = std::make_unique<ScopedDataDir>();
}

void TestGame::cleanup()
{
    m_data.reset();
}

void TestGame::rules_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<bool>("windows");
    QTest::addColumn<bool>("linux");

    QTest::newRow("no rules") << QByteArray("{}") << true << true;
    QTest::newRow("empty rules") << QByteArray(R"({"rules": []})") << false << false;
    QTest::newRow("rules not an array")
        << QByteArray(R"({"rules": {"action": "allow"}})") << false << false;
    QTest::newRow("allow for osx only")
        << QByteArray(R"({"rules": [{"action": "allow", "os": {"name": "osx"}}]})") << false
        << false;
    QTest::newRow("allow osx, then allow all")
        << QByteArray(
               R"({"rules": [{"action": "allow", "os": {"name": "osx"}}, {"action": "allow"}]})")
        << true << true;
    QTest::newRow("allow all, then disallow osx")
        << QByteArray(
               R"({"rules": [{"action": "allow"}, {"action": "disallow", "os": {"name": "osx"}}]})")
        << true << true;
    QTest::newRow("allow all, then disallow windows")
        << QByteArray(
               R"({"rules": [{"action": "allow"}, {"action": "disallow", "os": {"name": "windows"}}]})")
        << false << true;
    QTest::newRow("os name compared exactly")
        << QByteArray(R"({"rules": [{"action": "allow", "os": {"name": "Windows"}}]})") << false
        << false;
    QTest::newRow("arch x86") << QByteArray(
                                     R"({"rules": [{"action": "allow", "os": {"arch": "x86"}}]})")
                              << false << false;
    QTest::newRow("arch amd64")
        << QByteArray(R"({"rules": [{"action": "allow", "os": {"arch": "amd64"}}]})") << true
        << true;
    QTest::newRow("arch x86_64")
        << QByteArray(R"({"rules": [{"action": "allow", "os": {"arch": "x86_64"}}]})") << true
        << true;
    QTest::newRow("windows 10 version expression")
        << QByteArray(
               R"({"rules": [{"action": "allow", "os": {"name": "windows", "version": "^10\\."}}]})")
        << true << false;
    QTest::newRow("version expression not matching")
        << QByteArray(R"({"rules": [{"action": "allow", "os": {"version": "^6\\."}}]})") << false
        << true;
    QTest::newRow("version search is unanchored")
        << QByteArray(R"({"rules": [{"action": "allow", "os": {"version": "226"}}]})") << true
        << false;
    QTest::newRow("invalid version expression never matches")
        << QByteArray(R"({"rules": [{"action": "allow", "os": {"version": "(10"}}]})") << false
        << false;
    QTest::newRow("custom resolution claimed")
        << QByteArray(
               R"({"rules": [{"action": "allow", "features": {"has_custom_resolution": true}}]})")
        << true << true;
    QTest::newRow("demo user not claimed")
        << QByteArray(R"({"rules": [{"action": "allow", "features": {"is_demo_user": true}}]})")
        << false << false;
    QTest::newRow("quick play not claimed")
        << QByteArray(
               R"({"rules": [{"action": "allow", "features": {"is_quick_play_multiplayer": true}}]})")
        << false << false;
    QTest::newRow("custom resolution required false")
        << QByteArray(
               R"({"rules": [{"action": "allow", "features": {"has_custom_resolution": false}}]})")
        << false << false;
    QTest::newRow("other feature required false")
        << QByteArray(R"({"rules": [{"action": "allow", "features": {"is_demo_user": false}}]})")
        << true << true;
    QTest::newRow("feature value not a boolean")
        << QByteArray(
               R"({"rules": [{"action": "allow", "features": {"has_custom_resolution": "yes"}}]})")
        << false << false;
    QTest::newRow("non-object rule applies and is not allow")
        << QByteArray(R"({"rules": [{"action": "allow"}, 7]})") << false << false;
    QTest::newRow("non-object rule then allow")
        << QByteArray(R"({"rules": [7, {"action": "allow"}]})") << true << true;
}

void TestGame::rules()
{
    QFETCH(QByteArray, element);
    QFETCH(bool, windows);
    QFETCH(bool, linux);
    const QJsonObject object = QJsonDocument::fromJson(element).object();
    QCOMPARE(rulesAllow(object, kWindows), windows);
    QCOMPARE(rulesAllow(object, kLinux), linux);
}

void TestGame::collectArgumentsInOrder()
{
    const QJsonArray arguments = QJsonDocument::fromJson(R"([
        "plain",
        {"rules": [{"action": "allow", "os": {"name": "windows"}}], "value": ["first", "second"]},
        {"rules": [{"action": "allow", "os": {"name": "osx"}}], "value": ["dropped"]},
        {"value": "single"},
        {"value": ["text", 5, null]},
        "${classpath}"])")
                                     .array();
    const QStringList expected{"plain", "first", "second", "single",
                               "text",  "",      "",       "${classpath}"};
    QCOMPARE(collectArguments(arguments, kWindows), expected);
}

void TestGame::modernArgumentsPerPlatform_data()
{
    QTest::addColumn<bool>("windows");
    QTest::newRow("windows") << true;
    QTest::newRow("linux") << false;
}

void TestGame::modernArgumentsPerPlatform()
{
    QFETCH(bool, windows);
    const PlatformDescriptor& platform = windows ? kWindows : kLinux;
    const QJsonObject arguments = FakeGameServices::modernArguments();
    const QStringList game = collectArguments(arguments["game"].toArray(), platform);
    const QStringList jvm = collectArguments(arguments["jvm"].toArray(), platform);

    // Resolution is the one claimed feature; demo and quick play never appear.
    QCOMPARE(game.mid(game.size() - 4),
             QStringList({"--width", "${resolution_width}", "--height", "${resolution_height}"}));
    QCOMPARE(game.size(), 26);
    QVERIFY2(!game.contains("--demo") && !game.contains("--quickPlayMultiplayer"),
             qPrintable(game.join(' ')));
    QVERIFY2(!jvm.contains("-XstartOnFirstThread") && !jvm.contains("-Xss1M"),
             qPrintable(jvm.join(' ')));
    QCOMPARE(jvm.first().startsWith("-XX:HeapDumpPath="), windows);
    QCOMPARE(jvm.mid(jvm.size() - 2), QStringList({"-cp", "${classpath}"}));
}

void TestGame::gameFileDownloadChecksHash_data()
{
    QTest::addColumn<QByteArray>("object");
    QTest::addColumn<QByteArray>("sha");
    QTest::addColumn<qint64>("size");

    QTest::newRow("upper-case digits stored lower-case")
        << QByteArray(
               R"({"sha1": "0C3EC587AF28E5A785C0B4A7B8A30F9A8F78F838", "size": 23028853, "url": "https://h/c.jar"})")
        << QByteArray("0c3ec587af28e5a785c0b4a7b8a30f9a8f78f838") << qint64(23028853);
    QTest::newRow("size missing is unknown")
        << QByteArray(
               R"({"sha1": "0c3ec587af28e5a785c0b4a7b8a30f9a8f78f838", "url": "https://h/c.jar"})")
        << QByteArray("0c3ec587af28e5a785c0b4a7b8a30f9a8f78f838") << qint64(-1);
    QTest::newRow("missing sha1") << QByteArray(R"({"url": "https://h/c.jar", "size": 1})")
                                  << QByteArray() << qint64(0);
    QTest::newRow("39 digits") << QByteArray(
                                      R"({"sha1": "0c3ec587af28e5a785c0b4a7b8a30f9a8f78f83"})")
                               << QByteArray() << qint64(0);
    QTest::newRow("not hexadecimal")
        << QByteArray(R"({"sha1": "0c3ec587af28e5a785c0b4a7b8a30f9a8f78f83g"})") << QByteArray()
        << qint64(0);
    QTest::newRow("trailing line feed")
        << QByteArray(R"({"sha1": "0c3ec587af28e5a785c0b4a7b8a30f9a8f78f838\n"})") << QByteArray()
        << qint64(0);
    QTest::newRow("sha1 a number") << QByteArray(R"({"sha1": 1234})") << QByteArray() << qint64(0);
}

void TestGame::gameFileDownloadChecksHash()
{
    QFETCH(QByteArray, object);
    QFETCH(QByteArray, sha);
    QFETCH(qint64, size);
    const QJsonObject json = QJsonDocument::fromJson(object).object();
    std::optional<Download> download;
    const QString error = errorOf([&] { download = gameFileDownload(json, "/target/c.jar"); });
    if (sha.isEmpty()) {
        QCOMPARE(error, kMissingSha1);
        return;
    }
    QVERIFY2(error == kNoError, qPrintable(error));
    QCOMPARE(download->sha, sha);
    QCOMPARE(download->size, size);
    QCOMPARE(download->path, QString("/target/c.jar"));
    QCOMPARE(download->algorithm, QCryptographicHash::Sha1);
    QCOMPARE(download->url, QUrl("https://h/c.jar"));
}

void TestGame::loadVersionJson_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<int>("major");
    QTest::addColumn<QString>("error");

    const auto modern = [](int major) {
        return QJsonDocument(FakeGameServices::versionDocument("1.20.1", major))
            .toJson(QJsonDocument::Compact);
    };
    QJsonObject noJava = FakeGameServices::versionDocument("1.20.1", 17);
    noJava.remove("javaVersion");
    QJsonObject legacy = FakeGameServices::versionDocument("1.20.1", 17);
    legacy.remove("arguments");
    legacy["minecraftArguments"] = "--username ${auth_player_name} --version ${version_name}";
    QJsonObject old = legacy;
    old["javaVersion"] = QJsonObject{{"component", "jre-legacy"}, {"majorVersion", 8}};
    QJsonObject textMajor = FakeGameServices::versionDocument("1.20.1", 17);
    textMajor["javaVersion"] = QJsonObject{{"majorVersion", "17"}};

    QTest::newRow("java 17") << modern(17) << 17 << kNoError;
    QTest::newRow("java 21") << modern(21) << 21 << kNoError;
    QTest::newRow("java 16") << modern(16) << 0 << kLegacyRefused;
    QTest::newRow("javaVersion absent") << QJsonDocument(noJava).toJson() << 0 << kLegacyRefused;
    QTest::newRow("major as text reads as 8")
        << QJsonDocument(textMajor).toJson() << 0 << kLegacyRefused;
    QTest::newRow("java 17 with flat arguments only")
        << QJsonDocument(legacy).toJson() << 0 << kLegacyRefused;
    QTest::newRow("old version") << QJsonDocument(old).toJson() << 0 << kLegacyRefused;
    QTest::newRow("not an object")
        << QByteArray("[1, 2]") << 0 << QString("Server poslal neplatný JSON.");
}

void TestGame::loadVersionJson()
{
    TARVIK_REQUIRE_TEST_SERVER();
    QFETCH(QByteArray, document);
    QFETCH(int, major);
    QFETCH(QString, error);

    HttpsTestServer server;
    FakeGameServices game(server);
    ScopedEndpoints endpoints(server.baseUrl());
    QJsonObject entry = game.serveFile("/v1/packages/x/1.20.1.json", document);
    entry["id"] = "1.20.1";
    game.addManifestEntry(
        QJsonObject{{"id", "1.20"}, {"url", "https://127.0.0.1:1/none"}, {"sha1", "zz"}});
    game.addManifestEntry(entry);

    QStringList reports;
    Http http;
    VersionData data;
    const QString thrown = errorOf([&] {
        data = tarvik::loadVersionJson(http, "1.20.1", [&](const QString& text, int value) {
            reports.append(text + ' ' + QString::number(value));
        });
    });
    QCOMPARE(thrown, error);
    QCOMPARE(reports.value(0), QString("Načítám oficiální metadata Minecraftu 0"));
    // The document stays in place whether or not it is accepted.
    const QString path = dataDir() + "/versions/1.20.1.json";
    QCOMPARE(readBytes(path), document);
    if (error == kNoError) {
        QCOMPARE(data.javaMajor, major);
        QCOMPARE(data.json["id"].toString(), QString("1.20.1"));
    }

    // A second call fetches the manifest again but keeps the intact file.
    server.clearRecords();
    errorOf([&] { tarvik::loadVersionJson(http, "1.20.1", {}); });
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().path, FakeGameServices::manifestPath());

    QCOMPARE(errorOf([&] { tarvik::loadVersionJson(http, "1.20.2", {}); }),
             QString("Minecraft verze eventu není v oficiálním katalogu."));
    QCOMPARE(errorOf([&] { tarvik::loadVersionJson(http, "1.20", {}); }), kMissingSha1);
}

void TestGame::loadVersionJsonTakesFirstDuplicate()
{
    TARVIK_REQUIRE_TEST_SERVER();
    HttpsTestServer server;
    FakeGameServices game(server);
    ScopedEndpoints endpoints(server.baseUrl());
    game.addVersion("1.21.1", FakeGameServices::versionDocument("1.21.1", 21));
    game.addVersion("1.21.1", FakeGameServices::versionDocument("1.21.1", 17));
    Http http;
    QCOMPARE(tarvik::loadVersionJson(http, "1.21.1", {}).javaMajor, 21);
    QCOMPARE(errorOf([&] { tarvik::loadVersionJson(http, "1.21.1 ", {}); }),
             QString("Minecraft verze eventu není v oficiálním katalogu."));

    server.on("GET", FakeGameServices::manifestPath(), TestReply::withStatus(503));
    QCOMPARE(errorOf([&] { tarvik::loadVersionJson(http, "1.21.1", {}); }),
             QString("Server odpověděl HTTP 503 (127.0.0.1)."));
}

void TestGame::installsEverything()
{
    TARVIK_REQUIRE_TEST_SERVER();
    GameWorld world;
    world.publish();
    Settings settings;
    const GameInstallation installation = world.install(settings);

    const QString data = dataDir();
    QCOMPARE(installation.instanceDir, data + "/instances/spring-cup");
    QCOMPARE(installation.assetIndexId, QString("5"));
    QCOMPARE(installation.mainClass, QString("net.fabricmc.loader.impl.launch.knot.KnotClient"));
    QVERIFY2(installation.javaPath.endsWith("/bin/javaw.exe") &&
                 installation.javaPath.startsWith(data + "/runtimes/java-17/"),
             qPrintable(installation.javaPath));

    const QStringList classpath{
        world.library("com/example/alpha/1.0/alpha-1.0.jar"),
        world.library("org/lwjgl/lwjgl/3.3.1/lwjgl-3.3.1-natives-windows.jar"),
        world.library("org/lwjgl/lwjgl-glfw/3.2.1/lwjgl-glfw-3.2.1.jar"),
        world.library(
            "net/fabricmc/sponge-mixin/0.13.3+mixin.0.8.5/sponge-mixin-0.13.3+mixin.0.8.5.jar"),
        world.library("org/ow2/asm/asm/9.6/asm-9.6.jar"),
        data + "/versions/1.20.1/client.jar"};
    QCOMPARE(installation.classpath, classpath);
    for (const QString& jar : classpath)
        QVERIFY2(QFileInfo(jar).isFile(), qPrintable(jar + " missing"));
    QVERIFY2(!QFileInfo::exists(
                 world.library("ca/weblite/java-objc-bridge/1.1/java-objc-bridge-1.1.jar")),
             "a library for another operating system was downloaded");
    QVERIFY2(QFileInfo(world.library(
                           "org/lwjgl/lwjgl-glfw/3.2.1/lwjgl-glfw-3.2.1-natives-windows-64.jar"))
                 .isFile(),
             "the 64-bit classifier was not downloaded");
    QVERIFY(!QFileInfo::exists(
        world.library("org/lwjgl/lwjgl-glfw/3.2.1/lwjgl-glfw-3.2.1-natives-windows-32.jar")));

    // Only libraries remain in natives; the classifier jar came later and wins.
    const QString natives = installation.instanceDir + "/natives";
    QCOMPARE(listFiles(natives), QStringList({"glfw.dll", "shared.DLL", "shared.dll",
                                              "windows/x64/org/lwjgl/lwjgl.dll"}));
    QCOMPARE(readBytes(natives + "/glfw.dll"), QByteArray("glfw 64"));

    QCOMPARE(installation.jvmArguments.last(),
             QString("-DFabricMcEmu= net.minecraft.client.main.Main "));
    QCOMPARE(installation.jvmArguments.at(installation.jvmArguments.size() - 2),
             QString("${classpath}"));
    QVERIFY2(!installation.gameArguments.contains("--fabricGameOnly"),
             "the profile's game arguments were used");
    QCOMPARE(installation.gameArguments.first(), QString("--username"));

    const QString objects = data + "/assets/objects/";
    const QString hash = QString::fromLatin1(sha1Hex(world.assetA));
    QCOMPARE(readBytes(objects + hash.left(2) + '/' + hash), world.assetA);
    QCOMPARE(world.server.requests('/' + hash.left(2) + '/' + hash).size(), 1);
    QVERIFY(QFileInfo(data + "/assets/indexes/5.json").isFile());
    QVERIFY(QFileInfo(data + "/versions/1.20.1.json").isFile());
    QVERIFY(QFileInfo(installation.instanceDir + "/mods").isDir());
}

void TestGame::secondInstallDownloadsNoGameFile()
{
    TARVIK_REQUIRE_TEST_SERVER();
    GameWorld world;
    world.publish();
    world.install();
    world.server.clearRecords();
    QStringList reports;
    world.install({}, signedIn(), [&](const QString& text, int value) {
        reports << text + " " + QString::number(value);
    });

    // The verification of what is on disk is reported while it runs: both
    // batches (7 game files, 2 asset objects) end at all files valid.
    QVERIFY2(reports.contains("Ověřuji soubory · 7 / 7 100") &&
                 reports.contains("Ověřuji soubory · 2 / 2 100"),
             qPrintable(reports.join(", ")));
    QVERIFY2(reports.filter("Stahuji").isEmpty(), qPrintable(reports.join(", ")));

    QStringList paths;
    for (const RecordedRequest& request : world.server.requests())
        paths.append(request.path);
    const QStringList expected{FakeGameServices::manifestPath(),
                               FakeGameServices::fabricProfilePath("1.20.1", "0.15.11"),
                               "/maven/net/fabricmc/sponge-mixin/0.13.3+mixin.0.8.5/"
                               "sponge-mixin-0.13.3+mixin.0.8.5.jar.sha1"};
    QCOMPARE(paths, expected);

    // A damaged library is fetched again, and only it.
    const QString alpha = world.library("com/example/alpha/1.0/alpha-1.0.jar");
    QVERIFY(writeBytes(alpha, "damaged"));
    world.server.clearRecords();
    world.install();
    QCOMPARE(world.server.requests().size(), 4);
    QCOMPARE(world.server.requests("/libraries/com/example/alpha/1.0/alpha-1.0.jar").size(), 1);
    QCOMPARE(readBytes(alpha), QByteArray("alpha jar"));
}

void TestGame::installRefuses_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("error");

    QTest::newRow("fabric name with classifier") << 1 << QString("Nepodporovaná Fabric knihovna.");
    QTest::newRow("fabric name with two parts") << 2 << QString("Nepodporovaná Fabric knihovna.");
    QTest::newRow("fabric sha1 file missing") << 3 << QString("Nelze ověřit Fabric knihovnu.");
    QTest::newRow("fabric sha1 file garbage") << 4 << QString("Neplatný hash Fabric knihovny.");
    QTest::newRow("asset hash upper-case") << 5 << QString("Neplatná herní textura.");
    QTest::newRow("library path climbs out")
        << 6 << QString("Nepovolená cesta v manifestu: ../../evil.jar");
    QTest::newRow("asset index id climbs out")
        << 7 << QString("Nepovolená cesta v manifestu: ../5");
    QTest::newRow("client without sha1") << 8 << kMissingSha1;
    QTest::newRow("classifier without sha1") << 9 << kMissingSha1;
    QTest::newRow("settings invalid") << 10 << QString("RAM musí být 1–64 GB v krocích po 256 MB.");
    QTest::newRow("library content differs from its hash")
        << 11 << QString("Stažení nebo kontrola souboru selhala: alpha-1.0.jar");
    QTest::newRow("fabric profile missing")
        << 12 << QString("Server odpověděl HTTP 404 (127.0.0.1).");
}

void TestGame::installRefuses()
{
    TARVIK_REQUIRE_TEST_SERVER();
    QFETCH(int, fault);
    QFETCH(QString, error);
    GameWorld world;
    Settings settings;
    QJsonArray fabricLibraries = world.profile["libraries"].toArray();
    QJsonArray libraries = world.version["libraries"].toArray();
    switch (fault) {
    case 1:
        fabricLibraries.append(QJsonObject{{"name", "org.example:natives:1.0:natives-windows"},
                                           {"url", world.mixinUrl}});
        break;
    case 2:
        fabricLibraries.append(
            QJsonObject{{"name", "org.example:natives"}, {"url", world.mixinUrl}});
        break;
    case 3:
        fabricLibraries.append(
            QJsonObject{{"name", "org.example:gone:1.0"}, {"url", world.mixinUrl}});
        break;
    case 4:
        world.server.on("GET", "/maven/org/example/bad/1.0/bad-1.0.jar.sha1",
                        TestReply::ok("<html>not found</html>"));
        fabricLibraries.append(
            QJsonObject{{"name", "org.example:bad:1.0"}, {"url", world.mixinUrl}});
        break;
    case 5: {
        const QByteArray bytes =
            R"({"objects": {"a": {"hash": "0C3EC587AF28E5A785C0B4A7B8A30F9A8F78F838", "size": 1}}})";
        QJsonObject index = world.game.serveFile("/indexes/upper.json", bytes);
        index["id"] = "5";
        world.version["assetIndex"] = index;
        break;
    }
    case 6: {
        QJsonObject evil{
            {"name", "x:evil:1"},
            {"downloads",
             QJsonObject{{"artifact", world.game.serveLibrary("x/evil.jar", "evil")}}}};
        QJsonObject artifact = evil["downloads"].toObject()["artifact"].toObject();
        artifact["path"] = "../../evil.jar";
        evil["downloads"] = QJsonObject{{"artifact", artifact}};
        libraries.append(evil);
        break;
    }
    case 7: {
        QJsonObject index = world.version["assetIndex"].toObject();
        index["id"] = "../5";
        world.version["assetIndex"] = index;
        break;
    }
    case 8:
        world.version["downloads"] =
            QJsonObject{{"client", QJsonObject{{"url", world.server.url("/c").toString()}}}};
        break;
    case 9: {
        QJsonObject glfw = libraries[3].toObject();
        QJsonObject downloads = glfw["downloads"].toObject();
        downloads["classifiers"] =
            QJsonObject{{"natives-windows-64", QJsonObject{{"path", "a/b.jar"}}}};
        glfw["downloads"] = downloads;
        libraries[3] = glfw;
        break;
    }
    case 10:
        settings.ramMb = 1000;
        break;
    case 11:
        world.game.serveLibrary("com/example/alpha/1.0/alpha-1.0.jar", "tampered jar");
        break;
    }
    world.profile["libraries"] = fabricLibraries;
    world.version["libraries"] = libraries;
    world.publish();
    if (fault == 12)
        world.server.on("GET", FakeGameServices::fabricProfilePath("1.20.1", "0.15.11"),
                        TestReply::withStatus(404));
    QCOMPARE(errorOf([&] { world.install(settings); }), error);
}

void TestGame::expiredSessionMakesNoRequest()
{
    TARVIK_REQUIRE_TEST_SERVER();
    GameWorld world;
    world.publish();
    QCOMPARE(errorOf([&] { world.install({}, signedIn(120)); }),
             QString("Přihlášení vypršelo. Přihlaste se znovu."));
    QCOMPARE(errorOf([&] { world.install({}, Account{}); }),
             QString("Přihlášení vypršelo. Přihlaste se znovu."));
    QVERIFY2(world.server.requests().isEmpty(), "a request was made without a usable session");
}

void TestGame::userFlags_data()
{
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QStringList>("tokens");
    const QStringList refused{"<refused>"};

    QTest::newRow("default") << "-XX:+UseG1GC" << QStringList{"-XX:+UseG1GC"};
    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("blanks only") << "   " << QStringList{};
    QTest::newRow("two flags") << "-Xss4M  -XX:MaxGCPauseMillis=50"
                               << QStringList{"-Xss4M", "-XX:MaxGCPauseMillis=50"};
    QTest::newRow("quoted with a space")
        << R"(-XX:+UseG1GC "-XX:HeapDumpPath=C:\dumps\my heap.hprof")"
        << QStringList{"-XX:+UseG1GC", R"(-XX:HeapDumpPath=C:\dumps\my heap.hprof)"};
    QTest::newRow("triple quote is a literal quote")
        << R"(-XX:Foo="""x)" << QStringList{R"(-XX:Foo="x)"};
    QTest::newRow("heap size") << "-XX:+UseG1GC -Xmx8G" << refused;
    QTest::newRow("lower-case prefix") << "-xx:+UseG1GC" << refused;
    QTest::newRow("system property") << "-Dfoo=bar" << refused;
    QTest::newRow("agent flag") << "-XX:+EnableDynamicAgentLoading" << refused;
    QTest::newRow("java agent") << "-javaagent:evil.jar" << refused;
    QTest::newRow("command on error") << R"(-XX:OnError="calc.exe")" << refused;
    QTest::newRow("command on out of memory") << "-XX:OnOutOfMemoryError=calc.exe" << refused;
    QTest::newRow("options file") << "-XX:VMOptionsFile=opts.txt" << refused;
    QTest::newRow("flags file") << "-XX:Flags=.hotspotrc" << refused;
    QTest::newRow("printing the flags is fine")
        << "-XX:+PrintFlagsFinal" << QStringList{"-XX:+PrintFlagsFinal"};
}

void TestGame::userFlags()
{
    QFETCH(QString, flags);
    QFETCH(QStringList, tokens);
    QStringList result;
    const QString error = errorOf([&] { result = userJvmFlags(flags); });
    if (tokens == QStringList{"<refused>"}) {
        QCOMPARE(error, kFlagsRefused);
        return;
    }
    QVERIFY2(error == kNoError, qPrintable(error));
    QCOMPARE(result, tokens);
}

void TestGame::substitution_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("error");

    QTest::newRow("plain and placeholders")
        << QStringList{"--username", "${auth_player_name}",
                       "-Dx=${natives_directory}/${launcher_name}"}
        << QStringList{"--username", "Tester_42", "-Dx=natives/TarvikClient"} << kNoError;
    QTest::newRow("value holding a placeholder is not expanded")
        << QStringList{"${game_directory}"} << QStringList{"/games/${auth_access_token}"}
        << kNoError;
    QTest::newRow("unknown key")
        << QStringList{"ok", "--quickPlayPath", "${quickPlayPath}"} << QStringList{}
        << QString("Nepodporovaný parametr nové verze Minecraftu: ${quickPlayPath}");
    QTest::newRow("unknown key beside a known one")
        << QStringList{"${user_type}:${unknown}"} << QStringList{}
        << QString("Nepodporovaný parametr nové verze Minecraftu: msa:${unknown}");
    QTest::newRow("unclosed")
        << QStringList{"-Dx=${user_type"} << QStringList{}
        << QString("Nepodporovaný parametr nové verze Minecraftu: -Dx=${user_type");
    QTest::newRow("placeholder inside an unknown one")
        << QStringList{"${x${user_type}}"} << QStringList{}
        << QString("Nepodporovaný parametr nové verze Minecraftu: ${xmsa}");
    QTest::newRow("key compared exactly")
        << QStringList{"${User_Type}"} << QStringList{}
        << QString("Nepodporovaný parametr nové verze Minecraftu: ${User_Type}");
}

void TestGame::substitution()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QFETCH(QString, error);
    const PlaceholderTable table{{"auth_player_name", "Tester_42"},
                                 {"natives_directory", "natives"},
                                 {"launcher_name", "TarvikClient"},
                                 {"user_type", "msa"},
                                 {"game_directory", "/games/${auth_access_token}"},
                                 {"auth_access_token", "secret"}};
    const QString thrown = errorOf([&] { substitutePlaceholders(table, arguments); });
    QCOMPARE(thrown, error);
    if (error == kNoError)
        QCOMPARE(arguments, expected);
}

void TestGame::argumentFile_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("plain") << QStringList{"-Xss1M", "-cp"} << QByteArray("\"-Xss1M\"\n\"-cp\"\n");
    QTest::newRow("quote and backslash") << QStringList{R"(-Dmsg=say "hi" C:\dir\n)"}
                                         << QByteArray(R"("-Dmsg=say \"hi\" C:\\dir\\n")"
                                                       "\n");
    QTest::newRow("spaces kept inside quotes")
        << QStringList{"-DFabricMcEmu= net.minecraft.client.main.Main "}
        << QByteArray("\"-DFabricMcEmu= net.minecraft.client.main.Main \"\n");
    QTest::newRow("line feed") << QStringList{"-Da=1", "-Db=x\ny"} << QByteArray();
    QTest::newRow("carriage return") << QStringList{"-Db=x\ry"} << QByteArray();
    QTest::newRow("unpaired surrogate")
        << QStringList{QString("-Dname=") + QChar(0xD800)} << QByteArray();
}

void TestGame::argumentFile()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, content);
    QByteArray result;
    const QString error = errorOf([&] { result = jvmArgumentFile(arguments); });
    if (content.isEmpty()) {
        QCOMPARE(error, kUnsupportedChars);
        return;
    }
    QVERIFY2(error == kNoError, qPrintable(error));
    QCOMPARE(result, content);
}

void TestGame::serverArgs_data()
{
    QTest::addColumn<bool>("quickPlay");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("none") << false << "" << QStringList{};
    QTest::newRow("none with quick play") << true << "" << QStringList{};
    QTest::newRow("host only") << false << "mc.example.org"
                               << QStringList{"--server", "mc.example.org", "--port", "25565"};
    QTest::newRow("host and port") << false << "mc.example.org:25570"
                                   << QStringList{"--server", "mc.example.org", "--port", "25570"};
    QTest::newRow("ipv6") << false << "[2001:db8::1]:25570"
                          << QStringList{"--server", "2001:db8::1", "--port", "25570"};
    QTest::newRow("quick play unchanged")
        << true << "mc.example.org:25570"
        << QStringList{"--quickPlayMultiplayer", "mc.example.org:25570"};
    QTest::newRow("port zero") << false << "mc.example.org:0" << QStringList{"<refused>"};
    QTest::newRow("port too large") << false << "mc.example.org:70000" << QStringList{"<refused>"};
    QTest::newRow("no host") << false << ":25565" << QStringList{"<refused>"};
    QTest::newRow("port not a number")
        << false << "mc.example.org:port" << QStringList{"<refused>"};
}

void TestGame::serverArgs()
{
    QFETCH(bool, quickPlay);
    QFETCH(QString, server);
    QFETCH(QStringList, expected);
    QJsonObject version = FakeGameServices::versionDocument("1.20.1", 17);
    if (!quickPlay) // an older release: no quick-play entries
        version["arguments"] =
            parse(R"({"game": ["--username", "${auth_player_name}"], "jvm": []})");
    QStringList result;
    const QString error = errorOf([&] { result = serverArguments(version, server); });
    if (expected == QStringList{"<refused>"}) {
        QCOMPARE(error, kBadServer);
        return;
    }
    QVERIFY2(error == kNoError, qPrintable(error));
    QCOMPARE(result, expected);
}

void TestGame::classpathIsRelative()
{
    const QString data = dataDir();
    const QStringList jars{data + "/libraries/a/b/1/b-1.jar", data + "/versions/1.20.1/client.jar"};
    QCOMPARE(classpathString(jars, data + "/instances/cup", kWindows),
             QString("../../libraries/a/b/1/b-1.jar;../../versions/1.20.1/client.jar"));
    QCOMPARE(classpathString(jars, data + "/instances/cup", kLinux),
             QString("../../libraries/a/b/1/b-1.jar:../../versions/1.20.1/client.jar"));
}

void TestGame::assembledPlan()
{
    const QString instance = dataDir() + "/instances/cup";
    ensureDir(instance);
    const GameInstallation installation = sampleInstallation(instance);
    Event event;
    event.id = "cup";
    event.minecraft = "1.20.1";
    event.server = "mc.example.org:25570";
    Settings settings;
    settings.ramMb = 3072;
    settings.width = 1600;
    settings.height = 900;
    settings.jvmFlags = "-XX:+UseG1GC -Xss2M";

    qputenv("JAVA_TOOL_OPTIONS", "-javaagent:evil.jar");
    qputenv("_JAVA_OPTIONS", "-Dx=1");
    qputenv("CLASSPATH", "/tmp/evil");
    qputenv("TARVIK_KEEP_ME", "kept");
    const LaunchPlan plan = assembleLaunch(installation, event, settings, signedIn(), kWindows);
    qunsetenv("JAVA_TOOL_OPTIONS");
    qunsetenv("_JAVA_OPTIONS");
    qunsetenv("CLASSPATH");
    qunsetenv("TARVIK_KEEP_ME");

    QCOMPARE(plan.program, installation.javaPath);
    QCOMPARE(plan.workingDirectory, instance);
    QCOMPARE(plan.arguments.mid(0, 2),
             QStringList({"@.tarvik-jvm.args", "net.minecraft.client.main.Main"}));
    const QStringList game = plan.arguments.mid(2);
    const auto after = [&](const QString& option) { return game.value(game.indexOf(option) + 1); };
    QCOMPARE(after("--username"), QString("Tester_42"));
    QCOMPARE(after("--accessToken"), QString("eyJhbGciOi.token-body_+/="));
    QCOMPARE(after("--gameDir"), QString("."));
    QCOMPARE(after("--assetsDir"), QDir::toNativeSeparators("../../assets"));
    QCOMPARE(after("--width"), QString("1600"));
    QCOMPARE(after("--height"), QString("900"));
    QCOMPARE(game.mid(game.size() - 2),
             QStringList({"--quickPlayMultiplayer", "mc.example.org:25570"}));

    QVERIFY(!plan.environment.contains("JAVA_TOOL_OPTIONS"));
    QVERIFY(!plan.environment.contains("_JAVA_OPTIONS"));
    QVERIFY(!plan.environment.contains("CLASSPATH"));
    QCOMPARE(plan.environment.value("TARVIK_KEEP_ME"), QString("kept"));

    const QList<QByteArray> lines = readBytes(instance + "/.tarvik-jvm.args").split('\n');
    QCOMPARE(lines.last(), QByteArray()); // ends in a line feed
    QCOMPARE(lines.at(lines.size() - 2), QByteArray("\"-Xmx3072M\""));
    QCOMPARE(lines.at(lines.size() - 3), QByteArray("\"-Xss2M\""));
    QCOMPARE(lines.at(lines.size() - 4), QByteArray("\"-XX:+UseG1GC\""));
    QCOMPARE(lines.at(lines.size() - 5),
             QByteArray("\"../../libraries/com/example/alpha/1.0/alpha-1.0.jar;"
                        "../../versions/1.20.1/client.jar\""));
    QVERIFY2(lines.contains("\"-Djava.library.path=natives\""),
             "natives directory not substituted");
}

// Folders reach the game relative to its working folder, so no argument (nor
// argument-file line) carries the data folder, whose name the ANSI code page
// may not hold. Under Wine with a Czech data folder on an English code page,
// scripts/test-windows runs this with letters the code page lacks.
void TestGame::pathsRelativeToInstance_data()
{
    QTest::addColumn<QString>("placeholder");
    QTest::addColumn<QString>("folder"); // below the data folder
    QTest::newRow("game directory") << "${game_directory}"
                                    << "instances/cup";
    QTest::newRow("assets root") << "${assets_root}"
                                 << "assets";
    QTest::newRow("library directory") << "${library_directory}"
                                       << "libraries";
    QTest::newRow("natives") << "${natives_directory}"
                             << "instances/cup/natives";
}

void TestGame::pathsRelativeToInstance()
{
    QFETCH(QString, placeholder);
    QFETCH(QString, folder);
    const QString data = QDir::cleanPath(dataDir());
    const QString instance = data + "/instances/cup";
    ensureDir(instance);
    GameInstallation installation = sampleInstallation(instance);
    installation.gameArguments = {"--dir", placeholder};
    installation.jvmArguments.append("-Dtarvik.dir=" + placeholder);
    Event event;
    event.id = "cup";
    event.minecraft = "1.20.1";
    const LaunchPlan plan = assembleLaunch(installation, event, {}, signedIn(), kWindows);

    const QString value = plan.arguments.value(plan.arguments.indexOf("--dir") + 1);
    QVERIFY2(QDir::isRelativePath(value), qPrintable(value));
    QCOMPARE(QDir::cleanPath(QDir(instance).absoluteFilePath(QDir::fromNativeSeparators(value))),
             data + "/" + folder);
    QStringList lines =
        QString::fromLocal8Bit(readBytes(instance + "/.tarvik-jvm.args")).split('\n');
    for (const QString& line : lines + plan.arguments) {
        QVERIFY2(!QDir::fromNativeSeparators(line).contains(data, Qt::CaseInsensitive),
                 qPrintable(line));
        // What the Java launcher reads through the ANSI code page.
        QStringEncoder encoder(QStringConverter::System);
        const QByteArray bytes = encoder.encode(line);
        QCOMPARE(QStringDecoder(QStringConverter::System).decode(bytes), line);
    }
}

void TestGame::assemblyRefuses_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("fileWritten");

    QTest::newRow("main class with a space")
        << 1 << QString("Neplatná hlavní třída Minecraftu.") << false;
    QTest::newRow("main class starting with a digit")
        << 2 << QString("Neplatná hlavní třída Minecraftu.") << false;
    QTest::newRow("session lapsed during install")
        << 3 << QString("Přihlášení během instalace vypršelo. Stiskněte Hrát znovu.") << true;
    QTest::newRow("unknown jvm placeholder")
        << 4 << QString("Nepodporovaný parametr nové verze Minecraftu: -Dx=${new_thing}") << false;
    QTest::newRow("heap size in the flags") << 5 << kFlagsRefused << false;
    QTest::newRow("bad server") << 6 << kBadServer << true;
}

void TestGame::assemblyRefuses()
{
    QFETCH(int, fault);
    QFETCH(QString, error);
    QFETCH(bool, fileWritten);
    const QString instance = dataDir() + "/instances/cup";
    ensureDir(instance);
    GameInstallation installation = sampleInstallation(instance);
    installation.versionJson["arguments"] = parse(R"({"game": [], "jvm": []})");
    Event event;
    event.minecraft = "1.20.1";
    Settings settings;
    Account account = signedIn();
    switch (fault) {
    case 1:
        installation.mainClass = "net.minecraft.Main --demo";
        break;
    case 2:
        installation.mainClass = "1net.Main";
        break;
    case 3:
        account = signedIn(119);
        break;
    case 4:
        installation.jvmArguments.append("-Dx=${new_thing}");
        break;
    case 5:
        settings.jvmFlags = "-XX:+UseG1GC -Xmx4G";
        break;
    case 6:
        event.server = "mc.example.org:0";
        break;
    }
    QCOMPARE(errorOf([&] { assembleLaunch(installation, event, settings, account, kWindows); }),
             error);
    QCOMPARE(QFileInfo::exists(instance + "/.tarvik-jvm.args"), fileWritten);
}

QTEST_GUILESS_MAIN(TestGame)
#include "tst_game.moc"
