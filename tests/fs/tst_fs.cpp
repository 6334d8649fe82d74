// Safe paths and file operations: the path validator, the link-refusing join,
// bounded reads, hashing, atomic writes and copies, cancellation.
#include "fs/AtomicFile.h"
#include "fs/SafeFiles.h"
#include "fs/StreamHash.h"
#include "fs/ZipExtract.h"
#include "support/TestData.h"
#include "support/ZipBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <thread>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace tarvik;
using test::errorOf;

namespace {

#ifdef Q_OS_UNIX
// Lowers the file size limit of this process for the life of the object, so
// that writes past it fail with EFBIG even for root.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }

private:
    rlimit m_saved{};
    void (*m_previousHandler)(int) = nullptr;
};
#endif

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x & 0xff);
    }
    return bytes;
}

// Anything but the target itself left in a folder (e.g. a save file's temp).
QStringList leftovers(const QString& folder, const QString& keep)
{
    QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.removeAll(keep);
    return names;
}

} // namespace

class TestFs : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void beyond260Characters_data();
    void beyond260Characters();
    void sanitizeAccepts_data();
    void sanitizeAccepts();
    void sanitizeRefuses_data();
    void sanitizeRefuses();

    void resolveInsideJoinsPlainPaths();
    void resolveInsideRefusesLinks_data();
    void resolveInsideRefusesLinks();

    void readFileCeiling_data();
    void readFileCeiling();
    void parseJsonObject_data();
    void parseJsonObject();

    void hashKnownDigests_data();
    void hashKnownDigests();
    void hashCancelledDuringALongFile();
    void hashMultiBlockMatchesWholeDigest();
    void hashFailures();

    void writeAtomicallyReplacesContent();
    void writeAtomicallyFailureKeepsOldContent_data();
    void writeAtomicallyFailureKeepsOldContent();

    void temporaryNames_data();
    void temporaryNames();
    void syncCommitted();

    void copyFileCopiesExactly_data();
    void copyFileCopiesExactly();
    void copyFileFailures();

    void ensureDir();
    void cancellation();
    void sleepSlices_data();
    void sleepSlices();
    void sleepStopsWhenCancelledBetweenSlices();
    void dataDirIsTheApplicationFolder();
};

void TestFs::sanitizeAccepts_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "mods/a.jar"
                           << "mods/a.jar";
    QTest::newRow("backslashes become slashes") << "a\\b\\c.txt"
                                                << "a/b/c.txt";
    QTest::newRow("mixed separators") << "a\\b/c"
                                      << "a/b/c";
    QTest::newRow("auxiliary") << "auxiliary"
                               << "auxiliary";
    QTest::newRow("con_x") << "con_x"
                           << "con_x";
    QTest::newRow("com superscript four") << "com⁴.txt"
                                          << "com⁴.txt";
    QTest::newRow("com10") << "dir/com10"
                           << "dir/com10";
    QTest::newRow("console") << "console.log"
                             << "console.log";
    QTest::newRow("conx") << "conx"
                          << "conx";
    QTest::newRow("blank inside name") << "con x.txt"
                                       << "con x.txt";
    QTest::newRow("dot inside name") << "a.b.c"
                                     << "a.b.c";
    QTest::newRow("leading dot") << ".hidden/x"
                                 << ".hidden/x";
    QTest::newRow("three dots inside") << "a/...b"
                                       << "a/...b";
    QTest::newRow("Czech letters") << "světy/žluťoučký kůň.txt"
                                   << "světy/žluťoučký kůň.txt";
    const QString longest =
        QString(255, QLatin1Char('a')) + QLatin1Char('/') + QString(256, QLatin1Char('b'));
    QTest::newRow("512 characters") << longest << longest;
    QTest::newRow("DEL is allowed") << QStringLiteral("a\x7f") << QStringLiteral("a\x7f");
}

void TestFs::sanitizeAccepts()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(sanitizeRelativePath(input), expected);
}

