// The Java runtime: the probe against the machine's real JVM and scripted
// runtimes, and the automatic runtime fetched from the stand-in vendor API
// over real HTTPS, unpacked, recorded and reused.
#include "fs/SafeFiles.h"
#include "game/JavaRuntime.h"
#include "support/FakeAdoptium.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"
#include "support/ZipBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace tarvik;
using namespace tarvik::test;

namespace {

const QString kUnfit = QStringLiteral("Tento event potřebuje 64bitovou Javu %1. Zvolte "
                                      "automatickou Javu nebo odpovídající instalaci.");
const QString kCannotStart = QStringLiteral("Vybranou Javu nelze spustit.");

bool writeScript(const QString& path, const QByteArray& script)
{
    return writeBytes(path, script) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray probeOutput(const QByteArray& version, const QByteArray& model)
{
    return "Property settings:\n    file.encoding = UTF-8\n    java.specification.version = " +
           version + "\n    java.vendor = Stand-in\n    sun.arch.data.model = " + model +
           "\n\nopenjdk version \"" + version + ".0.1\"\n";
}

} // namespace

class TestJava : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void probe_data();
    void probe();
    void probeHidesJavaOptionsFromTheRuntime();
    void probeIsCancelledWithinAPoll();
    void customPathIsUsedAsGiven();
    void automaticRuntimeIsFetchedRecordedAndReused();
    void automaticRuntimeOnLinux();
    void vendorFailures_data();
    void vendorFailures();
    void damagedRecordFile();

private:
    QString m_java;
};

void TestJava::initTestCase()
{
    m_java = systemJava();
    QVERIFY2(!m_java.isEmpty(), "a JVM must be installed (scripts/test installs openjdk-17)");
    HttpsTestServer::trustTestCa();
}

void TestJava::probe_data()
{
    QTest::addColumn<QByteArray>("console"); // script for java.exe; empty: no java.exe
    QTest::addColumn<int>("major");
    QTest::addColumn<QString>("message");
    const QByteArray real = javaWrapperScript(systemJava());
    QTest::newRow("real JVM 17") << real << 17 << QString();
    QTest::newRow("real JVM 17 for an event that needs 21") << real << 21 << kUnfit.arg(21);
    QTest::newRow("Java 21 for an event that needs 17")
        << fakeProbeScript(probeOutput("21", "64")) << 17 << kUnfit.arg(17);
    QTest::newRow("32-bit data model")
        << fakeProbeScript(probeOutput("17", "32")) << 17 << kUnfit.arg(17);
    QTest::newRow("non-zero exit")
        << fakeProbeScript(probeOutput("17", "64"), 1) << 17 << kUnfit.arg(17);
    QTest::newRow("no version line")
        << fakeProbeScript("sun.arch.data.model = 64") << 17 << kUnfit.arg(17);
    QTest::newRow("old version scheme 1.8")
        << fakeProbeScript(probeOutput("1.8", "64")) << 8 << kUnfit.arg(8);
    QTest::newRow("version 170 is not 17")
        << fakeProbeScript(probeOutput("170", "64")) << 17 << kUnfit.arg(17);
    QTest::newRow("no java.exe beside javaw.exe") << QByteArray() << 17 << kCannotStart;
    QTest::newRow("java.exe cannot be executed")
        << QByteArray("not a program") << 17 << kCannotStart;
}

void TestJava::probe()
{
    QFETCH(QByteArray, console);
    QFETCH(int, major);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const auto windows = PlatformDescriptor::forWindows();
    const QString javaw = dir.filePath("bin/javaw.exe");
    QVERIFY(writeScript(javaw, fakeProbeScript(probeOutput("17", "64"))));
    if (console == "not a program")
        QVERIFY(writeBytes(dir.filePath("bin/java.exe"), console)); // no execute bit
    else if (!console.isEmpty())
        QVERIFY(writeScript(dir.filePath("bin/java.exe"), console));
    const QString result = errorOf([&] { probeJava(javaw, major, makeCancelFlag(), windows); });
    QCOMPARE(result, message.isEmpty() ? QStringLiteral("<no error>") : message);
}

