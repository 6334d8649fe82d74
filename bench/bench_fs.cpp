// Side-by-side benchmark of the file layer, run against the usual command-line
// tools on the same data in the same run:
//   - hashFile on a large file in the page cache against sha1sum/sha256sum/
//     sha512sum and openssl dgst, with the digests compared;
//   - extractZip of a Java-runtime-sized archive against unzip, plus libzip
//     decompressing the same archive without writing anything;
//   - what a sync on commit costs per file, against plain writes.
// With --busy, a stand-in for another build (a child process that keeps
// rewriting 4 MiB files) runs during the extraction part.
// Runs are interleaved (ours, reference, ours, reference, ...) and the best of
// each side counts, so a busy machine disturbs both sides alike. Prints times
// and ratios; nothing here fails because the machine is slow.

#include "fs/AtomicFile.h"
#include "fs/Error.h"
#include "fs/SafeFiles.h"
#include "fs/ZipExtract.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace tarvik;

namespace {

constexpr double kMiB = 1048576.0;
constexpr double kNoValue = -1.0;

[[noreturn]] void fail(const QString& message)
{
    throw std::runtime_error(message.toStdString());
}

double secondsSince(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

// Writes back dirty pages, so data written by one measurement is not flushed
// on the next one's time.
void flushDisks()
{
#ifdef Q_OS_UNIX
    ::sync();
#endif
}

// splitmix64: fast, deterministic, good enough to defeat deflate.
class Random
{
public:
    explicit Random(quint64 seed) : state_(seed) {}

    quint64 next()
    {
        quint64 z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    quint64 below(quint64 bound) { return next() % bound; }

    qint64 between(qint64 low, qint64 high)
    {
        return low + static_cast<qint64>(below(static_cast<quint64>(high - low + 1)));
    }

    void fill(char* data, qsizetype size)
    {
        qsizetype i = 0;
        for (; i + 8 <= size; i += 8) {
            const quint64 value = next();
            std::memcpy(data + i, &value, 8);
        }
        if (i < size) {
            const quint64 value = next();
            std::memcpy(data + i, &value, static_cast<size_t>(size - i));
        }
    }

private:
    quint64 state_;
};

// ---- timing ----------------------------------------------------------------

// Wall-clock and CPU time (user + system) of one measurement. While other work
// shares the cores, the CPU time of CPU-bound work is the steadier figure; the
// wall-clock time is what a user waits, sync and disk included.
struct Timing
{
    double wall = kNoValue;
    double cpu = kNoValue;
};

enum class Whose { Self, Children };

double cpuSeconds(Whose whose)
{
#ifdef Q_OS_UNIX
    rusage usage{};
    if (getrusage(whose == Whose::Self ? RUSAGE_SELF : RUSAGE_CHILDREN, &usage) != 0)
        return kNoValue;
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#else
    Q_UNUSED(whose);
    return kNoValue;
#endif
}

// CPU time of this process or of its reaped children, with the wall clock.
class Stopwatch
{
public:
    explicit Stopwatch(Whose whose) : whose_(whose), cpuStart_(cpuSeconds(whose)) { wall_.start(); }

    Timing elapsed() const
    {
        Timing timing;
        timing.wall = secondsSince(wall_);
        const double cpu = cpuSeconds(whose_);
        if (cpu >= 0 && cpuStart_ >= 0)
            timing.cpu = cpu - cpuStart_;
        return timing;
    }

private:
    Whose whose_;
    double cpuStart_;
    QElapsedTimer wall_;
};

QString timingText(const Timing& timing)
{
    QString text = QString::number(timing.wall, 'f', 3) + QStringLiteral(" s");
    if (timing.cpu >= 0)
        text += QStringLiteral(" (cpu ") + QString::number(timing.cpu, 'f', 3) + QLatin1Char(')');
    return text;
}

// Best (smallest) wall and CPU time of one side over interleaved runs, each
// taken on its own, and the median wall-clock time: where a disk's sync time
// swings between runs, the best run alone flatters.
struct Best
{
    Timing best;
    std::vector<double> walls;

    void add(const Timing& timing)
    {
        walls.push_back(timing.wall);
        if (best.wall < 0 || timing.wall < best.wall)
            best.wall = timing.wall;
        if (timing.cpu >= 0 && (best.cpu < 0 || timing.cpu < best.cpu))
            best.cpu = timing.cpu;
    }

    double medianWall() const
    {
        if (walls.empty())
            return kNoValue;
        std::vector<double> sorted = walls;
        std::sort(sorted.begin(), sorted.end());
        const size_t middle = sorted.size() / 2;
        return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
};

// ---- child processes -------------------------------------------------------

struct ChildRun
{
    Timing timing;
    QByteArray output;
};

// Runs a tool to its end; the CPU time counts once QProcess has reaped it.
ChildRun runChild(const QString& program, const QStringList& arguments)
{
    QProcess process;
    const Stopwatch stopwatch(Whose::Children);
    process.start(program, arguments);
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1))
        fail(QStringLiteral("cannot run ") + program);
    ChildRun run;
    run.timing = stopwatch.elapsed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        fail(program + QStringLiteral(" failed: ") +
             QString::fromLocal8Bit(process.readAllStandardError()));
    run.output = process.readAllStandardOutput();
    return run;
}

// The digest of "sha1sum"-style output ("<hex>  <path>" or "<hex> *<path>").
QByteArray firstWord(const QByteArray& output)
{
    const QByteArray line = output.simplified();
    const qsizetype space = line.indexOf(' ');
    return (space < 0 ? line : line.left(space)).toLower();
}

// ---- results ---------------------------------------------------------------

struct Row
{
    QString what;
    QString reference;
    Best ours;
    Best theirs;
    QString target;
};

std::vector<Row> g_summary;

QString ratioText(double ours, double theirs)
{
    if (ours < 0 || theirs <= 0)
        return QStringLiteral("-");
    return QString::number(ours / theirs, 'f', 2) + QLatin1Char('x');
}

QString secondsText(double seconds)
{
    return seconds < 0 ? QStringLiteral("-") : QString::number(seconds, 'f', 3);
}

void print(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString pad(const QString& text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '));
}

// One headline figure in the form bench/run collects: both times and the
// ratio ours / reference.
void measure(const QString& what, double ours, const QString& reference, double theirs,
             const QString& bar)
{
    print(QStringLiteral("measure | %1 | ours %2 s | %3 %4 s | ratio %5 | bar %6")
              .arg(what, secondsText(ours), reference, secondsText(theirs), ratioText(ours, theirs),
                   bar));
}

// A stand-in for another build running at the same time: a child process
// (this program with --busy-child) that keeps generating 4 MiB of data and
// rewriting one of 48 files with it, leaving dirty pages for the kernel to
// write back, as a compiler writing object files does.
int busyChild(const QString& folder)
{
    QDir().mkpath(folder);
    Random random(0xb05eull);
    QByteArray block(4 * 1048576, Qt::Uninitialized);
    for (quint64 i = 0;; ++i) {
        random.fill(block.data(), block.size());
        QFile out(folder + QStringLiteral("/obj%1.o").arg(i % 48));
        if (!out.open(QIODevice::WriteOnly) || out.write(block) != block.size())
            return 1;
    }
}

// ---- hashing ---------------------------------------------------------------

void writeRandomFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("cannot create ") + path);
    Random random(0x5eedf11eull);
    QByteArray block(4 * 1048576, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const qint64 n = std::min<qint64>(left, block.size());
        random.fill(block.data(), n);
        if (file.write(block.constData(), n) != n)
            fail(QStringLiteral("cannot write ") + path);
        left -= n;
    }
    file.close();
}

void readWhole(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read ") + path);
    QByteArray block(1048576, Qt::Uninitialized);
    while (file.read(block.data(), block.size()) > 0) {
    }
}

struct HashAlgorithm
{
    const char* name;
    QCryptographicHash::Algorithm algorithm;
    const char* coreutilsTool;
    const char* opensslOption;
};

void benchHashing(const QString& folder, qint64 sizeMiB, int runs)
{
    const QString path = folder + QStringLiteral("/random.bin");
    const qint64 size = sizeMiB * 1048576;
    print(QStringLiteral("== hashFile on %1 MiB of pseudo-random data in the page cache")
              .arg(sizeMiB));
    QElapsedTimer timer;
    timer.start();
    writeRandomFile(path, size);
    flushDisks();
    readWhole(path);
    print(QStringLiteral("   generated, synced and read once in %1 s")
              .arg(secondsSince(timer), 0, 'f', 1));

    const QString opensslTool = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    static constexpr HashAlgorithm kAlgorithms[] = {
        {"SHA-1", QCryptographicHash::Sha1, "sha1sum", "-sha1"},
        {"SHA-256", QCryptographicHash::Sha256, "sha256sum", "-sha256"},
        {"SHA-512", QCryptographicHash::Sha512, "sha512sum", "-sha512"},
    };
    const double mib = static_cast<double>(size) / kMiB;
    for (const HashAlgorithm& algorithm : kAlgorithms) {
        const QString name = QString::fromLatin1(algorithm.name);
        const QString coreutilsTool =
            QStandardPaths::findExecutable(QString::fromLatin1(algorithm.coreutilsTool));
        Best ours, coreutils, openssl;
        for (int run = 1; run <= runs; ++run) {
            const Stopwatch stopwatch(Whose::Self);
            const QByteArray digest = hashFile(path, algorithm.algorithm, nullptr);
            const Timing oursTime = stopwatch.elapsed();
            ours.add(oursTime);
            QString line = QStringLiteral("   %1 run %2: hashFile %3 %4 MiB/s")
                               .arg(pad(name, 7))
                               .arg(run)
                               .arg(timingText(oursTime))
                               .arg(mib / oursTime.wall, 0, 'f', 0);
            if (!coreutilsTool.isEmpty()) {
                const ChildRun child = runChild(coreutilsTool, {path});
                if (firstWord(child.output) != digest)
                    fail(QStringLiteral("digest mismatch against ") + coreutilsTool);
                coreutils.add(child.timing);
                line += QStringLiteral(", %1 %2").arg(QString::fromLatin1(algorithm.coreutilsTool),
                                                      timingText(child.timing));
            }
            if (!opensslTool.isEmpty()) {
                const ChildRun child =
                    runChild(opensslTool,
                             {QStringLiteral("dgst"), QString::fromLatin1(algorithm.opensslOption),
                              QStringLiteral("-r"), path});
                if (firstWord(child.output) != digest)
                    fail(QStringLiteral("digest mismatch against openssl dgst"));
                openssl.add(child.timing);
                line += QStringLiteral(", openssl %1").arg(timingText(child.timing));
            }
            print(line + QStringLiteral("; digests agree"));
        }
        g_summary.push_back({QStringLiteral("hashFile ") + name,
                             QString::fromLatin1(algorithm.coreutilsTool), ours, coreutils,
                             QString()});
        g_summary.push_back(
            {QStringLiteral("hashFile ") + name,
             QStringLiteral("openssl dgst ") + QString::fromLatin1(algorithm.opensslOption), ours,
             openssl, QStringLiteral("<= 1.30x (1.10x)")});
        measure(
            QStringLiteral("hashFile %1, %2 MiB, cpu best of %3").arg(name).arg(sizeMiB).arg(runs),
            ours.best.cpu, QStringLiteral("openssl dgst"), openssl.best.cpu,
            QStringLiteral("<= 1.30x, moonshot <= 1.10x"));
    }
    QFile::remove(path);
}

// ---- the sample runtime archive --------------------------------------------

struct SampleFile
{
    QString path;
    QByteArray data;
    bool executable = false;
};

// License-, configuration- and header-like text: deflates to about a quarter.
QByteArray textContent(Random& random, qint64 size)
{
    static const char* const kWords[] = {"the",
                                         "of",
                                         "and",
                                         "to",
                                         "in",
                                         "license",
                                         "software",
                                         "copyright",
                                         "without",
                                         "warranty",
                                         "provided",
                                         "distribution",
                                         "source",
                                         "binary",
                                         "permission",
                                         "notice",
                                         "conditions",
                                         "following",
                                         "redistribute",
                                         "modification",
                                         "including",
                                         "limited",
                                         "merchantability",
                                         "fitness",
                                         "particular",
                                         "purpose",
                                         "holder",
                                         "contributors",
                                         "liability",
                                         "damages",
                                         "security",
                                         "provider",
                                         "property",
                                         "java",
                                         "module",
                                         "class",
                                         "static",
                                         "final",
                                         "public",
                                         "return",
                                         "void",
                                         "int",
                                         "struct",
                                         "define",
                                         "include",
                                         "native",
                                         "interface",
                                         "version",
                                         "value",
                                         "name",
                                         "path",
                                         "file",
                                         "=",
                                         "#",
                                         "{",
                                         "}",
                                         "(",
                                         ");",
                                         "*",
                                         "/*",
                                         "*/",
                                         "0x00",
                                         "1",
                                         "2048"};
    QByteArray out;
    out.reserve(size + 32);
    int column = 0;
    while (out.size() < size) {
        const char* word = kWords[random.below(std::size(kWords))];
        out.append(word);
        column += static_cast<int>(std::strlen(word)) + 1;
        if (column > 72) {
            out.append('\n');
            column = 0;
        } else {
            out.append(' ');
        }
    }
    out.truncate(size);
    return out;
}

// Machine-code-like data: 4 KiB pages, a share of them random (packed
// resources), the rest drawn from an eight-byte alphabet with zero runs, which
// deflates to a little under 40 %.
QByteArray binaryContent(Random& random, qint64 size, int randomPercent)
{
    static constexpr unsigned char kAlphabet[8] = {0x00, 0x48, 0x89, 0x8b, 0xe8, 0xff, 0x0f, 0xc3};
    QByteArray out(size, Qt::Uninitialized);
    char* data = out.data();
    for (qint64 offset = 0; offset < size; offset += 4096) {
        const qint64 page = std::min<qint64>(4096, size - offset);
        if (static_cast<int>(random.below(100)) < randomPercent) {
            random.fill(data + offset, page);
            continue;
        }
        for (qint64 i = 0; i < page;) {
            quint64 bits = random.next();
            if ((bits & 0x3f) == 0) { // a run of zeros now and then
                const qint64 run =
                    std::min<qint64>(page - i, 16 + static_cast<qint64>((bits >> 6) & 0x7f));
                std::memset(data + offset + i, 0, static_cast<size_t>(run));
                i += run;
                continue;
            }
            for (int k = 0; k < 20 && i < page; ++k, ++i) {
                bits >>= 3;
                data[offset + i] = static_cast<char>(kAlphabet[bits & 0x7]);
            }
        }
    }
    return out;
}

// About 340 files in 60 folders (400 entries), 100 MB laid out like an
// unpacked Java runtime; deflated, the archive comes to roughly 45 MB.
std::vector<SampleFile> runtimeLayout()
{
    Random random(0x4a524532ull);
    std::vector<SampleFile> files;
    const auto number = [](int i) { return QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')); };
    const auto binary = [&](const QString& path, qint64 low, qint64 high, int randomPercent,
                            bool executable = false) {
        files.push_back(
            {path, binaryContent(random, random.between(low, high), randomPercent), executable});
    };
    const auto text = [&](const QString& path, qint64 low, qint64 high) {
        files.push_back({path, textContent(random, random.between(low, high)), false});
    };

    for (int i = 0; i < 24; ++i)
        binary(QStringLiteral("bin/tool") + number(i) + QStringLiteral(".exe"), 12000, 24000, 5,
               true);
    for (int i = 0; i < 16; ++i)
        binary(QStringLiteral("bin/lib") + number(i) + QStringLiteral(".dll"), 40000, 400000, 10);
    for (int i = 0; i < 24; ++i)
        text(QStringLiteral("conf/setting") + number(i) + QStringLiteral(".properties"), 1000,
             30000);
    for (int i = 0; i < 12; ++i)
        text(QStringLiteral("include/header") + number(i) + QStringLiteral(".h"), 2000, 40000);
    static const char* const kLegal[] = {"LICENSE", "ASSEMBLY_EXCEPTION",
                                         "ADDITIONAL_LICENSE_INFO"};
    for (int i = 0; i < 50; ++i)
        for (const char* name : kLegal)
            text(QStringLiteral("legal/module") + number(i) + QLatin1Char('/') +
                     QString::fromLatin1(name),
                 800, 20000);
    for (int i = 0; i < 100; ++i)
        binary(QStringLiteral("lib/native") + number(i) + QStringLiteral(".dll"), 16000, 400000, 5);
    for (int i = 0; i < 8; ++i)
        text(QStringLiteral("lib/data") + number(i) + QStringLiteral(".dat"), 4000, 200000);
    for (int i = 0; i < 4; ++i)
        binary(QStringLiteral("lib/fonts/font") + number(i) + QStringLiteral(".ttf"), 100000,
               600000, 100);
    binary(QStringLiteral("lib/modules"), 52000000, 52000000, 3);
    binary(QStringLiteral("lib/server/jvm.dll"), 10000000, 10000000, 5);
    binary(QStringLiteral("lib/server/classes.jsa"), 13000000, 13000000, 5);
    text(QStringLiteral("release"), 900, 900);
    return files;
}

struct ArchiveDiscarder
{
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

// Writes the files as a deflated archive with a directory entry before each
// folder's files and Unix modes, as a packer on Linux would.
void writeArchive(const QString& path, const std::vector<SampleFile>& files)
{
    int errorCode = 0;
    zip_t* archive =
        zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &errorCode);
    if (!archive)
        fail(QStringLiteral("cannot create ") + path);
    std::unique_ptr<zip_t, ArchiveDiscarder> guard(archive);
    std::set<QString> folders;
    for (const SampleFile& file : files) {
        const QStringList parts = file.path.split(QLatin1Char('/'));
        QString folder;
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
            folder += parts[i] + QLatin1Char('/');
            if (!folders.insert(folder).second)
                continue;
            const zip_int64_t index =
                zip_dir_add(archive, folder.toUtf8().constData(), ZIP_FL_ENC_UTF_8);
            if (index < 0 ||
                zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                                 ZIP_OPSYS_UNIX, (040755u << 16) | 0x10u) != 0)
                fail(QStringLiteral("cannot add folder ") + folder);
        }
        zip_source_t* source = zip_source_buffer(archive, file.data.constData(),
                                                 static_cast<zip_uint64_t>(file.data.size()), 0);
        if (!source)
            fail(QStringLiteral("cannot add ") + file.path);
        const zip_int64_t index =
            zip_file_add(archive, file.path.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            fail(QStringLiteral("cannot add ") + file.path);
        }
        const zip_uint32_t mode = file.executable ? 0100755u : 0100644u;
        if (zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                     6) != 0 ||
            zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                             ZIP_OPSYS_UNIX, mode << 16) != 0)
            fail(QStringLiteral("cannot set up ") + file.path);
    }
    if (zip_close(archive) != 0)
        fail(QStringLiteral("cannot write ") + path + QStringLiteral(": ") +
             QString::fromUtf8(zip_strerror(archive)));
    guard.release();
}

