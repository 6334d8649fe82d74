// Side-by-side benchmark of the verified downloads, against tools that are
// not ours, on the same data in the same run:
//   - cold: downloadMany of an asset-like set of files (mostly 1-50 KB, some
//     up to 2 MB, with their SHA-1) into an empty folder, against
//     `curl --parallel --parallel-max 6` into another empty folder; ours runs
//     twice, without and with a sync of each file before its rename;
//   - warm: downloadMany of the same list with every file already valid,
//     against `sha1sum` over the same files in one process (xargs -0);
//   - memory: one large download (1 GiB by default) with a known digest, in
//     a child process that reports its peak resident memory (the figure that
//     `/usr/bin/time -v` prints as "Maximum resident set size").
// The files are served by Debian's nginx on 127.0.0.1 with the test
// certificate; the benchmark starts it as its own child process and stops it
// by that process's id at the end. Runs are interleaved and the best of each
// side counts. Prints times and ratios (ours / reference); not a test.
//
// Build (Release, no sanitizers) and run:
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=OFF
//   cmake --build build/bench --target bench_net
//   build/bench/bench/bench_net [--files 3500] [--runs 3] [--memory-mib 1024] [--dir path]
// Needs nginx (apt-get install nginx), curl, sha1sum and xargs.

#include "fs/SafeFiles.h"
#include "net/Download.h"
#include "net/Http.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

using namespace tarvik;

namespace {

const QString kTlsDir = QStringLiteral(TARVIK_TLS_DIR);

[[noreturn]] void fail(const QString& message)
{
    throw std::runtime_error(message.toStdString());
}

void print(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void trustTestCa()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(kTlsDir + QStringLiteral("/ca.pem"));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

struct ServedFile
{
    QString relative;
    QByteArray sha1;
    qint64 size = 0;
};

// Asset-like sizes: most 1-50 KB, about one in twelve 50-500 KB, one in a
// hundred up to 2 MB. Random bytes, so nothing compresses.
QList<ServedFile> makeFiles(const QString& root, int count)
{
    QRandomGenerator random(20261207);
    QList<ServedFile> files;
    QByteArray block;
    for (int i = 0; i < count; ++i) {
        const int kind = random.bounded(100);
        const qint64 size = kind < 91   ? random.bounded(1024, 50 * 1024)
                            : kind < 99 ? random.bounded(50 * 1024, 500 * 1024)
                                        : random.bounded(500 * 1024, 2 * 1024 * 1024);
        block.resize(size);
        random.fillRange(reinterpret_cast<quint32*>(block.data()), size / 4);
        const QByteArray sha1 = QCryptographicHash::hash(block, QCryptographicHash::Sha1).toHex();
        ServedFile file{QString::fromLatin1(sha1.left(2)) + QLatin1Char('/') +
                            QString::fromLatin1(sha1),
                        sha1, size};
        const QString path = root + QLatin1Char('/') + file.relative;
        QDir().mkpath(root + QLatin1Char('/') + QString::fromLatin1(sha1.left(2)));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(block) != size)
            fail(QStringLiteral("cannot write ") + path);
        files.append(file);
    }
    return files;
}

class Nginx
{
public:
    Nginx(const QString& scratch, const QString& root)
    {
        const QString program =
            QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
        if (program.isEmpty())
            fail(QStringLiteral("nginx not found (apt-get install nginx)"));
        m_port = freePort();
        const QString conf = scratch + QStringLiteral("/nginx.conf");
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly))
            fail(QStringLiteral("cannot write ") + conf);
        const QString text =
            QStringLiteral(
                "%1worker_processes 2;\n"
                "pid %2/nginx.pid;\n"
                "error_log %2/nginx-error.log warn;\n"
                "events { worker_connections 256; }\n"
                "http {\n"
                "  access_log off;\n"
                "  client_body_temp_path %2/tmp; proxy_temp_path %2/tmp;\n"
                "  fastcgi_temp_path %2/tmp; uwsgi_temp_path %2/tmp; scgi_temp_path %2/tmp;\n"
                "  sendfile on; tcp_nopush on; keepalive_requests 100000;\n"
                "  default_type application/octet-stream;\n"
                "  server {\n"
                "    listen 127.0.0.1:%3 ssl;\n"
                "    ssl_certificate %4/localhost.pem;\n"
                "    ssl_certificate_key %4/localhost.key;\n"
                "    root %5;\n"
                "  }\n"
                "}\n")
                .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), scratch)
                .arg(m_port)
                .arg(kTlsDir, root);
        file.write(text.toUtf8());
        file.close();
        QDir().mkpath(scratch + QStringLiteral("/tmp"));
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program,
                        {QStringLiteral("-e"), scratch + QStringLiteral("/nginx-error.log"),
                         QStringLiteral("-c"), conf, QStringLiteral("-g"),
                         QStringLiteral("daemon off;")});
        if (!m_process.waitForStarted())
            fail(QStringLiteral("cannot start nginx"));
        for (int i = 0; i < 100; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(100))
                return;
            QThread::msleep(50);
        }
        fail(QStringLiteral("nginx does not answer"));
    }
    ~Nginx()
    {
        // Stopped by the id of the process this benchmark started.
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }
    quint16 port() const { return m_port; }