void TestFs::sanitizeRefuses_data()
{
    QTest::addColumn<QString>("input");
    QTest::newRow("empty") << "";
    QTest::newRow("513 characters")
        << QString(255, QLatin1Char('a')) + QLatin1Char('/') + QString(257, QLatin1Char('b'));
    QTest::newRow("two dots") << "mods/../x";
    QTest::newRow("two dots with backslash") << "..\\..\\evil.txt";
    QTest::newRow("one dot") << "mods/./a.jar";
    QTest::newRow("double slash") << "mods//a.jar";
    QTest::newRow("trailing slash") << "mods/";
    QTest::newRow("leading slash") << "/etc/passwd";
    QTest::newRow("leading backslash") << "\\evil.txt";
    QTest::newRow("UNC") << "\\\\server\\share\\evil.txt";
    QTest::newRow("drive letter") << "C:/evil.txt";
    QTest::newRow("drive relative") << "C:evil.txt";
    QTest::newRow("colon inside") << "mods/a.jar:Zone.Identifier";
    QTest::newRow("ends with dot") << "mods/a.jar.";
    QTest::newRow("folder ends with dot") << "mods./a.jar";
    QTest::newRow("ends with blank") << "mods/a.jar ";
    QTest::newRow("less than") << "a<b";
    QTest::newRow("greater than") << "a>b";
    QTest::newRow("double quote") << "a\"b";
    QTest::newRow("bar") << "a|b";
    QTest::newRow("question mark") << "a?b";
    QTest::newRow("asterisk") << "a*b";
    QTest::newRow("NUL") << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("control 1") << QStringLiteral("mods/a\x01"
                                                 "b.jar");
    QTest::newRow("tab") << QStringLiteral("mods/tab\there.jar");
    QTest::newRow("control 31") << QStringLiteral("a\x1f");
    QTest::newRow("aux") << "aux";
    QTest::newRow("AUX.txt") << "AUX.txt";
    QTest::newRow("lpt1 in subfolder") << "sub/lpt1";
    QTest::newRow("com0.log") << "com0.log";
    QTest::newRow("NUL upper") << "NUL";
    QTest::newRow("Com1.txt") << "Com1.txt";
    QTest::newRow("lpt9.dat") << "lpt9.dat";
    QTest::newRow("prn as folder") << "prn/x";
    QTest::newRow("con with two extensions") << "con.tar.gz";
    QTest::newRow("lpt superscript two") << "lpt².txt";
    QTest::newRow("COM superscript one") << "COM¹";
    QTest::newRow("Com superscript three in subfolder") << "sub/Com³.log";
    QTest::newRow("LPT superscript three") << "LPT³";
    QTest::newRow("blanks before the dot") << "sub/con  .txt";
}

void TestFs::sanitizeRefuses()
{
    QFETCH(QString, input);
    // The message travels as a C string inside the exception, so it ends at a NUL.
    const QString expected =
        QString(QStringLiteral("Nepovolená cesta v manifestu: ") + input).section(QChar(0), 0, 0);
    QCOMPARE(errorOf([&] { sanitizeRelativePath(input); }), expected);
    // resolveInside validates first and reports the same refusal.
    QCOMPARE(errorOf([&] { resolveInside(QDir::tempPath(), input); }), expected);
}

void TestFs::resolveInsideJoinsPlainPaths()
{
    QTemporaryDir dir;
    const QString base = dir.path() + QStringLiteral("/base/../base/");
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("base/a"))));
    QCOMPARE(resolveInside(base, QStringLiteral("a\\b/c.txt")),
             dir.path() + QStringLiteral("/base/a/b/c.txt"));
    // A relative base is made absolute.
    const QString relativeBase = QDir::current().relativeFilePath(dir.path());
    QCOMPARE(resolveInside(relativeBase, QStringLiteral("x")), dir.path() + QStringLiteral("/x"));
}

void TestFs::resolveInsideRefusesLinks_data()
{
#ifndef Q_OS_UNIX
    QSKIP("symbolic links are made with POSIX calls");
#endif
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("base"); // relative to the temp folder
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("offending"); // relative to the temp folder
    QTest::newRow("base is a link") << "base-link"
                                    << "link"
                                    << "a.txt"
                                    << "link";
    QTest::newRow("folder above base is a link") << "above-link"
                                                 << "link/inner"
                                                 << "a.txt"
                                                 << "link";
    QTest::newRow("existing target is a link") << "target-link"
                                               << "real"
                                               << "t.txt"
                                               << "real/t.txt";
    QTest::newRow("dangling target link") << "dangling"
                                          << "real"
                                          << "d.txt"
                                          << "real/d.txt";
    QTest::newRow("link in the middle") << "middle-link"
                                        << "real"
                                        << "m/deeper/x.txt"
                                        << "real/m";
}

