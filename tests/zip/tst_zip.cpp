// ZIP extraction of untrusted archives: archives built here with libzip (and
// patched to lie), archives made by the zip and jar tools, and hostile samples
// collected from other projects' test suites (tests/data/zip, see its README).
#include "fs/SafeFiles.h"
#include "fs/ZipExtract.h"
#include "support/TestData.h"
#include "support/ZipBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using namespace tarvik;
using test::ZipBuilder;

namespace {

const QString kOk = QStringLiteral("<no error>");
const QString kBadPath = QStringLiteral("Nepovolená cesta v manifestu: ");
const QString kLinkOrDuplicate = QStringLiteral("Archiv obsahuje odkaz nebo duplicitní cestu.");
const QString kTooLarge = QStringLiteral("Rozbalený archiv překračuje povolenou velikost.");
const QString kTooMany = QStringLiteral("Archiv obsahuje příliš mnoho souborů.");
const QString kCorrupt = QStringLiteral("Poškozený ZIP archiv.");
const QString kFailed = QStringLiteral("Rozbalení archivu selhalo.");
const QString kCancelled = QStringLiteral("Operace byla zrušena.");

QString extract(const QString& archive, const QString& target, bool dllOnly = false,
                const CancelFlag& flag = nullptr)
{
    try {
        extractZip(archive, target, flag, dllOnly);
    } catch (const Error& e) {
        return e.message();
    }
    return kOk;
}

QByteArray noise(qsizetype size, quint32 seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

bool runTool(const QString& program, const QStringList& arguments, const QString& workDir)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        qWarning().noquote() << program << arguments << process.readAll();
        return false;
    }
    return true;
}

} // namespace

class TestZip : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void builtArchives_data();
    void builtArchives();
    void librarySuffixOfAnotherPlatform();
    void rerunRemovesKilledRunsTemporaries_data();
    void rerunRemovesKilledRunsTemporaries();
    void failedEntryLeavesNoFile_data();
    void failedEntryLeavesNoFile();
    void entryCountLimit_data();
    void entryCountLimit();
    void declaredSizeLimits();
    void cancelDuringLargeEntry();
    void unixModeKeepsOnlyOwnerExecute();
    void overwritesExistingFilesAndRefusesLinkedTargets();
    void openFailures();
    void encryptedEntryFails();
    void toolMadeArchives_data();
    void toolMadeArchives();
    void hostileSamples_data();
    void hostileSamples();
    void declaredSizeLieStopsAtDeclaredSize();
    void nestedBombs();
};

