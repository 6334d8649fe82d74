// The launcher's update check against a real HTTPS operator server, and the
// hand-off to a stand-in updater program that records how it was started.
#include "fs/SafeFiles.h"
#include "net/Http.h"
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"
#include "support/ZipBuilder.h"
#include "update/Update.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

using namespace tarvik;
using namespace tarvik::test;

namespace {

const QString kUnsupported = QStringLiteral("Nepodporovaný manifest aktualizace.");
const QString kBadRevision = QStringLiteral("Neplatná revize aktualizace.");
const QString kBadSource = QStringLiteral("Nepovolený zdroj aktualizace.");
const QString kBadDigest = QStringLiteral("Neplatný kontrolní součet aktualizace.");
const QString kWrongProduct =
    QStringLiteral("Automatická aktualizace funguje pouze v rozbalené distribuční složce klienta.");

const QByteArray kArchive = zipOf({{"TarvikClient", "new client"}, {".tarvik-install", "{}"}});

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// A stand-in updater: records its working folder and then each argument on a
// line of its own.
QByteArray recorderScript(const QString& record)
{
    const QByteArray path = QFile::encodeName(record);
    return "#!/bin/sh\n{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > '" + path +
           ".tmp' && mv '" + path + ".tmp' '" + path + "'\n";
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void manifestRules_data();
    void manifestRules();
    void verifiedArchiveIsReused();

    void handOff_data();
    void handOff();
    void handOffRefused_data();
    void handOffRefused();
};

void TestUpdate::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvik"));
    QCoreApplication::setApplicationName(QStringLiteral("TarvikClient"));
    HttpsTestServer::trustTestCa();
}

