// The real JVM end to end: an event is installed and prepared against the
// stand-in services (Linux descriptor), with an automatic Java whose launcher
// and console are wrappers around the machine's JVM, and a stand-in game
// compiled here from a few lines of Java. The LaunchPlan is started exactly
// as given, and the test reads back what the game saw. This proves the
// argument file, its quoting, the relative classpath and the command line.
#include "fs/SafeFiles.h"
#include "game/LaunchCommand.h"
#include "net/Http.h"
#include "support/FakeAdoptium.h"
#include "support/FakeGameServices.h"
#include "support/HttpsTestServer.h"
#include "support/StandInGame.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"
#include "support/ZipBuilder.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace tarvik;
using namespace tarvik::test;

namespace {

const QString kQuoted = R"(say "hi" to C:\games\new and \\server)";

// The records of "seen.txt": kind -> values in order ("prop" values are
// "key\tvalue").
QMultiMap<QString, QString> records(const QByteArray& seen)
{
    QMultiMap<QString, QString> result;
    const QStringList lines = QString::fromUtf8(seen).split('\n', Qt::SkipEmptyParts);
    for (auto it = lines.crbegin(); it != lines.crend();
         ++it) // QMultiMap keeps the last insert first
        result.insert(it->section('\t', 0, 0), it->section('\t', 1));
    return result;
}

} // namespace

class TestLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void gameSeesWhatThePlanSays();

private:
    QByteArray m_clientJar;
    QByteArray m_libraryJar;
};

void TestLaunch::initTestCase()
{
    QVERIFY2(!systemJava().isEmpty(), "no java in PATH (openjdk-17-jdk-headless is required)");
    const StandInGame& game = standInGame();
    QVERIFY2(game.error.isEmpty(), qPrintable(game.error));
    m_clientJar = game.clientJar;
    m_libraryJar = game.libraryJar;
}