// Each row: the archive's entries, dllOnly, the expected message, and the
// files (relative, sorted) that must be in the target afterwards.
void TestZip::builtArchives_data()
{
    QTest::addColumn<ZipBuilder>("archive");
    QTest::addColumn<bool>("dllOnly");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("stored and deflated files in folders")
        << ZipBuilder()
               .directory("lib/")
               .file("lib/a.txt", "alpha", ZipBuilder::Method::Stored)
               .file("lib/deep/b.bin", noise(300000))
               .file("readme", QByteArray(70000, 'r'))
        << false << kOk << QStringList{"lib/a.txt", "lib/deep/b.bin", "readme"};
    QTest::newRow("empty entry gives an empty file")
        << ZipBuilder().file("empty.txt", QByteArray()) << false << kOk << QStringList{"empty.txt"};
    QTest::newRow("backslash names become folders")
        << ZipBuilder().file("bin\\server\\jvm.dll", "x") << false << kOk
        << QStringList{"bin/server/jvm.dll"};
    QTest::newRow("case-folded duplicate")
        << ZipBuilder().file("Lib/a.dll", "1").file("lib/A.DLL", "2") << false << kLinkOrDuplicate
        << QStringList{"Lib/a.dll"};
    QTest::newRow("duplicate folder after case folding")
        << ZipBuilder().file("Config/a.txt", "1").file("config/a.txt", "2") << false
        << kLinkOrDuplicate << QStringList{"Config/a.txt"};
    QTest::newRow("Unix symlink entry") << ZipBuilder().symlink("link", "/etc/passwd") << false
                                        << kLinkOrDuplicate << QStringList{};
    QTest::newRow("Unix symlink entry under dllOnly")
        << ZipBuilder().file("a.dll", "d").symlink("native/libs", "/tmp") << true
        << kLinkOrDuplicate << QStringList{"a.dll"};
    QTest::newRow("symlink then a file through it")
        << ZipBuilder().symlink("LINK", "/tmp").file("link/PWNED.txt", "x") << false
        << kLinkOrDuplicate << QStringList{};
    QTest::newRow("dot-dot name")
        << ZipBuilder().file("good.txt", "g").file("../../tmp/evil.txt", "e") << false
        << kBadPath + QStringLiteral("../../tmp/evil.txt") << QStringList{"good.txt"};
    QTest::newRow("dot-dot with backslashes")
        << ZipBuilder().file("..\\..\\Temp\\evil.txt", "e") << false
        << kBadPath + QStringLiteral("..\\..\\Temp\\evil.txt") << QStringList{};
    QTest::newRow("absolute name") << ZipBuilder().file("/tmp/PWNED.txt", "e") << false
                                   << kBadPath + QStringLiteral("/tmp/PWNED.txt") << QStringList{};
    QTest::newRow("drive-relative name")
        << ZipBuilder().file("C:evil.txt", "e") << false << kBadPath + QStringLiteral("C:evil.txt")
        << QStringList{};
    QTest::newRow("UNC name") << ZipBuilder().file("\\\\server\\share\\evil.txt", "e") << false
                              << kBadPath + QStringLiteral("\\\\server\\share\\evil.txt")
                              << QStringList{};
    QTest::newRow("device name with extension")
        << ZipBuilder().file("ok.txt", "o").file("mods/aux.txt", "a") << false
        << kBadPath + QStringLiteral("mods/aux.txt") << QStringList{"ok.txt"};
    QTest::newRow("alternate data stream")
        << ZipBuilder().file("mods/a.jar:Zone.Identifier", "z") << false
        << kBadPath + QStringLiteral("mods/a.jar:Zone.Identifier") << QStringList{};
    QTest::newRow("trailing dot") << ZipBuilder().file("mods/a.jar", "1").file("mods/a.jar.", "2")
                                  << false << kBadPath + QStringLiteral("mods/a.jar.")
                                  << QStringList{"mods/a.jar"};
    QTest::newRow("control character")
        << ZipBuilder().file("mods/tab\there.jar", "t") << false
        << kBadPath + QStringLiteral("mods/tab\there.jar") << QStringList{};
    QTest::newRow("empty name") << ZipBuilder().file("", "x") << false << kBadPath << QStringList{};
    QTest::newRow("unsafe directory entries are skipped")
        << ZipBuilder()
               .directory("../evil/")
               .directory("C:/x/")
               .directory("aux/")
               .file("fine.txt", "f")
        << false << kOk << QStringList{"fine.txt"};
    QTest::newRow("DOS directory attribute marks a folder")
        << ZipBuilder().file("../looks-like-a-file", QByteArray()).externalAttributes(0, 0x10)
        << false << kOk << QStringList{};
    QTest::newRow("a file and a folder of the same name")
        << ZipBuilder().file("mods/x", "file").file("mods/x/y.jar", "inside") << false
        << QStringLiteral("Nelze vytvořit složku: ") + QStringLiteral("%T/mods/x")
        << QStringList{"mods/x"};
    QTest::newRow("dllOnly writes only the DLLs of a native jar")
        << ZipBuilder()
               .directory("META-INF/")
               .file("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n")
               .file("org/lwjgl/Library.class", noise(2000))
               .file("windows/x64/org/lwjgl/lwjgl.dll", noise(5000, 2))
               .file("glfw.DLL", noise(4000, 3))
               .file("LICENSE.txt", "license")
        << true << kOk << QStringList{"glfw.DLL", "windows/x64/org/lwjgl/lwjgl.dll"};
    QTest::newRow("dllOnly still validates skipped names")
        << ZipBuilder().file("a.dll", "d").file("../escape.txt", "e") << true
        << kBadPath + QStringLiteral("../escape.txt") << QStringList{"a.dll"};
#ifndef Q_OS_WIN // the Windows kit's libzip cannot write bzip2 to build the archive
    QTest::newRow("bzip2 entry refuses the archive before anything is written")
        << ZipBuilder()
               .file("first.txt", "stored", ZipBuilder::Method::Stored)
               .file("second.txt", QByteArray(5000, 'b'), ZipBuilder::Method::Bzip2)
        << false << kFailed << QStringList{};
#endif
    const QByteArray name511 = QByteArray(255, 'a') + '/' + QByteArray(255, 'b');
    QTest::newRow("511-byte name") << ZipBuilder().file(name511, "x") << false << kOk
                                   << QStringList{QString::fromLatin1(name511)};
    const QByteArray name512 = QByteArray(255, 'a') + '/' + QByteArray(256, 'b');
    QTest::newRow("512-byte name is refused, never cut")
        << ZipBuilder().file(name512, "x") << false << kBadPath + QString::fromLatin1(name512)
        << QStringList{};
    const QByteArray czech = QStringLiteral("č/ř.txt").toUtf8();
    QTest::newRow("UTF-8 names") << ZipBuilder().file(czech, "x") << false << kOk
                                 << QStringList{QStringLiteral("č/ř.txt")};
}