void TestFs::resolveInsideRefusesLinks()
{
    QFETCH(QString, layout);
    QFETCH(QString, base);
    QFETCH(QString, relative);
    QFETCH(QString, offending);
    QTemporaryDir dir;
    const auto at = [&](const char* p) { return dir.filePath(QString::fromUtf8(p)); };
    QVERIFY(QDir().mkpath(at("real/inner")));
    QVERIFY(QDir().mkpath(at("elsewhere")));
    QVERIFY(test::writeBytes(at("elsewhere/file"), "secret"));
    if (layout == QLatin1String("base-link") || layout == QLatin1String("above-link"))
        QVERIFY(QFile::link(at("real"), at("link")));
    else if (layout == QLatin1String("target-link"))
        QVERIFY(QFile::link(at("elsewhere/file"), at("real/t.txt")));
    else if (layout == QLatin1String("dangling"))
        QVERIFY(QFile::link(at("nowhere"), at("real/d.txt")));
    else if (layout == QLatin1String("middle-link"))
        QVERIFY(QFile::link(at("elsewhere"), at("real/m")));

    QCOMPARE(errorOf([&] { resolveInside(dir.filePath(base), relative); }),
             QStringLiteral("Symbolický odkaz není povolen: ") + dir.filePath(offending));
}

void TestFs::readFileCeiling_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("empty") << qint64(0) << true;
    QTest::newRow("exactly 8 MiB") << kMaxDocumentSize << true;
    QTest::newRow("one byte more") << kMaxDocumentSize + 1 << false;
}

void TestFs::readFileCeiling()
{
    QFETCH(qint64, size);
    QFETCH(bool, accepted);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("doc.json"));
    const QByteArray content = pattern(size);
    QVERIFY(test::writeBytes(path, content));
    if (accepted)
        QCOMPARE(readFile(path, kMaxDocumentSize), content);
    else
        QCOMPARE(errorOf([&] { readFile(path, kMaxDocumentSize); }),
                 QStringLiteral("Nelze načíst soubor: ") + path);
}

void TestFs::parseJsonObject_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("object") << QByteArray(R"({"a": 1})") << true;
    QTest::newRow("empty object") << QByteArray("{}") << true;
    QTest::newRow("array") << QByteArray("[1, 2]") << false;
    QTest::newRow("garbage after object") << QByteArray("{} x") << false;
    QTest::newRow("truncated") << QByteArray(R"({"a": )") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("html error page") << QByteArray("<html>502</html>") << false;
}

void TestFs::parseJsonObject()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    const QString message = errorOf([&] { tarvik::parseJsonObject(bytes); });
    QCOMPARE(message, accepted ? QStringLiteral("<no error>")
                               : QStringLiteral("Server poslal neplatný JSON."));
}

void TestFs::hashKnownDigests_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<QByteArray>("digest");
    QTest::addColumn<bool>("system"); // computed by the system's library
    QTest::newRow("empty SHA-1") << QByteArray() << int(QCryptographicHash::Sha1)
                                 << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709") << true;
    QTest::newRow("empty SHA-256")
        << QByteArray() << int(QCryptographicHash::Sha256)
        << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855") << true;
    QTest::newRow("empty SHA-512")
        << QByteArray() << int(QCryptographicHash::Sha512)
        << QByteArray("cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
                      "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e")
        << true;
    QTest::newRow("abc SHA-1") << QByteArray("abc") << int(QCryptographicHash::Sha1)
                               << QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d") << true;
    QTest::newRow("abc SHA-256")
        << QByteArray("abc") << int(QCryptographicHash::Sha256)
        << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") << true;
    QTest::newRow("MD5, Qt's code only") << QByteArray("abc") << int(QCryptographicHash::Md5)
                                         << QByteArray("900150983cd24fb0d6963f7d28e17f72") << false;
    QTest::newRow("abc SHA-512")
        << QByteArray("abc") << int(QCryptographicHash::Sha512)
        << QByteArray("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                      "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f")
        << true;
}