void TestJava::probeHidesJavaOptionsFromTheRuntime()
{
    QTemporaryDir dir;
    const auto windows = PlatformDescriptor::forWindows();
    // The real JVM refuses to start with an unknown option; the probe must
    // not hand the user's option variables to it.
    const QList<QByteArray> names{"JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS", "_JAVA_OPTIONS",
                                  "CLASSPATH"};
    for (const QByteArray& name : names)
        qputenv(name.constData(), "-XX:+ThisOptionDoesNotExist");
    qputenv("TARVIK_PROBE_MARKER", "kept");
    const QString javaw = dir.filePath("javaw.exe");
    QVERIFY(writeScript(javaw, "#!/bin/sh\n"));
    QVERIFY(writeScript(dir.filePath("java.exe"), "#!/bin/sh\nenv > '" +
                                                      dir.filePath("env.txt").toUtf8() + "'\n" +
                                                      javaWrapperScript(m_java).mid(10)));
    const QString result = errorOf([&] { probeJava(javaw, 17, nullptr, windows); });
    for (const QByteArray& name : names)
        qunsetenv(name.constData());
    qunsetenv("TARVIK_PROBE_MARKER");
    QCOMPARE(result, QStringLiteral("<no error>"));
    const QByteArray env = readBytes(dir.filePath("env.txt"));
    for (const QByteArray& name : names)
        QVERIFY2(!env.contains(QByteArray("\n" + name + "=")) &&
                     !env.startsWith(QByteArray(name + "=")),
                 name.constData());
    QVERIFY2(env.contains("TARVIK_PROBE_MARKER=kept"), "other variables reach the probe");
}

void TestJava::probeIsCancelledWithinAPoll()
{
    QTemporaryDir dir;
    const QString javaw = dir.filePath("javaw.exe");
    QVERIFY(writeScript(javaw, "#!/bin/sh\n"));
    QVERIFY(writeScript(dir.filePath("java.exe"), "#!/bin/sh\nexec sleep 30\n"));
    auto flag = makeCancelFlag();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        flag->store(true);
    });
    QElapsedTimer timer;
    timer.start();
    const QString result =
        errorOf([&] { probeJava(javaw, 17, flag, PlatformDescriptor::forWindows()); });
    canceller.join();
    QCOMPARE(result, QStringLiteral("Operace byla zrušena."));
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
}

void TestJava::customPathIsUsedAsGiven()
{
    ScopedDataDir data;
    HttpsTestServer server;
    ScopedEndpoints endpoints(server.baseUrl());
    QTemporaryDir dir;
    const QString javaw = dir.path() + "/Program Files/Java/../Java/bin/javaw.exe";
    QVERIFY(
        writeScript(dir.filePath("Program Files/Java/bin/java.exe"), javaWrapperScript(m_java)));
    Settings settings;
    settings.javaPath = javaw;
    Http http;
    QString reported;
    const QString path = prepareJava(
        http, 17, settings, nullptr, [&](const QString& text, int) { reported = text; },
        PlatformDescriptor::forWindows());
    QCOMPARE(path, javaw);
    QVERIFY2(server.requests().isEmpty(), "a custom runtime needs no download");
    QCOMPARE(reported, QString());
    QVERIFY(!QFileInfo::exists(dataDir() + "/runtimes"));
}