void TestZip::builtArchives()
{
    QFETCH(ZipBuilder, archive);
    QFETCH(bool, dllOnly);
    QFETCH(QString, message);
    QFETCH(QStringList, files);
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("a.zip"));
    QString why;
    QVERIFY2(archive.write(zip, &why), qPrintable(why));
    const QString target = dir.filePath(QStringLiteral("out"));
    message.replace(QStringLiteral("%T"), target);
    QCOMPARE(extract(zip, target, dllOnly), message);
    QCOMPARE(test::listFiles(target), files);
}

void TestZip::librarySuffixOfAnotherPlatform()
{
    QTemporaryDir dir;
    const QString zip = dir.filePath("natives.zip");
    QVERIFY(ZipBuilder()
                .file("linux/x64/org/lwjgl/liblwjgl.so", "elf")
                .file("liblwjgl.SO", "elf2")
                .file("lwjgl.dll", "pe")
                .file("liblwjgl.so.sha1", "hash")
                .write(zip));
    const QString target = dir.filePath("out");
    try {
        extractZip(zip, target, nullptr, true, ".so");
    } catch (const Error& e) {
        QFAIL(qPrintable(e.message()));
    }
    QCOMPARE(test::listFiles(target),
             (QStringList{"liblwjgl.SO", "linux/x64/org/lwjgl/liblwjgl.so"}));
}

// What an extraction killed part-way leaves: temporaries named as AtomicFile
// names them. A rerun into the same folder removes those of the entries it
// writes and nothing else.
void TestZip::rerunRemovesKilledRunsTemporaries_data()
{
    QTest::addColumn<QString>("leftover");
    QTest::addColumn<bool>("removed");
    QTest::newRow("entry at the top") << ".a.dll.k3x9q.part" << true;
    QTest::newRow("entry in a subfolder") << "sub/.b.dll.0.part" << true;
    QTest::newRow("name that is no entry") << ".c.dll.k3x9q.part" << false;
    QTest::newRow("entry that dllOnly skips") << ".d.txt.k3x9q.part" << false;
    QTest::newRow("not a temporary's shape") << ".a.dll.K3X9Q.part" << false;
}

void TestZip::rerunRemovesKilledRunsTemporaries()
{
    QFETCH(QString, leftover);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    const QString zip = dir.filePath("natives.zip");
    QVERIFY(
        ZipBuilder().file("a.dll", "pe").file("sub/b.dll", "pe2").file("d.txt", "t").write(zip));
    const QString target = dir.filePath("out");
    QVERIFY(QDir().mkpath(QFileInfo(target + '/' + leftover).path()));
    QFile stale(target + '/' + leftover);
    QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write("half") == 4);
    stale.close();
    QCOMPARE(extract(zip, target, true), kOk);
    QStringList expected{"a.dll", "sub/b.dll"};
    if (!removed)
        expected << leftover;
    expected.sort();
    QCOMPARE(test::listFiles(target), expected);
}