void TestLaunch::gameSeesWhatThePlanSays()
{
    const PlatformDescriptor linux = PlatformDescriptor::forLinux(QSysInfo::kernelVersion());
    ScopedDataDir dataFolder;
    HttpsTestServer server;
    FakeGameServices services(server);
    FakeAdoptium adoptium(server);
    ScopedEndpoints endpoints(server.baseUrl());
    adoptium.serve(17, jreArchive(linux, javaWrapperScript(systemJava())));

    QJsonObject version = FakeGameServices::versionDocument("1.20.1", 17, StandInGame::mainClass());
    version["downloads"] =
        QJsonObject{{"client", services.serveFile("/v1/objects/client.jar", m_clientJar)}};
    version["libraries"] = QJsonArray{
        QJsonObject{{"name", "tarvik.standin:lib:1.0"},
                    {"downloads", QJsonObject{{"artifact", services.serveLibrary(
                                                               "tarvik/standin/lib/1.0/lib-1.0.jar",
                                                               m_libraryJar)}}}},
        QJsonObject{
            {"name", "org.lwjgl:lwjgl:3.3.1:natives-linux"},
            {"rules", FakeGameServices::osRule("linux")},
            {"downloads",
             QJsonObject{{"artifact",
                          services.serveLibrary(
                              "org/lwjgl/lwjgl/3.3.1/lwjgl-3.3.1-natives-linux.jar",
                              zipOf({{"linux/x64/org/lwjgl/liblwjgl.so", "elf"},
                                     {"org/lwjgl/Thing.class", "class"},
                                     {"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n"}}))}}}}};
    QJsonObject arguments = version["arguments"].toObject();
    QJsonArray jvm = arguments["jvm"].toArray();
    jvm.prepend(QString("-Dtarvik.quoted=" + kQuoted));
    arguments["jvm"] = jvm;
    version["arguments"] = arguments;
    version["assetIndex"] = services.serveAssetIndex(
        "5", services.serveAssetObjects({{"minecraft/lang/cs_cz.json", "{\"a\": \"b\"}"}}));
    services.addVersion("1.20.1", version);

    Event event;
    event.id = "autumn-cup";
    event.minecraft = "1.20.1";
    event.server = "play.example.org:25570";
    Settings settings;
    settings.ramMb = 1024;
    settings.width = 1000;
    settings.height = 700;
    settings.jvmFlags = R"(-XX:+UseSerialGC "-XX:HeapDumpPath=dump dir/heap.hprof" -Xss1m)";
    Account account;
    account.name = "Tester_42";
    account.uuid = "0123456789abcdef0123456789abcdef";
    account.xuid = "2535405000000000";
    account.clientId = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    account.accessToken = "eyJhbGciOi.token-body_+/=";
    account.expiresAt = QDateTime::currentDateTimeUtc().addSecs(3600);

    // Variables that would inject options or a classpath must not reach it.
    qputenv("JAVA_TOOL_OPTIONS", "-Dtarvik.injected=tool");
    qputenv("JDK_JAVA_OPTIONS", "-Dtarvik.injected=jdk");
    qputenv("CLASSPATH", "/nonexistent.jar");
    LaunchPlan plan;
    const QString error = errorOf([&] {
        Http http;
        plan = prepareLaunch(http, event, settings, account, {}, {}, linux);
    });
    qunsetenv("JAVA_TOOL_OPTIONS");
    qunsetenv("JDK_JAVA_OPTIONS");
    qunsetenv("CLASSPATH");
    QCOMPARE(error, kNoError);

    const QString instance = dataDir() + "/instances/autumn-cup";
    QCOMPARE(listFiles(instance + "/natives"), QStringList{"linux/x64/org/lwjgl/liblwjgl.so"});

    QProcess game;
    game.setProgram(plan.program);
    game.setArguments(plan.arguments);
    game.setWorkingDirectory(plan.workingDirectory);
    game.setProcessEnvironment(plan.environment);
    game.setProcessChannelMode(QProcess::MergedChannels);
    game.start();
    QVERIFY2(game.waitForFinished(60000), "the game did not end within 60 s");
    const QString output = QString::fromLocal8Bit(game.readAll());
    QVERIFY2(game.exitStatus() == QProcess::NormalExit && game.exitCode() == 0, qPrintable(output));
    QVERIFY2(!output.contains("Picked up"),
             qPrintable("the JVM picked up injected options:\n" + output));

    const QMultiMap<QString, QString> seen = records(readBytes(instance + "/seen.txt"));
    QVERIFY2(!seen.isEmpty(), qPrintable("the game wrote nothing:\n" + output));
    const QStringList args = seen.values("arg");
    const auto after = [&](const QString& option) { return args.value(args.indexOf(option) + 1); };
    QCOMPARE(after("--username"), QString("Tester_42"));
    QCOMPARE(after("--uuid"), account.uuid);
    QCOMPARE(after("--accessToken"), QString::fromUtf8(account.accessToken));
    QCOMPARE(after("--xuid"), account.xuid);
    QCOMPARE(after("--clientId"), account.clientId);
    QCOMPARE(after("--version"), QString("1.20.1"));
    // Relative to the working folder; seen.txt above was written through it.
    QCOMPARE(after("--gameDir"), QString("."));
    QCOMPARE(after("--assetsDir"), QString("../../assets"));
    QCOMPARE(after("--assetIndex"), QString("5"));
    QCOMPARE(after("--userType"), QString("msa"));
    QCOMPARE(after("--width"), QString("1000"));
    QCOMPARE(after("--height"), QString("700"));
    QCOMPARE(args.mid(args.size() - 2),
             QStringList({"--quickPlayMultiplayer", "play.example.org:25570"}));

    const QStringList jvmSeen = seen.values("jvm");
    QCOMPARE(jvmSeen.last(), QString("-Xmx1024M"));
    for (const QString flag :
         {"-XX:+UseSerialGC", "-XX:HeapDumpPath=dump dir/heap.hprof", "-Xss1m"})
        QVERIFY2(jvmSeen.contains(flag), qPrintable(flag + " missing from " + jvmSeen.join(" | ")));

    QMap<QString, QString> properties;
    for (const QString& value : seen.values("prop"))
        properties.insert(value.section('\t', 0, 0), value.section('\t', 1));
    QCOMPARE(properties.value("tarvik.quoted"), kQuoted);
    QCOMPARE(properties.value("tarvik.injected"), QString("<unset>"));
    QCOMPARE(properties.value("java.library.path"), QString("natives"));
    QCOMPARE(properties.value("minecraft.launcher.brand"), QString("TarvikClient"));
    QCOMPARE(properties.value("java.class.path"),
             QString("../../libraries/tarvik/standin/lib/1.0/lib-1.0.jar:"
                     "../../libraries/org/lwjgl/lwjgl/3.3.1/lwjgl-3.3.1-natives-linux.jar:"
                     "../../versions/1.20.1/client.jar"));
    QCOMPARE(seen.value("lib"), QString("library greets the game"));
}

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