// libzip alone: opens the archive as extractZip does and inflates every entry
// into a scratch buffer, writing nothing.
qint64 inflateAll(const QString& path)
{
    int errorCode = 0;
    std::unique_ptr<zip_t, ArchiveDiscarder> archive(
        zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &errorCode));
    if (!archive)
        fail(QStringLiteral("cannot open ") + path);
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    QByteArray block(65536, Qt::Uninitialized);
    qint64 total = 0;
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_file_t* entry = zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0);
        if (!entry)
            fail(QStringLiteral("cannot open an entry of ") + path);
        zip_int64_t n = 0;
        while ((n = zip_fread(entry, block.data(), static_cast<zip_uint64_t>(block.size()))) > 0)
            total += n;
        zip_fclose(entry);
        if (n < 0)
            fail(QStringLiteral("cannot inflate an entry of ") + path);
    }
    return total;
}

void compareTree(const QString& folder, const std::vector<SampleFile>& files)
{
    for (const SampleFile& file : files) {
        QFile in(folder + QLatin1Char('/') + file.path);
        if (!in.open(QIODevice::ReadOnly) || in.readAll() != file.data)
            fail(QStringLiteral("wrong content of ") + in.fileName());
    }
}

// ---- extraction and the cost of syncing ------------------------------------