void TestZip::failedEntryLeavesNoFile_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("fault");
    for (auto [method, label] : {std::pair{ZipBuilder::Method::Stored, "stored"},
                                 std::pair{ZipBuilder::Method::Deflated, "deflated"}}) {
        const QByteArray m(label);
        QTest::newRow(QByteArray(m + " wrong CRC").constData()) << int(method) << "crc";
        QTest::newRow(QByteArray(m + " more data than declared").constData())
            << int(method) << "more";
        QTest::newRow(QByteArray(m + " less data than declared").constData())
            << int(method) << "less";
    }
}

void TestZip::failedEntryLeavesNoFile()
{
    QFETCH(int, method);
    QFETCH(QString, fault);
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("a.zip"));
    const QByteArray content = noise(200000);
    QVERIFY(ZipBuilder()
                .file("first.txt", "fine")
                .file("mods/a.jar", content, ZipBuilder::Method(method))
                .write(zip));
    if (fault == QLatin1String("crc"))
        QVERIFY(test::patchZipEntry(zip, 1, 0xdeadbeef, {}));
    else if (fault == QLatin1String("more"))
        QVERIFY(test::patchZipEntry(zip, 1, {}, quint32(content.size() - 1000)));
    else
        QVERIFY(test::patchZipEntry(zip, 1, {}, quint32(content.size() + 1000)));

    const QString target = dir.filePath(QStringLiteral("out"));
    const QString message = extract(zip, target);
    QCOMPARE(message, kFailed);
    // The entry before stays; the failed one leaves neither file nor temp file.
    QCOMPARE(test::listFiles(target), QStringList{"first.txt"});
}

void TestZip::entryCountLimit_data()
{
    QTest::addColumn<int>("entries");
    QTest::addColumn<QString>("message");
    QTest::newRow("100,000 entries") << 100000 << kOk;
    QTest::newRow("100,001 entries") << 100001 << kTooMany;
}

void TestZip::entryCountLimit()
{
    QFETCH(int, entries);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("many.zip"));
    ZipBuilder builder;
    builder.file("first.dll", "d", ZipBuilder::Method::Stored);
    for (int i = 1; i < entries; ++i)
        builder.file(QByteArray("f/" + QByteArray::number(i)), QByteArray(),
                     ZipBuilder::Method::Stored);
    QVERIFY(builder.write(zip));
    // dllOnly keeps the test from writing 100,000 files; every entry is still
    // read, validated and counted.
    const QString target = dir.filePath(QStringLiteral("out"));
    QCOMPARE(extract(zip, target, true), message);
    QCOMPARE(test::listFiles(target), message == kOk ? QStringList{"first.dll"} : QStringList{});
}

void TestZip::declaredSizeLimits()
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("out"));
    {
        // One entry announcing one byte over 512 MiB is refused before any data.
        const QString zip = dir.filePath(QStringLiteral("one.zip"));
        QVERIFY(ZipBuilder().file("big.bin", "tiny").write(zip));
        QVERIFY(test::patchZipEntry(zip, 0, {}, 536870913u));
        QCOMPARE(extract(zip, target), kTooLarge);
        QCOMPARE(test::listFiles(target), QStringList{});
    }
    {
        // Exactly 2 GiB in total is allowed; the entry that crosses it is
        // refused after the earlier ones were written.
        const QString zip = dir.filePath(QStringLiteral("total.zip"));
        ZipBuilder builder;
        builder.file("first.dll", "written");
        for (int i = 0; i < 4; ++i)
            builder.file(QByteArray("big" + QByteArray::number(i) + ".bin"), "x");
        builder.file("crossing.dll", "never written");
        QVERIFY(builder.write(zip));
        for (int i = 1; i <= 4; ++i)
            QVERIFY(test::patchZipEntry(zip, i, {}, 536870912u - (i == 1 ? 7u : 0u)));
        // Total so far: 7 + 4 * 512 MiB - 7 = 2 GiB exactly; the next entry crosses it.
        QCOMPARE(extract(zip, target, true), kTooLarge);
        QCOMPARE(test::listFiles(target), QStringList{"first.dll"});
    }
}