void TestJava::automaticRuntimeIsFetchedRecordedAndReused()
{
    ScopedDataDir data;
    HttpsTestServer server;
    FakeAdoptium adoptium(server);
    ScopedEndpoints endpoints(server.baseUrl());
    const auto windows = PlatformDescriptor::forWindows();
    adoptium.serve(17, jreArchive(windows, javaWrapperScript(m_java)));
    Settings settings; // automatic Java

    QList<QPair<QString, int>> progress;
    auto report = [&](const QString& text, int value) { progress.append({text, value}); };
    Http http;
    const QString runtime = dataDir() + "/runtimes/java-17";
    const QString expected = runtime + "/jdk-17.0.12+7-jre/bin/javaw.exe";
    QCOMPARE(prepareJava(http, 17, settings, makeCancelFlag(), report, windows), expected);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.first(), (QPair<QString, int>{"Připravuji Javu 17", 0}));
    const auto assets = server.requests(FakeAdoptium::assetsPath(17));
    QCOMPARE(assets.size(), 1);
    QCOMPARE(QString::fromUtf8(assets.first().target),
             FakeAdoptium::assetsPath(17) + "?" + FakeAdoptium::expectedQuery(windows));
    QCOMPARE(assets.first().header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(parseJsonObject(readBytes(runtime + "/runtime.json")).value("executable").toString(),
             QStringLiteral("jdk-17.0.12+7-jre/bin/javaw.exe"));
    QVERIFY(QFileInfo::exists(dataDir() + "/cache/java-17.zip"));
    QVERIFY(QFileInfo(expected).isExecutable());

    // Recorded and present: nothing is requested.
    server.clearRecords();
    progress.clear();
    QCOMPARE(prepareJava(http, 17, settings, nullptr, report, windows), expected);
    QCOMPARE(server.requests().size(), 0);
    QVERIFY(progress.isEmpty());

    // The recorded launcher was deleted: unpacked again from the cached
    // archive, which still verifies and is not fetched again.
    QVERIFY(QFile::remove(expected));
    QCOMPARE(prepareJava(http, 17, settings, nullptr, report, windows), expected);
    QCOMPARE(server.requests(FakeAdoptium::assetsPath(17)).size(), 1);
    QCOMPARE(server.requests(FakeAdoptium::archivePath(17)).size(), 0);
}

void TestJava::automaticRuntimeOnLinux()
{
    ScopedDataDir data;
    HttpsTestServer server;
    FakeAdoptium adoptium(server);
    ScopedEndpoints endpoints(server.baseUrl());
    const auto linux = PlatformDescriptor::forLinux();
    adoptium.serve(17, jreArchive(linux, javaWrapperScript(m_java), "jdk-17-jre"));
    Http http;
    QCOMPARE(prepareJava(http, 17, Settings(), nullptr, {}, linux),
             dataDir() + "/runtimes/java-17/jdk-17-jre/bin/java");
    QCOMPARE(QString::fromUtf8(server.requests(FakeAdoptium::assetsPath(17)).first().target)
                 .section('?', 1),
             QStringLiteral("architecture=x64&image_type=jre&os=linux&vendor=eclipse"));
}

void TestJava::vendorFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    const QString unavailable = "Automatická Java není dostupná. Nastavte vlastní javaw.exe.";
    const QString noChecksum = "Chybí kontrolní součet Javy.";
    QTest::newRow("status 404") << "404" << unavailable;
    QTest::newRow("status 500 with a package") << "500" << unavailable;
    QTest::newRow("object instead of array") << "object" << unavailable;
    QTest::newRow("empty array") << "empty" << unavailable;
    QTest::newRow("not JSON") << "garbage" << unavailable;
    QTest::newRow("no checksum") << "no-checksum" << noChecksum;
    QTest::newRow("63 hex digits") << "short-checksum" << noChecksum;
    QTest::newRow("checksum not hex") << "bad-checksum" << noChecksum;
    QTest::newRow("checksum with a trailing line feed") << "checksum-line-feed" << noChecksum;
    QTest::newRow("checksum of other data") << "wrong-checksum"
                                            << "Stažení nebo kontrola souboru selhala: java-17.zip";
    QTest::newRow("archive without javaw.exe") << "no-launcher"
                                               << "Archiv neobsahuje Java runtime.";
    QTest::newRow("archive with an unsafe entry") << "unsafe"
                                                  << "Nepovolená cesta v manifestu: ../evil";
}