void TestFs::hashKnownDigests()
{
    QFETCH(QByteArray, content);
    QFETCH(int, algorithm);
    QFETCH(QByteArray, digest);
    QFETCH(bool, system);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f"));
    QVERIFY(test::writeBytes(path, content));
    // The system's library on this machine, and Qt's code where it has none.
    QCOMPARE(StreamHash(QCryptographicHash::Algorithm(algorithm)).usesSystemCrypto(), system);
    QCOMPARE(hashFile(path, QCryptographicHash::Algorithm(algorithm), nullptr), digest);
    detail::setSystemCrypto(false);
    const QByteArray fallback = hashFile(path, QCryptographicHash::Algorithm(algorithm), nullptr);
    detail::setSystemCrypto(true);
    QCOMPARE(fallback, digest);
}

void TestFs::hashCancelledDuringALongFile()
{
    // 4 GiB of holes: far longer to hash than the 50 ms before the cancel.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sparse"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(4) << 30));
    file.close();
    auto flag = makeCancelFlag();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        flag->store(true);
    });
    QElapsedTimer clock;
    clock.start();
    const QString message = errorOf([&] { hashFile(path, QCryptographicHash::Sha512, flag); });
    canceller.join();
    QCOMPARE(message, QStringLiteral("Operace byla zrušena."));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

void TestFs::hashMultiBlockMatchesWholeDigest()
{
    // Three whole blocks and a partial one.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big"));
    const QByteArray content = pattern(3 * kIoBlockSize + 4321);
    QVERIFY(test::writeBytes(path, content));
    for (auto algorithm :
         {QCryptographicHash::Sha1, QCryptographicHash::Sha256, QCryptographicHash::Sha512})
        QCOMPARE(hashFile(path, algorithm, makeCancelFlag()),
                 QCryptographicHash::hash(content, algorithm).toHex());
}

void TestFs::hashFailures()
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("missing"));
    QCOMPARE(errorOf([&] { hashFile(missing, QCryptographicHash::Sha1, nullptr); }),
             QStringLiteral("Nelze ověřit soubor: ") + missing);
    const QString path = dir.filePath(QStringLiteral("f"));
    QVERIFY(test::writeBytes(path, "data"));
    auto flag = makeCancelFlag();
    flag->store(true);
    QCOMPARE(errorOf([&] { hashFile(path, QCryptographicHash::Sha1, flag); }),
             QStringLiteral("Operace byla zrušena."));
    // A folder cannot be read as a file: never a digest of "nothing".
    const QString message =
        errorOf([&] { hashFile(dir.path(), QCryptographicHash::Sha1, nullptr); });
    QVERIFY2(message == QStringLiteral("Nelze ověřit soubor: ") + dir.path() ||
                 message == QStringLiteral("Chyba čtení: ") + dir.path(),
             qPrintable(message));
}

void TestFs::writeAtomicallyReplacesContent()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("new/sub/settings.json"));
    writeFileAtomically(path, "first");
    QCOMPARE(test::readBytes(path), QByteArray("first"));
    writeFileAtomically(path, QByteArray());
    QCOMPARE(QFileInfo(path).size(), 0);
    writeFileAtomically(path, "second");
    QCOMPARE(test::readBytes(path), QByteArray("second"));
    QCOMPARE(leftovers(QFileInfo(path).path(), QStringLiteral("settings.json")), QStringList());
}

void TestFs::writeAtomicallyFailureKeepsOldContent_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("messagePrefix");
    QTest::newRow("parent is a regular file") << "parent-file"
                                              << "Nelze vytvořit složku: ";
    QTest::newRow("target is a folder") << "target-folder"
                                        << "Nelze bezpečně uložit soubor: ";
#ifdef Q_OS_UNIX
    QTest::newRow("disk refuses the write") << "file-size-limit"
                                            << "Nelze bezpečně uložit soubor: ";
    QTest::newRow("target is a symbolic link") << "link"
                                               << "Nelze bezpečně uložit soubor: ";
#else
    // As a virus scanner holds it: the replacing rename is refused.
    QTest::newRow("target open without delete sharing") << "held-open"
                                                        << "Nelze bezpečně uložit soubor: ";
#endif
}

