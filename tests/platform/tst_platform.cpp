// Platform layer: the reparse-point test on real links and the descriptor values.
#include "fs/SafeFiles.h"
#include "platform/Platform.h"
#include "support/TestData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tarvik;

class TestPlatform : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void reparsePoint_data();
    void reparsePoint();
    void windowsDescriptorHoldsTheDesignValues();
    void linuxDescriptorHoldsNativeValues();
};

void TestPlatform::reparsePoint_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("expected");
    QTest::newRow("plain file") << "file" << false;
    QTest::newRow("folder") << "folder" << false;
    QTest::newRow("missing path") << "missing" << false;
    QTest::newRow("link to file") << "link-file" << true;
    QTest::newRow("link to folder") << "link-folder" << true;
    QTest::newRow("dangling link") << "dangling" << true;
    QTest::newRow("empty path") << "empty" << false;
}

void TestPlatform::reparsePoint()
{
    QFETCH(QString, kind);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("file"));
    const QString folder = dir.filePath(QStringLiteral("folder"));
    QVERIFY(test::writeBytes(file, "x"));
    QVERIFY(QDir().mkpath(folder));
    QString path;
    if (kind == QLatin1String("file"))
        path = file;
    else if (kind == QLatin1String("folder"))
        path = folder;
    else if (kind == QLatin1String("missing"))
        path = dir.filePath(QStringLiteral("nothing"));
    else if (kind == QLatin1String("link-file"))
        QVERIFY(QFile::link(file, path = dir.filePath(QStringLiteral("lf"))));
    else if (kind == QLatin1String("link-folder"))
        QVERIFY(QFile::link(folder, path = dir.filePath(QStringLiteral("ld"))));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")),
                            path = dir.filePath(QStringLiteral("dl"))));
    QCOMPARE(isReparsePoint(path), expected);
}

void TestPlatform::windowsDescriptorHoldsTheDesignValues()
{
    const auto d = PlatformDescriptor::forWindows(QStringLiteral("10.0.19045"));
    QCOMPARE(d.osName, QStringLiteral("windows"));
    QCOMPARE(d.archNames, QStringList({QStringLiteral("x86_64"), QStringLiteral("amd64")}));
    QCOMPARE(d.kernelVersion, QStringLiteral("10.0.19045"));
    QCOMPARE(d.features, QStringList{QStringLiteral("has_custom_resolution")});
    QCOMPARE(d.nativesKey, QStringLiteral("windows"));
    QCOMPARE(d.nativesArtifactMarker, QStringLiteral("natives-windows"));
    QCOMPARE(d.nativeLibrarySuffix, QStringLiteral(".dll"));
    QCOMPARE(d.javaLauncher, QStringLiteral("javaw.exe"));
    QCOMPARE(d.javaConsole, QStringLiteral("java.exe"));
    QCOMPARE(d.classpathSeparator, QStringLiteral(";"));
    QCOMPARE(d.javaDownloadOs, QStringLiteral("windows"));
    QCOMPARE(d.userAgentPlatform, QStringLiteral("Windows x64"));
    QCOMPARE(d.clientExecutable, QStringLiteral("TarvikClient.exe"));
    QCOMPARE(d.updaterExecutable, QStringLiteral("TarvikUpdater.exe"));
}

void TestPlatform::linuxDescriptorHoldsNativeValues()
{
    const auto d = PlatformDescriptor::current();
    QCOMPARE(d.osName, QStringLiteral("linux"));
    QCOMPARE(d.userAgentPlatform, QStringLiteral("Linux x64"));
    QCOMPARE(d.classpathSeparator, QStringLiteral(":"));
    QCOMPARE(d.clientExecutable, QStringLiteral("TarvikClient"));
    QVERIFY2(!d.kernelVersion.isEmpty(), "the running kernel's version is filled in");
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