void TestJava::vendorFailures()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);
    ScopedDataDir data;
    HttpsTestServer server;
    FakeAdoptium adoptium(server);
    ScopedEndpoints endpoints(server.baseUrl());
    const auto windows = PlatformDescriptor::forWindows();
    QByteArray archive = jreArchive(windows, javaWrapperScript(m_java));
    if (fault == "no-launcher" || fault == "unsafe") {
        QTemporaryDir dir;
        ZipBuilder builder;
        builder.file("jre/bin/java.exe", "x");
        if (fault == "unsafe")
            builder.file("../evil", "x");
        QVERIFY(builder.write(dir.filePath("a.zip")));
        archive = readBytes(dir.filePath("a.zip"));
    }
    adoptium.serve(17, archive);
    const QUrl link = server.url(FakeAdoptium::archivePath(17));
    const QByteArray sha = QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex();
    const QByteArray good = FakeAdoptium::packageJson(link, sha, archive.size());
    if (fault == "404")
        adoptium.answerAssets(17, TestReply::withStatus(404, "[]"));
    else if (fault == "500") {
        TestReply reply = TestReply::json(good);
        reply.status = 500;
        adoptium.answerAssets(17, reply);
    } else if (fault == "object")
        adoptium.answerAssets(17, TestReply::json(good.mid(1, good.size() - 2)));
    else if (fault == "empty")
        adoptium.answerAssets(17, TestReply::json("[]"));
    else if (fault == "garbage")
        adoptium.answerAssets(17, TestReply::json("<html>"));
    else if (fault == "no-checksum")
        adoptium.answerAssets(17, TestReply::json(R"([{"binary": {"package": {"link": ")" +
                                                  link.toEncoded() + R"("}}}])"));
    else if (fault == "short-checksum")
        adoptium.answerAssets(
            17, TestReply::json(FakeAdoptium::packageJson(link, sha.left(63), archive.size())));
    else if (fault == "bad-checksum")
        adoptium.answerAssets(
            17, TestReply::json(FakeAdoptium::packageJson(link, "g" + sha.mid(1), archive.size())));
    else if (fault == "checksum-line-feed")
        adoptium.answerAssets(
            17, TestReply::json(FakeAdoptium::packageJson(link, sha + "\\n", archive.size())));
    else if (fault == "wrong-checksum")
        adoptium.answerAssets(17, TestReply::json(FakeAdoptium::packageJson(
                                      link, QByteArray(64, 'a'), archive.size())));

    Http http;
    QCOMPARE(errorOf([&] { prepareJava(http, 17, Settings(), nullptr, {}, windows); }), message);
    QVERIFY2(!QFileInfo::exists(dataDir() + "/runtimes/java-17/runtime.json"),
             "no record after a failure");
}

void TestJava::damagedRecordFile()
{
    ScopedDataDir data;
    HttpsTestServer server;
    ScopedEndpoints endpoints(server.baseUrl());
    QVERIFY(writeBytes(dataDir() + "/runtimes/java-21/runtime.json", "{not json"));
    Http http;
    QCOMPARE(errorOf([&] {
                 prepareJava(http, 21, Settings(), nullptr, {}, PlatformDescriptor::forWindows());
             }),
             QStringLiteral("Server poslal neplatný JSON."));
    QVERIFY(writeBytes(dataDir() + "/runtimes/java-21/runtime.json",
                       R"({"executable": "../../../bin/sh"})"));
    QCOMPARE(errorOf([&] {
                 prepareJava(http, 21, Settings(), nullptr, {}, PlatformDescriptor::forWindows());
             }),
             QStringLiteral("Nepovolená cesta v manifestu: ../../../bin/sh"));
    QCOMPARE(server.requests().size(), 0);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvik"));
    QCoreApplication::setApplicationName(QStringLiteral("TarvikClient"));
    TestJava test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_java.moc"