void TestFs::writeAtomicallyFailureKeepsOldContent()
{
    QFETCH(QString, fault);
    QFETCH(QString, messagePrefix);
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(folder));
    QString target = folder + QStringLiteral("/state.json");
    QString expectedPathInMessage = target;
    QVERIFY(test::writeBytes(target, "old content"));

    if (fault == QLatin1String("parent-file")) {
        target = folder + QStringLiteral("/state.json/inner.json");
        expectedPathInMessage = folder + QStringLiteral("/state.json");
        QCOMPARE(errorOf([&] { writeFileAtomically(target, "new"); }),
                 messagePrefix + expectedPathInMessage);
    } else if (fault == QLatin1String("target-folder")) {
        const QString sub = folder + QStringLiteral("/sub");
        QVERIFY(test::writeBytes(sub + QStringLiteral("/keep.txt"), "kept"));
        QCOMPARE(errorOf([&] { writeFileAtomically(sub, "new"); }), messagePrefix + sub);
        QCOMPARE(test::readBytes(sub + QStringLiteral("/keep.txt")), QByteArray("kept"));
    } else if (fault == QLatin1String("link")) {
        // The link and the file it points to both stay as they were.
        const QString outside = dir.filePath(QStringLiteral("outside.json"));
        QVERIFY(test::writeBytes(outside, "outside"));
        const QString link = folder + QStringLiteral("/sub");
        QVERIFY(QFile::link(outside, link));
        QCOMPARE(errorOf([&] { writeFileAtomically(link, "new"); }), messagePrefix + link);
        QCOMPARE(test::readBytes(outside), QByteArray("outside"));
        QVERIFY(isReparsePoint(link));
    } else if (fault == QLatin1String("held-open")) {
        QFile holder(target);
        QVERIFY(holder.open(QIODevice::ReadOnly));
        QCOMPARE(errorOf([&] { writeFileAtomically(target, "new"); }), messagePrefix + target);
    } else {
#ifdef Q_OS_UNIX
        FileSizeLimit limit(64 * 1024);
        QCOMPARE(errorOf([&] { writeFileAtomically(target, pattern(1024 * 1024)); }),
                 messagePrefix + target);
#endif
    }
    QCOMPARE(test::readBytes(folder + QStringLiteral("/state.json")), QByteArray("old content"));
    QStringList rest = leftovers(folder, QStringLiteral("state.json"));
    rest.removeAll(QStringLiteral("sub"));
    QVERIFY2(rest.isEmpty(), qPrintable(rest.join(QLatin1Char(' '))));
}

// The temporaries of a target: their stem, how a name is recognised as one,
// and a stem short enough for the longest file names.
void TestFs::temporaryNames_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("belongs");
    const QString czech = QString(QStringLiteral("ž")).repeated(120); // 240 bytes of UTF-8
    const QString emoji = QString(QStringLiteral("a\U0001F600")).repeated(50);
    QTest::newRow("plain") << "zeta.jar"
                           << ".zeta.jar.k3x9q.part" << true;
    QTest::newRow("another target") << "zeta.jar"
                                    << ".zeta.jar.1.k3x9q.part" << false;
    QTest::newRow("no random part") << "zeta.jar"
                                    << ".zeta.jar..part" << false;
    QTest::newRow("user's file") << "zeta.jar"
                                 << "zeta.jar.part" << false;
    QTest::newRow("255 characters, cut to 200")
        << QString(255, u'b') << "." + QString(200, u'b') + ".abc.part" << true;
    QTest::newRow("Czech letters cut on a character")
        << czech << "." + czech.left(100) + ".abc.part" << true;
    QTest::newRow("never half a surrogate pair")
        << emoji << "." + emoji.left(120) + ".abc.part" << true;
}

void TestFs::temporaryNames()
{
    QFETCH(QString, target);
    QFETCH(QString, name);
    QFETCH(bool, belongs);
    const QString stem = AtomicFile::temporaryStem(target);
    QVERIFY2(stem.toUtf8().size() <= 200, qPrintable(QString::number(stem.toUtf8().size())));
    QVERIFY(QString::fromUtf8(stem.toUtf8()) == stem); // whole characters only
    QCOMPARE(AtomicFile::stemOfTemporary(name) == stem, belongs);
    // What open() creates for the target is one of its temporaries.
    QTemporaryDir dir;
    AtomicFile file(dir.filePath(target));
    QVERIFY(file.open());
    const QStringList made = leftovers(dir.path(), QString());
    QCOMPARE(made.size(), 1);
    QCOMPARE(AtomicFile::stemOfTemporary(made.value(0)), stem);
#ifdef Q_OS_UNIX // Windows deletes no file that its writer still holds open
    AtomicFile::removeStaleTemporaries(dir.filePath(target));
    QVERIFY(leftovers(dir.path(), QString()).isEmpty());
#endif
}