void benchExtraction(const QString& folder, int runs, bool busy)
{
    print(QStringLiteral("== extractZip of a Java-runtime-sized archive"));
    QElapsedTimer timer;
    timer.start();
    const std::vector<SampleFile> files = runtimeLayout();
    const QString archivePath = folder + QStringLiteral("/runtime.zip");
    writeArchive(archivePath, files);
    qint64 unpacked = 0;
    for (const SampleFile& file : files)
        unpacked += file.data.size();
    int errorCode = 0;
    std::unique_ptr<zip_t, ArchiveDiscarder> probe(
        zip_open(QFile::encodeName(archivePath).constData(), ZIP_RDONLY, &errorCode));
    const zip_int64_t entries = probe ? zip_get_num_entries(probe.get(), 0) : -1;
    probe.reset();
    flushDisks();
    readWhole(archivePath);
    print(QStringLiteral(
              "   archive: %1 entries (%2 files), %3 MB deflated, %4 MB unpacked; built in %5 s")
              .arg(entries)
              .arg(files.size())
              .arg(static_cast<double>(QFileInfo(archivePath).size()) / 1e6, 0, 'f', 1)
              .arg(static_cast<double>(unpacked) / 1e6, 0, 'f', 1)
              .arg(secondsSince(timer), 0, 'f', 1));

    const QString unzipTool = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    Best ours, unzip, inflate;
    for (int run = 1; run <= runs; ++run) {
        const QString oursFolder = folder + QStringLiteral("/ours%1").arg(run);
        const QString unzipFolder = folder + QStringLiteral("/unzip%1").arg(run);
        flushDisks();
        const Stopwatch oursClock(Whose::Self);
        extractZip(archivePath, oursFolder, nullptr, false);
        const Timing oursTime = oursClock.elapsed();
        ours.add(oursTime);
        QString line =
            QStringLiteral("   run %1: extractZip %2").arg(run).arg(timingText(oursTime));
        if (!unzipTool.isEmpty()) {
            flushDisks();
            const ChildRun child =
                runChild(unzipTool, {QStringLiteral("-q"), QStringLiteral("-o"), archivePath,
                                     QStringLiteral("-d"), unzipFolder});
            unzip.add(child.timing);
            line += QStringLiteral(", unzip -q -o %1").arg(timingText(child.timing));
        }
        const Stopwatch inflateClock(Whose::Self);
        if (inflateAll(archivePath) != unpacked)
            fail(QStringLiteral("libzip inflated a different size"));
        const Timing inflateTime = inflateClock.elapsed();
        inflate.add(inflateTime);
        line += QStringLiteral(", libzip inflate only %1").arg(timingText(inflateTime));
        if (run == 1) {
            compareTree(oursFolder, files);
            if (!unzipTool.isEmpty())
                compareTree(unzipFolder, files);
            line += QStringLiteral("; output verified");
        }
        print(line);
        QDir(oursFolder).removeRecursively();
        QDir(unzipFolder).removeRecursively();
    }
    g_summary.push_back({QStringLiteral("extractZip (%1 entries)").arg(entries),
                         QStringLiteral("unzip -q -o"), ours, unzip,
                         QStringLiteral("<= 1.00x (0.70x)")});
    measure(QStringLiteral("extractZip %1 MB / %2 entries, wall median of %3%4")
                .arg(static_cast<double>(QFileInfo(archivePath).size()) / 1e6, 0, 'f', 0)
                .arg(entries)
                .arg(runs)
                .arg(busy ? QStringLiteral(", stand-in build running") : QString()),
            ours.medianWall(), QStringLiteral("unzip -q"), unzip.medianWall(),
            QStringLiteral("<= 1.00x, moonshot <= 0.70x"));
    g_summary.push_back({QStringLiteral("libzip inflate, no writes"), QStringLiteral("unzip -q -o"),
                         inflate, unzip, QStringLiteral("(decompression share)")});

    // The same files written three ways into fresh folders, folders made
    // beforehand: through AtomicFile with a sync on each commit (temporary
    // file, sync, rename), without the sync, and straight into the target.
    print(QStringLiteral("== writing the same %1 files: synced AtomicFile vs temporary+rename vs "
                         "plain QFile")
              .arg(files.size()));
    enum class Mode { SaveFile, RenameOnly, Plain };
    const auto writeAll = [&](const QString& base, Mode mode) {
        for (const SampleFile& file : files)
            ensureDir(QFileInfo(base + QLatin1Char('/') + file.path).absolutePath());
        flushDisks();
        const Stopwatch clock(Whose::Self);
        for (const SampleFile& file : files) {
            const QString target = base + QLatin1Char('/') + file.path;
            bool ok = false;
            if (mode == Mode::SaveFile) {
                AtomicFile out(target);
                ok = out.open() && out.write(file.data) && out.commit();
            } else {
                const QString written =
                    mode == Mode::Plain ? target : target + QStringLiteral(".part");
                QFile out(written);
                ok = out.open(QIODevice::WriteOnly) && out.write(file.data) == file.data.size();
                out.close();
                ok = ok && (mode == Mode::Plain || QFile::rename(written, target));
            }
            if (!ok)
                fail(QStringLiteral("cannot write ") + target);
        }
        const Timing timing = clock.elapsed();
        QDir(base).removeRecursively();
        return timing;
    };
    Best saveFile, renameOnly, plain;
    for (int run = 1; run <= runs; ++run) {
        const Timing a = writeAll(folder + QStringLiteral("/save%1").arg(run), Mode::SaveFile);
        const Timing b = writeAll(folder + QStringLiteral("/rename%1").arg(run), Mode::RenameOnly);
        const Timing c = writeAll(folder + QStringLiteral("/plain%1").arg(run), Mode::Plain);
        saveFile.add(a);
        renameOnly.add(b);
        plain.add(c);
        print(QStringLiteral("   run %1: synced AtomicFile %2, temporary+rename %3, plain QFile %4")
                  .arg(QString::number(run), timingText(a), timingText(b), timingText(c)));
    }
    const double count = static_cast<double>(files.size());
    // Wall-clock: the sync is mostly waiting for the disk, not CPU.
    const double syncPerFile = (saveFile.best.wall - renameOnly.best.wall) / count * 1000.0;
    const double atomicPerFile = (saveFile.best.wall - plain.best.wall) / count * 1000.0;
    print(QStringLiteral("   sync on commit costs %1 ms per file (synced minus temporary+rename); "
                         "synced over plain writes %2 ms per file; %3 MB in all")
              .arg(syncPerFile, 0, 'f', 2)
              .arg(atomicPerFile, 0, 'f', 2)
              .arg(static_cast<double>(unpacked) / 1e6, 0, 'f', 1));
    g_summary.push_back({QStringLiteral("synced writes"), QStringLiteral("temporary+rename"),
                         saveFile, renameOnly,
                         QStringLiteral("sync %1 ms/file").arg(syncPerFile, 0, 'f', 2)});
    g_summary.push_back({QStringLiteral("synced writes"), QStringLiteral("plain QFile"), saveFile,
                         plain, QStringLiteral("+%1 ms/file").arg(atomicPerFile, 0, 'f', 2)});
    QFile::remove(archivePath);
}

