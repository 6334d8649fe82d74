// Platform layer: the reparse-point test on real links and the descriptor values.
#include "fs/SafeFiles.h"
#include "platform/CommandLine.h"
#include "platform/Digest.h"
#include "platform/Platform.h"
#include "platform/ProcessWait.h"
#include "support/TestData.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
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
    void currentDescriptorIsThisMachines();
    void waitForProcessExit_data();
    void waitForProcessExit();
    void commandLineKeepsUtf8Arguments();
    void digestMatchesQt_data();
    void digestMatchesQt();
};

void TestPlatform::reparsePoint_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("expected");
    QTest::newRow("plain file") << "file" << false;
    QTest::newRow("folder") << "folder" << false;
    QTest::newRow("missing path") << "missing" << false;
#ifdef Q_OS_UNIX // QFile::link makes a shortcut on Windows, and Wine makes no links
    QTest::newRow("link to file") << "link-file" << true;
    QTest::newRow("link to folder") << "link-folder" << true;
    QTest::newRow("dangling link") << "dangling" << true;
#endif
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

void TestPlatform::currentDescriptorIsThisMachines()
{
    const auto d = PlatformDescriptor::current();
#ifdef Q_OS_WIN
    QCOMPARE(d.osName, QStringLiteral("windows"));
    QCOMPARE(d.clientExecutable, QStringLiteral("TarvikClient.exe"));
#else
    QCOMPARE(d.osName, QStringLiteral("linux"));
    QCOMPARE(d.userAgentPlatform, QStringLiteral("Linux x64"));
    QCOMPARE(d.classpathSeparator, QStringLiteral(":"));
    QCOMPARE(d.clientExecutable, QStringLiteral("TarvikClient"));
#endif
    QVERIFY2(!d.kernelVersion.isEmpty(), "the running kernel's version is filled in");
}

void TestPlatform::waitForProcessExit_data()
{
    QTest::addColumn<QString>("process");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("expected");
    using R = platform::ProcessWaitResult;
    QTest::newRow("id 0") << "zero" << 1000 << int(R::NoSuchProcess);
    QTest::newRow("id that does not exist") << "missing" << 1000 << int(R::NoSuchProcess);
    QTest::newRow("id beyond pid_t") << "huge" << 1000 << int(R::NoSuchProcess);
    QTest::newRow("child that exits") << "short" << 20000 << int(R::Ended);
    QTest::newRow("child that outlives the time-out") << "long" << 300 << int(R::TimedOut);
    QTest::newRow("this process") << "self" << 100 << int(R::TimedOut);
}

void TestPlatform::waitForProcessExit()
{
    QFETCH(QString, process);
    QFETCH(int, timeoutMs);
    QFETCH(int, expected);
    QProcess child;
    quint32 pid = 0;
    if (process == "missing") {
        pid = 0x3FFFFFF0u; // above any pid_max
    } else if (process == "huge") {
        pid = 0xFFFFFFF0u;
    } else if (process == "self") {
        pid = quint32(QCoreApplication::applicationPid());
    } else if (process != "zero") {
#ifdef Q_OS_WIN
        // find reads its standard input until that closes.
        child.start("find", {"x"});
        QVERIFY2(child.waitForStarted(), "find must start");
        if (process == "short")
            child.closeWriteChannel();
#else
        child.start("sleep", {process == "short" ? "0.2" : "30"});
        QVERIFY2(child.waitForStarted(), "sleep must start");
#endif
        pid = quint32(child.processId());
    }
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(int(platform::waitForProcessExit(pid, timeoutMs)), expected);
    if (expected == int(platform::ProcessWaitResult::TimedOut))
        QVERIFY2(timer.elapsed() >= timeoutMs - 5, qPrintable(QString::number(timer.elapsed())));
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished();
    }
}

void TestPlatform::commandLineKeepsUtf8Arguments()
{
#ifdef Q_OS_WIN
    // The real command line; scripts/test-windows puts a Czech folder name on it.
    const QStringList expected = QCoreApplication::arguments();
    const auto arguments = platform::commandLineArguments(0, nullptr);
    QCOMPARE(qsizetype(arguments.size()), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
        QCOMPARE(QString::fromStdString(arguments[size_t(i)]), expected.at(i));
#else
    QByteArray program("TarvikUpdater");
    QByteArray target("/home/hráč/Příliš žluťoučký kůň");
    QByteArray empty;
    char* argv[] = {program.data(), target.data(), empty.data()};
    const auto arguments = platform::commandLineArguments(3, argv);
    QCOMPARE(arguments.size(), size_t(3));
    QCOMPARE(QByteArray::fromStdString(arguments[1]), target);
    QCOMPARE(arguments[2], std::string());
#endif
}

// The system's digests against Qt's on random data, fed in pieces of every
// shape: empty ones, one byte, across the 64- and 128-byte block edges.
void TestPlatform::digestMatchesQt_data()
{
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece");
    const QList<std::pair<const char*, int>> algorithms{
        {"SHA-1", int(platform::DigestAlgorithm::Sha1)},
        {"SHA-256", int(platform::DigestAlgorithm::Sha256)},
        {"SHA-512", int(platform::DigestAlgorithm::Sha512)}};
    for (const auto& [name, algorithm] : algorithms) {
        const auto row = [&](const char* what) -> QTestData& {
            return QTest::newRow(
                qPrintable(QLatin1String(name) + QLatin1Char(' ') + QLatin1String(what)));
        };
        row("empty") << algorithm << 0 << 1;
        row("1 byte") << algorithm << 1 << 1;
        row("127 bytes by 1") << algorithm << 127 << 1;
        row("1 MiB + 3 by 65") << algorithm << (1 << 20) + 3 << 65;
        row("1 MiB + 3 whole") << algorithm << (1 << 20) + 3 << (1 << 21);
    }
}

void TestPlatform::digestMatchesQt()
{
    QFETCH(int, algorithm);
    QFETCH(int, size);
    QFETCH(int, piece);
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random(quint32(size) * 31u + quint32(algorithm));
    for (char& c : data)
        c = char(random.generate());
    const auto digest = platform::Digest::create(platform::DigestAlgorithm(algorithm));
    QVERIFY(digest);
    for (int at = 0; at < size; at += piece)
        QVERIFY(digest->add(data.constData() + at, size_t(std::min(piece, size - at))));
    QVERIFY(digest->add(data.constData(), 0));
    const QCryptographicHash::Algorithm qt[] = {
        QCryptographicHash::Sha1, QCryptographicHash::Sha256, QCryptographicHash::Sha512};
    const std::string got = digest->finish();
    QCOMPARE(QByteArray(got.data(), qsizetype(got.size())).toHex(),
             QCryptographicHash::hash(data, qt[algorithm]).toHex());
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