void TestZip::cancelDuringLargeEntry()
{
#ifndef Q_OS_LINUX
    QSKIP("the open save file is found through /proc");
#endif
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("large.zip"));
    QVERIFY(ZipBuilder()
                .file("small.txt", "before")
                .file("large.bin", QByteArray(256 * 1024 * 1024, '\0'))
                .write(zip));
    const QString target = dir.filePath(QStringLiteral("out"));
    auto flag = makeCancelFlag();
    std::atomic_bool done = false;
    // Cancel as soon as the large entry's temporary is open below the target
    // (the first entry's temporary must not count: under load the scan can
    // see it before that entry is in place).
    std::thread canceller([&] {
        while (!done) {
            const QStringList fds =
                QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::Files);
            for (const QString& fd : fds) {
                const QString link = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + fd);
                if (link.startsWith(target + QLatin1Char('/')) &&
                    link.contains(QLatin1String("large.bin"))) {
                    flag->store(true);
                    return;
                }
            }
            std::this_thread::yield();
        }
    });
    const QString message = extract(zip, target, false, flag);
    done = true;
    canceller.join();
    QCOMPARE(message, kCancelled);
    QCOMPARE(test::listFiles(target), QStringList{"small.txt"});
}

void TestZip::unixModeKeepsOnlyOwnerExecute()
{
#ifndef Q_OS_UNIX
    QSKIP("file modes are POSIX");
#endif
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("modes.zip"));
    QVERIFY(ZipBuilder()
                .file("bin/java", "#!/bin/sh\n", ZipBuilder::Method::Deflated,
                      0104777) // setuid, all rwx
                .file("lib/readonly.txt", "r", ZipBuilder::Method::Deflated, 0100444)
                .file("lib/plain.txt", "p", ZipBuilder::Method::Deflated, 0100666)
                .file("dos.exe", "MZ")
                .externalAttributes(0 /* MS-DOS */, 0x01u | (0100755u << 16))
                .write(zip));
    const QString target = dir.filePath(QStringLiteral("out"));
    const mode_t old = ::umask(022);
    const QString message = extract(zip, target);
    ::umask(old);
    QCOMPARE(message, kOk);
    auto mode = [&](const char* name) {
        struct stat st
        {
        };
        ::stat(QFile::encodeName(target + QLatin1Char('/') + QLatin1String(name)).constData(), &st);
        return st.st_mode & 07777;
    };
    QCOMPARE(mode("bin/java"), mode_t(0744));
    // Stored read-only bits are ignored, so later updates can replace the file.
    QCOMPARE(mode("lib/readonly.txt"), mode_t(0644));
    QCOMPARE(mode("lib/plain.txt"), mode_t(0644));
    // Upper bits of a non-Unix entry are not a Unix mode.
    QCOMPARE(mode("dos.exe"), mode_t(0644));
}

void TestZip::overwritesExistingFilesAndRefusesLinkedTargets()
{
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("a.zip"));
    QVERIFY(ZipBuilder().file("mods/a.jar", "new").write(zip));
    const QString target = dir.filePath(QStringLiteral("out"));
    QVERIFY(test::writeBytes(target + QStringLiteral("/mods/a.jar"), "old and longer"));
    QCOMPARE(extract(zip, target), kOk);
    QCOMPARE(test::readBytes(target + QStringLiteral("/mods/a.jar")), QByteArray("new"));

#ifdef Q_OS_UNIX
    // A folder of the target that is a link is never written through.
    const QString linked = dir.filePath(QStringLiteral("linked"));
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(linked));
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QFile::link(elsewhere, linked + QStringLiteral("/mods")));
    QCOMPARE(extract(zip, linked),
             QStringLiteral("Symbolický odkaz není povolen: ") + linked + QStringLiteral("/mods"));
    QCOMPARE(test::listFiles(elsewhere), QStringList{});
#endif
}