void TestFs::syncCommitted()
{
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a/one.bin"));
    const QString b = dir.filePath(QStringLiteral("two.bin"));
    tarvik::ensureDir(QFileInfo(a).path());
    for (const QString& path : {a, b}) {
        AtomicFile file(path);
        QVERIFY(file.open() && file.write(pattern(1000)) &&
                file.commit(AtomicFile::Durability::Unsynced));
    }
    QVERIFY(AtomicFile::syncCommitted({a, b}));
    QCOMPARE(test::readBytes(a), pattern(1000));
    QVERIFY(!AtomicFile::syncCommitted({a, dir.filePath(QStringLiteral("missing"))}));
}

void TestFs::copyFileCopiesExactly_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("empty") << qsizetype(0);
    QTest::newRow("one byte") << qsizetype(1);
    QTest::newRow("exactly one block") << qsizetype(kIoBlockSize);
    QTest::newRow("several blocks") << qsizetype(5 * kIoBlockSize + 17);
}

void TestFs::copyFileCopiesExactly()
{
    QFETCH(qsizetype, size);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("src.bin"));
    const QString target = dir.filePath(QStringLiteral("deep/er/dst.bin"));
    const QByteArray content = pattern(size);
    QVERIFY(test::writeBytes(source, content));
    QVERIFY(test::writeBytes(target, "previous longer content that must vanish"));
    copyFile(source, target);
    QCOMPARE(test::readBytes(target), content);
    QCOMPARE(leftovers(QFileInfo(target).path(), QStringLiteral("dst.bin")), QStringList());
}

void TestFs::copyFileFailures()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("src.bin"));
    QVERIFY(test::writeBytes(source, pattern(4 * kIoBlockSize)));
    const QString missing = dir.filePath(QStringLiteral("missing"));
    QCOMPARE(errorOf([&] { copyFile(missing, dir.filePath(QStringLiteral("x"))); }),
             QStringLiteral("Nelze načíst: ") + missing);

    const QString blocker = dir.filePath(QStringLiteral("blocker"));
    QVERIFY(test::writeBytes(blocker, "file, not a folder"));
    QCOMPARE(errorOf([&] { copyFile(source, blocker + QStringLiteral("/x")); }),
             QStringLiteral("Nelze vytvořit složku: ") + blocker);

#ifdef Q_OS_UNIX
    // The disk refuses the data: the old target stays and no temp file is left.
    const QString out = dir.filePath(QStringLiteral("out/dst.bin"));
    QVERIFY(test::writeBytes(out, "old"));
    {
        FileSizeLimit limit(64 * 1024);
        const QString message = errorOf([&] { copyFile(source, out); });
        QVERIFY2(message == QStringLiteral("Chyba kopírování: ") + out ||
                     message == QStringLiteral("Nelze dokončit zápis: ") + out,
                 qPrintable(message));
    }
    QCOMPARE(test::readBytes(out), QByteArray("old"));
    QCOMPARE(leftovers(QFileInfo(out).path(), QStringLiteral("dst.bin")), QStringList());

    // A link at the target is not written through.
    const QString outside = dir.filePath(QStringLiteral("outside.bin"));
    QVERIFY(test::writeBytes(outside, "outside"));
    const QString linkTarget = dir.filePath(QStringLiteral("out/link.bin"));
    QVERIFY(QFile::link(outside, linkTarget));
    QCOMPARE(errorOf([&] { copyFile(source, linkTarget); }),
             QStringLiteral("Nelze zapsat: ") + linkTarget);
    QCOMPARE(test::readBytes(outside), QByteArray("outside"));
    QVERIFY(QFile::remove(linkTarget));
#endif

    // A target that is a folder cannot be replaced by a file.
    const QString folderTarget = dir.filePath(QStringLiteral("folder"));
    QVERIFY(QDir().mkpath(folderTarget + QStringLiteral("/inside")));
    const QString message = errorOf([&] { copyFile(source, folderTarget); });
    QVERIFY2(message == QStringLiteral("Nelze zapsat: ") + folderTarget ||
                 message == QStringLiteral("Nelze dokončit zápis: ") + folderTarget,
             qPrintable(message));
    QVERIFY(QFileInfo(folderTarget + QStringLiteral("/inside")).isDir());
    QCOMPARE(leftovers(dir.path(), QString()).filter(QStringLiteral("folder")),
             QStringList{QStringLiteral("folder")});
}