void TestUpdate::manifestRules_data()
{
    QTest::addColumn<QString>("manifest");
    // The revision expected in the result (0: no update), or the message.
    QTest::addColumn<int>("revision");
    QTest::addColumn<QString>("error");

    // {base} is the operator's base URL (https://localhost:port), {BASE} the
    // same with the host in upper case; {sha} and {size} describe the archive
    // served at /releases/pkg.zip; {current} is this build's revision.
    const QString head = QStringLiteral(R"("schema":1,"version":"1.0.0")");
    const QString tail = QStringLiteral(R"("sha256":"{sha}","size":{size})");
    const auto update = [&](const QString& revision, const QString& url = {},
                            const QString& rest = {}) {
        return QStringLiteral("{%1,\"revision\":%2,\"url\":\"%3\",%4}")
            .arg(head, revision, url.isEmpty() ? QStringLiteral("{base}/releases/pkg.zip") : url,
                 rest.isEmpty() ? tail : rest);
    };
    const int next = kClientRevision + 1;
    const QString ok = kNoError;

    QTest::newRow("next revision is an update") << update(QStringLiteral("{next}")) << next << ok;
    QTest::newRow("highest revision is an update")
        << update(QStringLiteral("1000000")) << 1000000 << ok;
    QTest::newRow("revision above the highest")
        << update(QStringLiteral("1000001")) << 0 << kBadRevision;
    QTest::newRow("huge revision") << update(QStringLiteral("1e300")) << 0 << kBadRevision;
    QTest::newRow("this revision is none") << update(QStringLiteral("{current}")) << 0 << ok;
    QTest::newRow("revision 0 is none") << update(QStringLiteral("0")) << 0 << ok;
    QTest::newRow("revision missing is none")
        << QStringLiteral(R"({"schema":1,"version":"1.0.0","url":"{base}/releases/pkg.zip"})") << 0
        << ok;

    QTest::newRow("schema missing")
        << QStringLiteral(R"({"version":"1.0.0","revision":5})") << 0 << kUnsupported;
    QTest::newRow("schema 2") << QStringLiteral(R"({"schema":2,"version":"1.0.0","revision":5})")
                              << 0 << kUnsupported;
    QTest::newRow("other version line")
        << QStringLiteral(R"({"schema":1,"version":"1.0.1","revision":5})") << 0 << kUnsupported;
    QTest::newRow("other version even without an update")
        << QStringLiteral(R"({"schema":1,"version":"2.0.0","revision":0})") << 0 << kUnsupported;

    QTest::newRow("upper-case host accepted")
        << update(QStringLiteral("{next}"), QStringLiteral("{BASE}/releases/pkg.zip")) << next
        << ok;
    QTest::newRow("another host") << update(QStringLiteral("{next}"),
                                            QStringLiteral(
                                                "https://127.0.0.1:{port}/releases/pkg.zip"))
                                  << 0 << kBadSource;
    QTest::newRow("outside releases")
        << update(QStringLiteral("{next}"), QStringLiteral("{base}/api/v1/pkg.zip")) << 0
        << kBadSource;
    QTest::newRow("releases in another case")
        << update(QStringLiteral("{next}"), QStringLiteral("{base}/Releases/pkg.zip")) << 0
        << kBadSource;
    QTest::newRow("releases as a prefix")
        << update(QStringLiteral("{next}"), QStringLiteral("{base}/releases-old/pkg.zip")) << 0
        << kBadSource;
    QTest::newRow("dot-dot out of releases")
        << update(QStringLiteral("{next}"), QStringLiteral("{base}/releases/../api/pkg.zip")) << 0
        << kBadSource;
    QTest::newRow("encoded dot-dot")
        << update(QStringLiteral("{next}"), QStringLiteral("{base}/releases/%2E%2E/api/pkg.zip"))
        << 0 << kBadSource;
    QTest::newRow("encoded slashes")
        << update(QStringLiteral("{next}"), QStringLiteral("{base}/releases%2F..%2Fapi/pkg.zip"))
        << 0 << kBadSource;
    QTest::newRow("encoded backslash")
        << update(QStringLiteral("{next}"), QStringLiteral("{base}/releases/..%5Capi/pkg.zip")) << 0
        << kBadSource;
    QTest::newRow("plain http") << update(
                                       QStringLiteral("{next}"),
                                       QStringLiteral("http://localhost:{port}/releases/pkg.zip"))
                                << 0 << QStringLiteral("Je vyžadována platná HTTPS adresa.");

    const QString sizeOnly = QStringLiteral(R"("size":{size})");
    QTest::newRow("digest in upper case accepted")
        << update(QStringLiteral("{next}"), {}, QStringLiteral(R"("sha256":"{SHA}",)") + sizeOnly)
        << next << ok;
    QTest::newRow("digest of 63 digits")
        << update(QStringLiteral("{next}"), {}, QStringLiteral(R"("sha256":"{sha63}",)") + sizeOnly)
        << 0 << kBadDigest;
    QTest::newRow("digest of 65 digits")
        << update(QStringLiteral("{next}"), {}, QStringLiteral(R"("sha256":"{sha}0",)") + sizeOnly)
        << 0 << kBadDigest;
    QTest::newRow("digest with a line feed")
        << update(QStringLiteral("{next}"), {}, QStringLiteral(R"("sha256":"{sha}\n",)") + sizeOnly)
        << 0 << kBadDigest;
    QTest::newRow("digest of another archive")
        << update(QStringLiteral("{next}"), {},
                  QStringLiteral(R"("sha256":"%1",)").arg(QString::fromLatin1(sha256("x"))) +
                      sizeOnly)
        << 0 << QStringLiteral("Stažení nebo kontrola souboru selhala: revision-{next}.zip");
    QTest::newRow("size mismatch")
        << update(QStringLiteral("{next}"), {},
                  QStringLiteral(R"("sha256":"{sha}","size":{size1})"))
        << 0 << QStringLiteral("Stažení nebo kontrola souboru selhala: revision-{next}.zip");
}