void TestZip::openFailures()
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("out"));
    QCOMPARE(extract(dir.filePath(QStringLiteral("missing.zip")), target),
             QStringLiteral("Nelze otevřít archiv."));
    const QString text = dir.filePath(QStringLiteral("text.zip"));
    QVERIFY(test::writeBytes(text, "this is not an archive at all"));
    QCOMPARE(extract(text, target), kCorrupt);
    const QString empty = dir.filePath(QStringLiteral("empty.zip"));
    QVERIFY(test::writeBytes(empty, QByteArray()));
    QCOMPARE(extract(empty, target), kCorrupt);
    // Nothing was created for an archive that could not be read.
    QVERIFY(!QFileInfo::exists(target));
}

void TestZip::encryptedEntryFails()
{
#ifndef Q_OS_UNIX
    QSKIP("the archive tools run in the Linux build");
#endif
    if (QStandardPaths::findExecutable(QStringLiteral("zip")).isEmpty())
        QFAIL("the zip tool is missing; scripts/test installs it");
    QTemporaryDir dir;
    QVERIFY(test::writeBytes(dir.filePath(QStringLiteral("secret.txt")), "top secret"));
    QVERIFY(runTool(QStringLiteral("zip"),
                    {QStringLiteral("-q"), QStringLiteral("-P"), QStringLiteral("pw"),
                     QStringLiteral("enc.zip"), QStringLiteral("secret.txt")},
                    dir.path()));
    const QString target = dir.filePath(QStringLiteral("out"));
    QCOMPARE(extract(dir.filePath(QStringLiteral("enc.zip")), target), kFailed);
    QCOMPARE(test::listFiles(target), QStringList{});
}

void TestZip::toolMadeArchives_data()
{
#ifndef Q_OS_UNIX
    QSKIP("the archive tools run in the Linux build");
#endif
    QTest::addColumn<QString>("tool");
    QTest::newRow("zip") << "zip";
    QTest::newRow("zip with ZIP64 records") << "zip64";
    QTest::newRow("zip from standard input (data descriptors)") << "zip-stream";
    QTest::newRow("jar") << "jar";
}

void TestZip::toolMadeArchives()
{
    QFETCH(QString, tool);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("src"));
    QMap<QString, QByteArray> content{
        {QStringLiteral("bin/javaw.exe"), noise(150000, 7)},
        {QStringLiteral("lib/modules"), QByteArray(400000, 'm')},
        {QStringLiteral("conf/security/java.policy"), "grant {};\n"},
        {QStringLiteral("empty"), QByteArray()},
    };
    for (auto it = content.cbegin(); it != content.cend(); ++it)
        QVERIFY(test::writeBytes(source + QLatin1Char('/') + it.key(), it.value()));
    const QString zip = dir.filePath(QStringLiteral("made.zip"));
    if (tool == QLatin1String("jar")) {
        QVERIFY(runTool(QStringLiteral("jar"), {QStringLiteral("cf"), zip, QStringLiteral(".")},
                        source));
        content.insert(QStringLiteral("META-INF/MANIFEST.MF"), QByteArray());
    } else if (tool == QLatin1String("zip-stream")) {
        const QString single = source + QStringLiteral("/lib/modules");
        QProcess process;
        process.setStandardInputFile(single);
        process.setStandardOutputFile(zip);
        process.start(QStringLiteral("zip"),
                      {QStringLiteral("-q"), QStringLiteral("-"), QStringLiteral("-")});
        QVERIFY(process.waitForFinished() && process.exitCode() == 0);
        content = {{QStringLiteral("-"), content.value(QStringLiteral("lib/modules"))}};
    } else {
        QStringList args{QStringLiteral("-q"), QStringLiteral("-r")};
        if (tool == QLatin1String("zip64"))
            args << QStringLiteral("-fz");
        QVERIFY(runTool(QStringLiteral("zip"), args << zip << QStringLiteral("."), source));
    }
    const QString target = dir.filePath(QStringLiteral("out"));
    QCOMPARE(extract(zip, target), kOk);
    QCOMPARE(test::listFiles(target), QStringList(content.keys()));
    for (auto it = content.cbegin(); it != content.cend(); ++it)
        if (it.key() != QLatin1String("META-INF/MANIFEST.MF"))
            QVERIFY2(test::readBytes(target + QLatin1Char('/') + it.key()) == it.value(),
                     qPrintable(it.key()));
}