void printSummary()
{
    print(QString());
    print(QStringLiteral("== summary (best of each side)"));
    print(QStringLiteral("   times in seconds; ratio = ours / reference: best wall-clock, best CPU "
                         "(user + system), median wall-clock"));
    const QString header = pad(QStringLiteral("measurement"), 27) +
                           pad(QStringLiteral("reference"), 22) + pad(QStringLiteral("ours"), 8) +
                           pad(QStringLiteral("ref"), 8) + pad(QStringLiteral("ratio"), 8) +
                           pad(QStringLiteral("cpu"), 8) + pad(QStringLiteral("ref cpu"), 8) +
                           pad(QStringLiteral("ratio"), 8) + pad(QStringLiteral("median"), 8) +
                           QStringLiteral("target / note");
    print(header);
    print(QString(header.size() + 12, QLatin1Char('-')));
    for (const Row& row : g_summary) {
        const Timing& ours = row.ours.best;
        const Timing& theirs = row.theirs.best;
        print(pad(row.what, 27) + pad(row.reference, 22) + pad(secondsText(ours.wall), 8) +
              pad(secondsText(theirs.wall), 8) + pad(ratioText(ours.wall, theirs.wall), 8) +
              pad(secondsText(ours.cpu), 8) + pad(secondsText(theirs.cpu), 8) +
              pad(ratioText(ours.cpu, theirs.cpu), 8) +
              pad(ratioText(row.ours.medianWall(), row.theirs.medianWall()), 8) + row.target);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bench_fs"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Times hashFile and extractZip against command-line tools and prints ratios."));
    parser.addHelpOption();
    const QCommandLineOption sizeOption(
        QStringLiteral("size-mib"),
        QStringLiteral("Size of the hashed file in MiB (default 1024)."), QStringLiteral("n"),
        QStringLiteral("1024"));
    const QCommandLineOption runsOption(
        QStringLiteral("runs"),
        QStringLiteral("Interleaved runs per side; the best counts (default 3)."),
        QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption dirOption(
        QStringLiteral("dir"),
        QStringLiteral("Folder for the scratch files (default: the temp folder)."),
        QStringLiteral("path"), QDir::tempPath());
    const QCommandLineOption noHashOption(QStringLiteral("no-hash"),
                                          QStringLiteral("Skip the hashing part."));
    const QCommandLineOption noZipOption(QStringLiteral("no-zip"),
                                         QStringLiteral("Skip the extraction part."));
    const QCommandLineOption busyOption(
        QStringLiteral("busy"),
        QStringLiteral("Run a stand-in for another build during the extraction part."));
    const QCommandLineOption busyChildOption(QStringLiteral("busy-child"),
                                             QStringLiteral("internal"), QStringLiteral("path"));
    // One-shot modes, so that a whole-process timer (/usr/bin/time, hyperfine)
    // can set one call against a tool: prints the digest, or unpacks.
    const QCommandLineOption hashOption(
        QStringLiteral("hash"),
        QStringLiteral("Only print hashFile of the file (sha1, sha256, sha512)."),
        QStringLiteral("algorithm"));
    const QCommandLineOption extractOption(
        QStringLiteral("extract"),
        QStringLiteral("Only unpack the archive (first argument) into a folder (second)."));
    const QCommandLineOption writeArchiveOption(
        QStringLiteral("write-archive"),
        QStringLiteral("Only write the sample runtime archive to the path."),
        QStringLiteral("path"));
    parser.addOptions({sizeOption, runsOption, dirOption, noHashOption, noZipOption, busyOption,
                       busyChildOption, hashOption, extractOption, writeArchiveOption});
    parser.process(app);
    if (parser.isSet(busyChildOption))
        return busyChild(parser.value(busyChildOption));
    const QStringList files = parser.positionalArguments();
    try {
        if (parser.isSet(hashOption) && files.size() == 1) {
            const QString name = parser.value(hashOption);
            const auto algorithm = name == QLatin1String("sha1")     ? QCryptographicHash::Sha1
                                   : name == QLatin1String("sha256") ? QCryptographicHash::Sha256
                                                                     : QCryptographicHash::Sha512;
            print(QString::fromLatin1(hashFile(files[0], algorithm, nullptr)));
            return 0;
        }
        if (parser.isSet(writeArchiveOption)) {
            writeArchive(parser.value(writeArchiveOption), runtimeLayout());
            return 0;
        }
        if (parser.isSet(extractOption) && files.size() == 2) {
            extractZip(files[0], files[1], nullptr, false);
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_fs: %s\n", errorMessage(e).toLocal8Bit().constData());
        return 1;
    }

    bool sizeOk = false;
    bool runsOk = false;
    const qint64 sizeMiB = parser.value(sizeOption).toLongLong(&sizeOk);
    const int runs = parser.value(runsOption).toInt(&runsOk);
    if (!sizeOk || sizeMiB < 1 || !runsOk || runs < 1) {
        std::fputs("bench_fs: --size-mib and --runs take positive whole numbers\n", stderr);
        return 2;
    }

    QTemporaryDir scratch(parser.value(dirOption) + QStringLiteral("/bench_fs-XXXXXX"));
    if (!scratch.isValid()) {
        std::fputs("bench_fs: cannot create a scratch folder\n", stderr);
        return 2;
    }
    try {
        if (!parser.isSet(noHashOption))
            benchHashing(scratch.path(), sizeMiB, runs);
        if (!parser.isSet(noZipOption)) {
            // The stand-in build is our own child, stopped by its process.
            QProcess busy;
            if (parser.isSet(busyOption)) {
                busy.start(
                    QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--busy-child"), scratch.filePath(QStringLiteral("busy"))});
                if (!busy.waitForStarted())
                    fail(QStringLiteral("cannot start the stand-in build"));
            }
            benchExtraction(scratch.path(), runs, parser.isSet(busyOption));
            if (busy.state() != QProcess::NotRunning) {
                busy.kill();
                busy.waitForFinished();
            }
        }
        printSummary();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_fs: %s\n", e.what());
        return 1;
    }
    return 0;
}