void TestFs::ensureDir()
{
    QTemporaryDir dir;
    const QString deep = dir.filePath(QStringLiteral("a/b/c"));
    tarvik::ensureDir(deep);
    tarvik::ensureDir(deep); // existing folder is success
    QVERIFY(QFileInfo(deep).isDir());
    const QString file = dir.filePath(QStringLiteral("f"));
    QVERIFY(test::writeBytes(file, "x"));
    QCOMPARE(errorOf([&] { tarvik::ensureDir(file + QStringLiteral("/sub")); }),
             QStringLiteral("Nelze vytvořit složku: ") + file + QStringLiteral("/sub"));
}

void TestFs::cancellation()
{
    checkCancelled(nullptr);
    auto flag = makeCancelFlag();
    checkCancelled(flag);
    flag->store(true);
    QCOMPARE(errorOf([&] { checkCancelled(flag); }), QStringLiteral("Operace byla zrušena."));
    QCOMPARE(errorOf([&] { sleepCancellable(5000, flag); }),
             QStringLiteral("Operace byla zrušena."));
    QVERIFY(!isCancelled(nullptr));
}

void TestFs::sleepSlices_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<QList<int>>("slices");
    QTest::newRow("250") << 250 << QList<int>{100, 100, 50};
    QTest::newRow("100") << 100 << QList<int>{100};
    QTest::newRow("101") << 101 << QList<int>{100, 1};
    QTest::newRow("1") << 1 << QList<int>{1};
    QTest::newRow("0") << 0 << QList<int>{};
    QTest::newRow("negative") << -20 << QList<int>{};
}

void TestFs::sleepSlices()
{
    QFETCH(int, total);
    QFETCH(QList<int>, slices);
    QList<int> seen;
    detail::sleepCancellable(total, makeCancelFlag(), [&](int ms) { seen << ms; });
    QCOMPARE(seen, slices);
}

void TestFs::sleepStopsWhenCancelledBetweenSlices()
{
    auto flag = makeCancelFlag();
    QList<int> seen;
    const QString message = errorOf([&] {
        detail::sleepCancellable(1000, flag, [&](int ms) {
            seen << ms;
            if (seen.size() == 2)
                flag->store(true);
        });
    });
    QCOMPARE(message, QStringLiteral("Operace byla zrušena."));
    QCOMPARE(seen, (QList<int>{100, 100}));

    // The real sleep honours the flag within one slice.
    auto realFlag = makeCancelFlag();
    realFlag->store(true);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(errorOf([&] { sleepCancellable(60000, realFlag); }),
             QStringLiteral("Operace byla zrušena."));
    QVERIFY(timer.elapsed() < 1000);
}

void TestFs::dataDirIsTheApplicationFolder()
{
    test::ScopedDataDir data;
    QCOMPARE(dataDir(), data.root() + QStringLiteral("/Tarvik/TarvikClient"));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvik"));
    QCoreApplication::setApplicationName(QStringLiteral("TarvikClient"));
    TestFs test;
    return QTest::qExec(&test, argc, argv);
}

// Paths longer than 260 characters (a deep data folder). Under Wine
// (scripts/test-windows) this exercises the long form of the Windows calls.
void TestFs::beyond260Characters_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("write over a file") << "write";
    QTest::newRow("copy") << "copy";
    QTest::newRow("extract") << "extract";
}

void TestFs::beyond260Characters()
{
    QFETCH(QString, operation);
    QTemporaryDir dir;
    QString deep = dir.path();
    while (deep.size() < 300)
        deep += "/hluboká složka s dlouhým názvem";
    const QString file = deep + "/soubor.txt";
    writeFileAtomically(file, "old");
    writeFileAtomically(dir.filePath("a.txt"), "obsah");
    QVERIFY(test::ZipBuilder().file("soubor.txt", "obsah").write(dir.filePath("a.zip")));
    const QString thrown = errorOf([&] {
        if (operation == "write")
            writeFileAtomically(file, "obsah");
        else if (operation == "copy")
            copyFile(dir.filePath("a.txt"), file);
        else
            extractZip(dir.filePath("a.zip"), deep, {}, false);
    });
    QCOMPARE(thrown, test::kNoError);
    QCOMPARE(test::readBytes(file), QByteArray("obsah"));
    QCOMPARE(QDir(deep).entryList(QDir::Files | QDir::Hidden), QStringList{"soubor.txt"});
}

#include "tst_fs.moc"