void TestZip::hostileSamples_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("message");
    // Accepted: valid ZIP64 records, streamed entries, CRCs only in the
    // central directory, and disagreements that do not matter to a reader that
    // takes names and sizes from the central directory and checks every byte
    // of data against them (dates, comments, extra fields, gaps, junk around
    // the archive, a local header that differs from its central record).
    const QStringList accepted{
        "libzip-incons-archive-comment-shorter.zip", "libzip-incons-central-date.zip",
        "libzip-incons-central-file-comment-utf8-ascii.zip",
        "libzip-incons-ef-local-dupe-utf8comment.zip", "libzip-incons-ef-local-dupe-utf8name.zip",
        "libzip-incons-ef-local-dupe-zip64-v1.zip", "libzip-incons-ef-local-dupe-zip64-v2.zip",
        "libzip-incons-ef-local-id-size.zip", "libzip-incons-ef-local-id.zip",
        "libzip-incons-ef-local-utf8name-ascii.zip", "libzip-incons-eocd64-gap.zip",
        "libzip-incons-eocd64.zip", "libzip-incons-gap-before-cd.zip",
        "libzip-incons-gap-before-eocd.zip", "libzip-incons-gap-before-local.zip",
        "libzip-incons-local-compression-method.zip", "libzip-incons-local-compsize-larger.zip",
        "libzip-incons-local-compsize-smaller.zip", "libzip-incons-local-crc.zip",
        "libzip-incons-local-filename-missing.zip", "libzip-incons-local-filename.zip",
        "libzip-incons-local-magic-bad.zip", "libzip-incons-local-size-larger.zip",
        "libzip-incons-streamed-2.zip", "libzip-incons-streamed.zip",
        "libzip-incons-trailing-garbage.zip", "libzip-junk-at-end.zip", "libzip-streamed-zip64.zip",
        "libzip-zip64.zip", "rczip-crc32-not-streamed.zip", "rczip-test-trailing-junk.zip",
        "rczip-zip64-2.zip", "rczip-zip64.zip", "zip2-comment_garbage.zip",
        // Written under the name before the NUL, which still passes every path rule.
        "libzip-incons-filename-nul-byte.zip"};
    const QMap<QString, QString> special{
        {"fifield-zbsm.zip", kTooLarge}, // overlapping bomb: 5.4 GB declared
        {"libzip-incons-zip64-checkcons-overflow.zip", kTooLarge},
        {"libzip-filename_duplicate.zip", kLinkOrDuplicate},
        {"libzip-filename_duplicate_empty.zip", kBadPath},
        {"libzip-filename_empty.zip", kBadPath},
        {"rczip-zipslip.zip", kLinkOrDuplicate},
        {"zip2-symlink.zip", kLinkOrDuplicate},
        // Data that disagrees with the central directory: wrong method,
        // compressed size, CRC-32 or size, found while the entry is written.
        {"libzip-incons-central-compression-method.zip", kFailed},
        {"libzip-incons-central-compsize-larger-toolarge.zip", kFailed},
        {"libzip-incons-central-compsize-larger.zip", kFailed},
        {"libzip-incons-central-compsize-smaller.zip", kFailed},
        {"libzip-incons-central-crc.zip", kFailed},
        {"libzip-incons-central-size-larger.zip", kFailed},
        {"libzip-incons-data.zip", kFailed},
        {"libzip-incons-ef-local-size.zip", kFailed},
        {"libzip-incons-local-filename-long.zip", kFailed},
        {"libzip-incons-local-filename-short.zip", kFailed},
        {"libzip-incons-stored-size.zip", kFailed},
    };
    const QStringList files =
        QDir(test::dataPath(QStringLiteral("zip")))
            .entryList({QStringLiteral("*.zip"), QStringLiteral("*.trailingzip")}, QDir::Files);
    QVERIFY(files.size() > 70);
    for (const QString& file : files) {
        if (file == QLatin1String("libzip-bigzero-zip.zip") ||
            file == QLatin1String("libzip-manyfiles-zip.zip"))
            continue; // containers of other samples, see nestedBombs
        const QString message = accepted.contains(file) ? kOk : special.value(file, kCorrupt);
        QTest::newRow(qPrintable(file)) << file << message;
    }
}