private:
    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    QProcess m_process;
    quint16 m_port = 0;
};

// User + system CPU seconds of this process and of its waited-for children.
double cpuSeconds()
{
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

struct Sample
{
    double wall = 0;
    double cpu = 0;
};

// Best wall-clock time, the CPU time of the same run, and every wall-clock
// time for the median.
struct Times
{
    double wall = 1e30;
    double cpu = 0;
    std::vector<double> walls;
    void keepBest(Sample s)
    {
        walls.push_back(s.wall);
        if (s.wall < wall) {
            wall = s.wall;
            cpu = s.cpu;
        }
    }
    double median() const
    {
        std::vector<double> sorted = walls;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n == 0 ? 0 : n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
};

// One headline figure in the form bench/run collects.
void measure(const QString& what, double ours, const QString& reference, double theirs,
             const QString& bar)
{
    print(QStringLiteral("measure | %1 | ours %2 s | %3 %4 s | ratio %5x | bar %6")
              .arg(what)
              .arg(ours, 0, 'f', 3)
              .arg(reference)
              .arg(theirs, 0, 'f', 3)
              .arg(ours / theirs, 0, 'f', 2)
              .arg(bar));
}

// Wall-clock and CPU time of the body (the CPU of child processes included;
// nginx is not waited for, so its share is in neither side).
Sample timed(const std::function<void()>& body)
{
    ::sync();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    body();
    return {clock.nsecsElapsed() / 1e9, cpuSeconds() - cpuBefore};
}

void runTool(const QString& program, const QStringList& arguments, const QString& workDir = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        fail(program + QStringLiteral(" failed"));
}

QList<Download> downloadsOf(const QList<ServedFile>& files, quint16 port, const QString& target)
{
    QList<Download> list;
    for (const ServedFile& f : files) {
        list.append(Download{QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(port) + f.relative),
                             target + QLatin1Char('/') + f.relative, f.sha1,
                             QCryptographicHash::Sha1, f.size});
    }
    return list;
}

qint64 peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The child of the memory measurement: one download, then its peak memory.
int memoryChild(const QStringList& arguments)
{
    trustTestCa();
    const Download file{QUrl(arguments.value(0)), arguments.value(1), arguments.value(2).toLatin1(),
                        QCryptographicHash::Sha256, arguments.value(3).toLongLong()};
    Http http;
    http.download(file);
    std::printf("%lld\n", static_cast<long long>(peakResidentKiB()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("files"), QStringLiteral("Files in the set."),
                      QStringLiteral("n"), QStringLiteral("3500")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Interleaved runs per side."),
                      QStringLiteral("n"), QStringLiteral("3")});
    parser.addOption({QStringLiteral("memory-mib"),
                      QStringLiteral("Size of the large download (0: skip)."), QStringLiteral("n"),
                      QStringLiteral("1024")});
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Where the scratch folder goes."),
                      QStringLiteral("path"), QDir::tempPath()});
    parser.addOption({QStringLiteral("memory-child"), QStringLiteral("internal")});
    parser.addOption({QStringLiteral("profile-cold"),
                      QStringLiteral("Only one cold downloadMany, after a line on standard "
                                     "input, for a profiler attached to the printed process id.")});
    parser.process(app);
    try {
        if (parser.isSet(QStringLiteral("memory-child")))
            return memoryChild(parser.positionalArguments());

        trustTestCa();
        const int count = parser.value(QStringLiteral("files")).toInt();
        const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
        const qint64 memoryMiB = parser.value(QStringLiteral("memory-mib")).toLongLong();
        QTemporaryDir scratch(parser.value(QStringLiteral("dir")) +
                              QStringLiteral("/bench_net-XXXXXX"));
        if (!scratch.isValid())
            fail(QStringLiteral("no scratch folder"));
        QFile::setPermissions(scratch.path(), QFile::permissions(scratch.path()) |
                                                  QFileDevice::ExeOther | QFileDevice::ReadOther);
        const QString www = scratch.path() + QStringLiteral("/www");
        const QList<ServedFile> files = makeFiles(www, count);
        qint64 total = 0;
        for (const ServedFile& f : files)
            total += f.size;
        print(QStringLiteral("%1 files, %2 MiB").arg(count).arg(total / 1048576.0, 0, 'f', 1));

        Nginx nginx(scratch.path(), www);

        if (parser.isSet(QStringLiteral("profile-cold"))) {
            print(QStringLiteral("ready %1").arg(QCoreApplication::applicationPid()));
            char line[16];
            if (!std::fgets(line, sizeof line, stdin))
                fail(QStringLiteral("no start line"));
            const Sample sample = timed([&] {
                Http http;
                http.downloadMany(
                    downloadsOf(files, nginx.port(), scratch.path() + QStringLiteral("/profile")));
            });
            print(QStringLiteral("cold   downloadMany %1 s (cpu %2 s)")
                      .arg(sample.wall, 0, 'f', 3)
                      .arg(sample.cpu, 0, 'f', 3));
            return 0;
        }

        // Cold: curl against ours without and with a sync per file. Every run
        // writes into a folder of its own and nothing is deleted until the
        // end: ext4 skips inodes freed in the last minute when it allocates
        // new ones, which would charge one side for the other's deletions.
        const auto folder = [&](const QString& side, int run) {
            return scratch.path() + QStringLiteral("/%1-%2").arg(side).arg(run);
        };
        const auto writeCurlConfig = [&](const QString& config, const QString& output) {
            QFile file(config);
            if (!file.open(QIODevice::WriteOnly))
                fail(QStringLiteral("cannot write ") + config);
            for (const ServedFile& f : files) {
                file.write(QStringLiteral("url = \"https://127.0.0.1:%1/%2\"\noutput = \"%3/%2\"\n")
                               .arg(nginx.port())
                               .arg(f.relative, output)
                               .toUtf8());
            }
        };
        Times oursCold;
        Times oursColdSync;
        Times curlCold;
        for (int run = 0; run < runs; ++run) {
            const QString curlConfig = scratch.path() + QStringLiteral("/curl-%1.conf").arg(run);
            writeCurlConfig(curlConfig, folder(QStringLiteral("curl"), run));
            curlCold.keepBest(timed([&] {
                runTool(QStringLiteral("curl"),
                        {QStringLiteral("--silent"), QStringLiteral("--no-progress-meter"),
                         QStringLiteral("--fail"), QStringLiteral("--parallel"),
                         QStringLiteral("--parallel-max"), QStringLiteral("6"),
                         QStringLiteral("--create-dirs"), QStringLiteral("--cacert"),
                         kTlsDir + QStringLiteral("/ca.pem"), QStringLiteral("--config"),
                         curlConfig});
            }));
            for (const bool sync : {false, true}) {
                detail::setDownloadSync(sync);
                const QString target =
                    folder(sync ? QStringLiteral("sync") : QStringLiteral("ours"), run);
                const Sample sample = timed([&] {
                    Http http;
                    http.downloadMany(downloadsOf(files, nginx.port(), target));
                });
                (sync ? oursColdSync : oursCold).keepBest(sample);
            }
        }
        detail::setDownloadSync(false);
        print(QStringLiteral("cold   downloadMany %1 s (cpu %2 s), with sync per file %3 s, "
                             "curl --parallel %4 s (cpu %5 s)")
                  .arg(oursCold.wall, 0, 'f', 3)
                  .arg(oursCold.cpu, 0, 'f', 3)
                  .arg(oursColdSync.wall, 0, 'f', 3)
                  .arg(curlCold.wall, 0, 'f', 3)
                  .arg(curlCold.cpu, 0, 'f', 3));
        print(QStringLiteral("cold   ratio %1 (with sync %2), median ratio %3; target <= 1.25")
                  .arg(oursCold.wall / curlCold.wall, 0, 'f', 2)
                  .arg(oursColdSync.wall / curlCold.wall, 0, 'f', 2)
                  .arg(oursCold.median() / curlCold.median(), 0, 'f', 2));
        measure(QStringLiteral("cold downloadMany %1 files, wall best of %2").arg(count).arg(runs),
                oursCold.wall, QStringLiteral("curl --parallel-max 6"), curlCold.wall,
                QStringLiteral("<= 1.25x, moonshot <= 1.00x"));
        measure(
            QStringLiteral("cold downloadMany %1 files, wall median of %2").arg(count).arg(runs),
            oursCold.median(), QStringLiteral("curl --parallel-max 6"), curlCold.median(),
            QStringLiteral("<= 1.25x, moonshot <= 1.00x"));

        const QString ours = folder(QStringLiteral("ours"), runs - 1);
        // Warm: every file already valid in `ours`.
        Times oursWarm;
        Times sha1sumWarm;
        const QList<Download> warmList = downloadsOf(files, nginx.port(), ours);
        for (int run = 0; run < runs; ++run) {
            oursWarm.keepBest(timed([&] {
                Http http;
                http.downloadMany(warmList);
            }));
            sha1sumWarm.keepBest(timed([&] {
                runTool(QStringLiteral("sh"),
                        {QStringLiteral("-c"),
                         QStringLiteral("find . -type f -print0 | xargs -0 sha1sum")},
                        ours);
            }));
        }
        print(QStringLiteral("warm   downloadMany %1 s (cpu %2 s), sha1sum %3 s (cpu %4 s), "
                             "ratio %5; target <= 1.0")
                  .arg(oursWarm.wall, 0, 'f', 3)
                  .arg(oursWarm.cpu, 0, 'f', 3)
                  .arg(sha1sumWarm.wall, 0, 'f', 3)
                  .arg(sha1sumWarm.cpu, 0, 'f', 3)
                  .arg(oursWarm.wall / sha1sumWarm.wall, 0, 'f', 2));

        if (memoryMiB > 0) {
            const qint64 size = memoryMiB << 20;
            const QString big = www + QStringLiteral("/big.bin");
            QFile out(big);
            if (!out.open(QIODevice::WriteOnly))
                fail(QStringLiteral("cannot write ") + big);
            QCryptographicHash hash(QCryptographicHash::Sha256);
            QRandomGenerator random(7);
            QByteArray block(1 << 20, Qt::Uninitialized);
            for (qint64 written = 0; written < size; written += block.size()) {
                random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
                hash.addData(block);
                out.write(block);
            }
            out.close();
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            QElapsedTimer clock;
            clock.start();
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--memory-child"),
                         QStringLiteral("https://127.0.0.1:%1/big.bin").arg(nginx.port()),
                         ours + QStringLiteral("/big.bin"),
                         QString::fromLatin1(hash.result().toHex()), QString::number(size)});
            if (!child.waitForFinished(-1) || child.exitCode() != 0)
                fail(QStringLiteral("the large download failed"));
            const qint64 peakKiB = child.readAllStandardOutput().trimmed().toLongLong();
            print(
                QStringLiteral("memory %1 MiB download in %2 s, peak resident %3 MiB; target < 100")
                    .arg(memoryMiB)
                    .arg(clock.elapsed() / 1000.0, 0, 'f', 2)
                    .arg(peakKiB / 1024.0, 0, 'f', 1));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_net: %s\n", e.what());
        return 1;
    }
    return 0;
}