void TestUpdate::manifestRules()
{
    QFETCH(QString, manifest);
    QFETCH(int, revision);
    QFETCH(QString, error);

    ScopedDataDir data;
    HttpsTestServer server;
    const QString port = QString::number(server.port());
    const QUrl base(QStringLiteral("https://localhost:") + port);
    ScopedEndpoints endpoints(base);
    const QString next = QString::number(kClientRevision + 1);
    const QString sha = QString::fromLatin1(sha256(kArchive));
    const auto expand = [&](QString text) {
        return text.replace(QLatin1String("{base}"), base.toString())
            .replace(QLatin1String("{BASE}"), QStringLiteral("https://LOCALHOST:") + port)
            .replace(QLatin1String("{port}"), port)
            .replace(QLatin1String("{sha63}"), sha.left(63))
            .replace(QLatin1String("{sha}"), sha)
            .replace(QLatin1String("{SHA}"), sha.toUpper())
            .replace(QLatin1String("{size1}"), QString::number(kArchive.size() + 1))
            .replace(QLatin1String("{size}"), QString::number(kArchive.size()))
            .replace(QLatin1String("{current}"), QString::number(kClientRevision))
            .replace(QLatin1String("{next}"), next);
    };
    server.on("GET", QStringLiteral("/api/v1/update.json"),
              TestReply::json(expand(manifest).toUtf8()));
    server.on("GET", QStringLiteral("/releases/pkg.zip"), TestReply::ok(kArchive));

    UpdateInfo info;
    Http http;
    QCOMPARE(errorOf([&] { info = checkForUpdate(http, {}); }), expand(error));
    QCOMPARE(info.revision, revision);
    const QString expectedPath =
        revision ? dataDir() + QStringLiteral("/updates/revision-%1.zip").arg(revision) : QString();
    QCOMPARE(info.packagePath, expectedPath);
    if (revision) {
        QCOMPARE(info.sha256, sha.toLatin1());
        QCOMPARE(readBytes(info.packagePath), kArchive);
    } else {
        QVERIFY(info.sha256.isEmpty());
        // Refused or no update: nothing is left in the updates folder.
        QCOMPARE(listFiles(dataDir() + QStringLiteral("/updates")), QStringList());
    }
    const bool fetched = !server.requests(QStringLiteral("/releases/pkg.zip")).isEmpty();
    QVERIFY2(fetched == (revision > 0 || error.startsWith(QStringLiteral("Stažení"))),
             "the archive is fetched only after every manifest rule passed");
}

void TestUpdate::verifiedArchiveIsReused()
{
    ScopedDataDir data;
    HttpsTestServer server;
    ScopedEndpoints endpoints(server.baseUrl());
    const QByteArray manifest = QStringLiteral(R"({"schema":1,"version":"1.0.0","revision":%1,)"
                                               R"("url":"%2","sha256":"%3","size":%4})")
                                    .arg(kClientRevision + 1)
                                    .arg(server.url(QStringLiteral("/releases/pkg.zip")).toString(),
                                         QString::fromLatin1(sha256(kArchive)))
                                    .arg(kArchive.size())
                                    .toUtf8();
    server.on("GET", QStringLiteral("/api/v1/update.json"), TestReply::json(manifest));
    server.on("GET", QStringLiteral("/releases/pkg.zip"), TestReply::ok(kArchive));

    Http http;
    const UpdateInfo first = checkForUpdate(http, {});
    const UpdateInfo second = checkForUpdate(http, {});
    QCOMPARE(second.packagePath, first.packagePath);
    QCOMPARE(second.sha256, first.sha256);
    QCOMPARE(server.requests(QStringLiteral("/releases/pkg.zip")).size(), 1);
    QCOMPARE(server.requests(QStringLiteral("/api/v1/update.json")).size(), 2);

    // A damaged archive no longer verifies and is fetched again.
    QVERIFY(writeBytes(first.packagePath, "damaged"));
    checkForUpdate(http, {});
    QCOMPARE(server.requests(QStringLiteral("/releases/pkg.zip")).size(), 2);
    QCOMPARE(readBytes(first.packagePath), kArchive);
}

void TestUpdate::handOff_data()
{
    QTest::addColumn<bool>("windows");
    QTest::addColumn<QStringList>("libraries");

    QTest::newRow("windows names")
        << true << QStringList{QStringLiteral("Qt6Core.dll"), QStringLiteral("zip.dll")};
    QTest::newRow("linux names") << false
                                 << QStringList{QStringLiteral("libQt6Core.so.6"),
                                                QStringLiteral("libzip.so")};
}