void TestZip::hostileSamples()
{
    QFETCH(QString, file);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("out"));
    QCOMPARE(extract(test::dataPath(QStringLiteral("zip/") + file), target), message);
    // Whatever happened, nothing landed outside the target and no link exists.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QFileInfo::exists(target) ? QStringList{"out"} : QStringList{});
    for (const QString& name : test::listFiles(target))
        QVERIFY2(!isReparsePoint(target + QLatin1Char('/') + name), qPrintable(name));
}

void TestZip::declaredSizeLieStopsAtDeclaredSize()
{
    // One deflated entry declares 1,024 bytes but inflates to 64 MiB.
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("lie.zip"));
    QVERIFY(ZipBuilder().file("mods/a.jar", QByteArray(64 * 1024 * 1024, '\0')).write(zip));
    QVERIFY(test::patchZipEntry(zip, 0, {}, 1024));
    const QString target = dir.filePath(QStringLiteral("out"));
    QCOMPARE(extract(zip, target), kFailed);
    QCOMPARE(test::listFiles(target), QStringList{});

#ifdef Q_OS_UNIX // bzip2 runs in the Linux build
    // The committed sample: 10 GB of zeros announced as 1.8 GB without ZIP64.
    const QString unpacked = dir.filePath(QStringLiteral("10GB.zip"));
    QProcess bunzip;
    bunzip.setStandardOutputFile(unpacked);
    bunzip.start(
        QStringLiteral("bzip2"),
        {QStringLiteral("-dc"), test::dataPath(QStringLiteral("zip/recext-10GB.zip.bz2"))});
    QVERIFY2(bunzip.waitForFinished() && bunzip.exitCode() == 0,
             "bzip2 is installed by scripts/test");
    QCOMPARE(extract(unpacked, target), kTooLarge);
    QCOMPARE(test::listFiles(target), QStringList{});
#endif
}

void TestZip::nestedBombs()
{
    QTemporaryDir dir;
    // The outer archive is harmless; the inner one announces 4 GiB of zeros.
    const QString outer = dir.filePath(QStringLiteral("bigzero"));
    QCOMPARE(extract(test::dataPath(QStringLiteral("zip/libzip-bigzero-zip.zip")), outer), kOk);
    QCOMPARE(test::listFiles(outer), QStringList{"bigzero.zip"});
    const QString inner = dir.filePath(QStringLiteral("bigzero-inner"));
    QCOMPARE(extract(outer + QStringLiteral("/bigzero.zip"), inner), kTooLarge);
    QCOMPARE(test::listFiles(inner), QStringList{});

    // Archives with many entries; dllOnly validates and counts every entry
    // without writing tens of thousands of files.
    const QString many = dir.filePath(QStringLiteral("many"));
    QCOMPARE(extract(test::dataPath(QStringLiteral("zip/libzip-manyfiles-zip.zip")), many), kOk);
    const QMap<QString, QString> expected{
        {"manyfiles.zip", kOk},
        {"manyfiles-65536.zip", kOk},
        {"manyfiles-zip64.zip", kOk},
        {"manyfiles-133000.zip", kTooMany},
        {"manyfiles-zip64-modulo.zip", kCorrupt},
        {"manyfiles-fewer.zip", kCorrupt},
        {"manyfiles-more.zip", kCorrupt},
    };
    QCOMPARE(test::listFiles(many), QStringList(expected.keys()));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QString out = dir.filePath(QStringLiteral("many-") + it.key());
        QCOMPARE(extract(many + QLatin1Char('/') + it.key(), out, true), it.value());
        QCOMPARE(test::listFiles(out), QStringList{});
    }
}

QTEST_GUILESS_MAIN(TestZip)
#include "tst_zip.moc"