void TestUpdate::handOff()
{
    QFETCH(bool, windows);
    QFETCH(QStringList, libraries);
    const PlatformDescriptor platform =
        windows ? PlatformDescriptor::forWindows() : PlatformDescriptor::forLinux();

    ScopedDataDir data;
    QTemporaryDir app;
    const QString record = data.root() + QStringLiteral("/record.txt");
    const QString updater = app.filePath(platform.updaterExecutable);
    QVERIFY(writeBytes(updater, recorderScript(record)));
    QVERIFY(QFile::setPermissions(updater, QFile::permissions(updater) | QFileDevice::ExeOwner));
    QVERIFY(writeBytes(app.filePath(QStringLiteral(".tarvik-install")),
                       R"({"product":"TarvikClient","layout":1})"));
    for (const QString& library : libraries)
        QVERIFY(writeBytes(app.filePath(library), library.toUtf8()));
    // Neither a folder that matches the pattern nor other files are copied.
    QVERIFY(QDir(app.path()).mkpath(QStringLiteral("plugins.dll/x.so")));
    QVERIFY(writeBytes(app.filePath(QStringLiteral("readme.txt")), "r"));
    QVERIFY(writeBytes(app.filePath(platform.clientExecutable), "client"));

    const UpdateInfo info{QStringLiteral("/data/updates/revision-7.zip"), QByteArray(64, 'a'), 7};
    const QString launchFolder =
        detail::launchUpdater(info, app.path(), platform, Q_INT64_C(4294967295));

    QCOMPARE(QFileInfo(launchFolder).path(), dataDir() + QStringLiteral("/updates"));
    QVERIFY2(QFileInfo(launchFolder)
                 .fileName()
                 .contains(QRegularExpression(QStringLiteral(
                     "^helper-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))),
             qPrintable(launchFolder));
    QStringList expectedFiles = libraries << platform.updaterExecutable;
    expectedFiles.sort();
    QCOMPARE(listFiles(launchFolder), expectedFiles);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    const QStringList lines = QString::fromUtf8(readBytes(record)).split(QLatin1Char('\n'));
    QCOMPARE(lines,
             (QStringList{launchFolder, QStringLiteral("--pid"), QStringLiteral("4294967295"),
                          QStringLiteral("--package"), info.packagePath, QStringLiteral("--sha256"),
                          QString(64, u'a'), QStringLiteral("--target"), app.path(), QString()}));
}

void TestUpdate::handOffRefused_data()
{
    QTest::addColumn<QByteArray>("marker"); // null: no marker file
    QTest::addColumn<QString>("updater");   // "script", "plain" (not executable), "none"
    QTest::addColumn<QString>("error");     // {app} is the application folder

    const QByteArray good = R"({"product":"TarvikClient","layout":1})";
    QTest::newRow("marker missing")
        << QByteArray() << "script" << QStringLiteral("Nelze načíst soubor: {app}/.tarvik-install");
    QTest::newRow("marker not an object")
        << QByteArray("[]") << "script" << QStringLiteral("Server poslal neplatný JSON.");
    QTest::newRow("marker of another product")
        << QByteArray(R"({"product":"TarvikServer"})") << "script" << kWrongProduct;
    QTest::newRow("updater missing")
        << good << "none" << QStringLiteral("Nelze načíst: {app}/TarvikUpdater");
    QTest::newRow("updater cannot start")
        << good << "plain" << QStringLiteral("Nelze spustit aktualizátor.");
}

void TestUpdate::handOffRefused()
{
    QFETCH(QByteArray, marker);
    QFETCH(QString, updater);
    QFETCH(QString, error);

    ScopedDataDir data;
    QTemporaryDir app;
    const PlatformDescriptor platform = PlatformDescriptor::forLinux();
    if (!marker.isNull())
        QVERIFY(writeBytes(app.filePath(QStringLiteral(".tarvik-install")), marker));
    const QString updaterPath = app.filePath(platform.updaterExecutable);
    if (updater != QLatin1String("none"))
        QVERIFY(writeBytes(updaterPath, recorderScript(data.root() + QStringLiteral("/r"))));
    if (updater == QLatin1String("script"))
        QVERIFY(QFile::setPermissions(updaterPath,
                                      QFile::permissions(updaterPath) | QFileDevice::ExeOwner));

    const UpdateInfo info{QStringLiteral("/p.zip"), QByteArray(64, 'b'), 2};
    QCOMPARE(errorOf([&] { detail::launchUpdater(info, app.path(), platform, 1); }),
             QString(error).replace(QLatin1String("{app}"), app.path()));
    // A refused marker stops the hand-off before any launch folder is made.
    if (updater == QLatin1String("script"))
        QVERIFY(!QFileInfo::exists(dataDir() + QStringLiteral("/updates")));
}

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
