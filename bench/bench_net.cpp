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
//     `/usr/bin/time -v` prints as "Maximum resident set size"), from the
//     port that offers HTTP/2;
//   - with --latency instead: the cold downloads over an emulated link with
//     a round trip of 0, 20 and 50 ms (see LinkEmulator.h and latencyTable).
// The files are served by Debian's nginx on 127.0.0.1 with the test
// certificate (the cold and warm runs from its HTTP/1.1 port); the benchmark
// starts it as its own child process and stops it by that process's id at the
// end. Runs are interleaved and the best of each side counts. Prints times
// and ratios (ours / reference); not a test.
//
// Build (Release, no sanitizers) and run:
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=OFF
//   cmake --build build/bench --target bench_net
//   build/bench/bench/bench_net [--files 3500] [--runs 3] [--memory-mib 1024] [--dir path]
//   build/bench/bench/bench_net --latency [--rtt 0,20,50] [--rate-mbit 200] [--runs 3]
// Needs nginx (apt-get install nginx), curl, sha1sum and xargs; --latency
// also root, ip (iproute2), openssl and /dev/net/tun.

#include "fs/SafeFiles.h"
#include "LinkEmulator.h"
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
#include <cstring>
#include <functional>
#include <memory>
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
// hundred up to 2 MB; or, for the small set, all 1-50 KB. Random bytes, so
// nothing compresses.
QList<ServedFile> makeFiles(const QString& root, int count, bool smallOnly = false)
{
    QRandomGenerator random(smallOnly ? 20261208 : 20261207);
    QList<ServedFile> files;
    QByteArray block;
    for (int i = 0; i < count; ++i) {
        const int kind = smallOnly ? 0 : random.bounded(100);
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

// Debian's nginx, as a child process: one port that offers HTTP/1.1 only,
// and one that offers HTTP/2 (and HTTP/1.1) with TLS 1.3 only, as the public
// game-file, library and mod hosts do.
class Nginx
{
public:
    Nginx(const QString& scratch, const QString& root, const QString& listenAddress = {},
          const QString& certificate = kTlsDir + QStringLiteral("/localhost"),
          int requestsPerConnection = 100000)
    {
        const QString program =
            QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
        if (program.isEmpty())
            fail(QStringLiteral("nginx not found (apt-get install nginx)"));
        m_port = freePort();
        m_http2Port = freePort();
        const QString address =
            listenAddress.isEmpty() ? QStringLiteral("127.0.0.1:") : listenAddress + u':';
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
                "  sendfile on; tcp_nopush on; keepalive_requests %8;\n"
                "  default_type application/octet-stream;\n"
                "  ssl_certificate %4.pem;\n"
                "  ssl_certificate_key %4.key;\n"
                "  server {\n"
                "    listen %6%3 ssl;\n"
                "    root %5;\n"
                "  }\n"
                "  server {\n"
                "    listen %6%7 ssl http2;\n"
                "    ssl_protocols TLSv1.3;\n"
                "    root %5;\n"
                "  }\n"
                "}\n")
                .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), scratch,
                     QString::number(m_port), certificate, root, address,
                     QString::number(m_http2Port), QString::number(requestsPerConnection));
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
    quint16 http2Port() const { return m_http2Port; }

private:
    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    QProcess m_process;
    quint16 m_port = 0;
    quint16 m_http2Port = 0;
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

QList<Download> downloadsOf(const QList<ServedFile>& files, quint16 port, const QString& target,
                            const QString& host = QStringLiteral("127.0.0.1"))
{
    QList<Download> list;
    for (const ServedFile& f : files) {
        list.append(Download{
            QUrl(QStringLiteral("https://%1:%2/").arg(host).arg(port) + f.relative),
            target + QLatin1Char('/') + f.relative, f.sha1, QCryptographicHash::Sha1, f.size});
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

// The scratch folder under --dir, open to nginx's workers.
std::unique_ptr<QTemporaryDir> makeScratch(const QCommandLineParser& parser)
{
    auto scratch = std::make_unique<QTemporaryDir>(parser.value(QStringLiteral("dir")) +
                                                   QStringLiteral("/bench_net-XXXXXX"));
    if (!scratch->isValid())
        fail(QStringLiteral("no scratch folder"));
    QFile::setPermissions(scratch->path(), QFile::permissions(scratch->path()) |
                                               QFileDevice::ExeOther | QFileDevice::ReadOther);
    return scratch;
}

// A server certificate for the addresses of the emulated link, signed by the
// test CA (its key is in tests/data/tls for this purpose). Returns the path
// without ".pem"/".key".
QString makeLinkCertificate(const QString& scratch)
{
    const QString base = scratch + QStringLiteral("/link");
    const QString extensions = scratch + QStringLiteral("/link.ext");
    QFile ext(extensions);
    if (!ext.open(QIODevice::WriteOnly))
        fail(QStringLiteral("cannot write ") + extensions);
    ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,IP:" +
              bench::LinkEmulator::serverAddress().toString().toLatin1() + '\n');
    ext.close();
    runTool(QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"),
             QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
             QStringLiteral("-subj"), QStringLiteral("/CN=bench"), QStringLiteral("-keyout"),
             base + QStringLiteral(".key"), QStringLiteral("-out"), base + QStringLiteral(".csr")});
    runTool(QStringLiteral("openssl"),
            {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
             base + QStringLiteral(".csr"), QStringLiteral("-CA"),
             kTlsDir + QStringLiteral("/ca.pem"), QStringLiteral("-CAkey"),
             kTlsDir + QStringLiteral("/ca.key"), QStringLiteral("-CAcreateserial"),
             QStringLiteral("-CAserial"), scratch + QStringLiteral("/ca.srl"),
             QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), extensions,
             QStringLiteral("-out"), base + QStringLiteral(".pem")});
    return base;
}

// One contender of the latency table.
struct Side
{
    using Runner =
        std::function<void(const QList<ServedFile>&, const QString& host, const QString& target)>;
    Side(QString n, Runner r) : name(std::move(n)), run(std::move(r)) {}
    QString name;
    Runner run;
    std::vector<double> walls;
    // CPU seconds of this process and its children (not nginx's).
    std::vector<double> cpus;
    double median() const { return medianOf(walls); }
    static double medianOf(const std::vector<double>& values)
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n == 0 ? 0 : n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
};

// The cold downloads over an emulated link: ours on each protocol against
// curl as the peers use it (six at once, HTTP/1.1) and curl at the link's
// limit (HTTP/2, fifty at once), at each round trip, for the asset-like set
// and a set of small files. Runs are interleaved; medians count.
int latencyTable(const QCommandLineParser& parser)
{
    trustTestCa();
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    const qint64 rate = parser.value(QStringLiteral("rate-mbit")).toLongLong() * 1000000;
    QList<int> roundTrips;
    for (const QString& rtt : parser.value(QStringLiteral("rtt")).split(u','))
        roundTrips << rtt.toInt();
    QList<int> bounds;
    for (const QString& bound :
         parser.value(QStringLiteral("h2-bounds")).split(u',', Qt::SkipEmptyParts))
        bounds << bound.toInt();
    const QStringList sets = parser.value(QStringLiteral("sets")).split(u',');
    const QStringList only = parser.value(QStringLiteral("sides")).split(u',', Qt::SkipEmptyParts);

    bench::LinkEmulator link;
    const std::unique_ptr<QTemporaryDir> scratchDir = makeScratch(parser);
    const QTemporaryDir& scratch = *scratchDir;
    const QString www = scratch.path() + QStringLiteral("/www");
    const QList<ServedFile> full = makeFiles(www, parser.value(QStringLiteral("files")).toInt());
    const QList<ServedFile> small = makeFiles(www, 500, true);
    const auto mib = [](const QList<ServedFile>& files) {
        qint64 total = 0;
        for (const ServedFile& f : files)
            total += f.size;
        return total / 1048576.0;
    };
    print(QStringLiteral("latency: full set %1 files %2 MiB, small set %3 files %4 MiB, "
                         "%5 Mbit/s each way, round trips %6 ms, %7 runs")
              .arg(full.size())
              .arg(mib(full), 0, 'f', 1)
              .arg(small.size())
              .arg(mib(small), 0, 'f', 1)
              .arg(rate / 1000000)
              .arg(parser.value(QStringLiteral("rtt")))
              .arg(runs));
    Nginx nginx(scratch.path(), www, QStringLiteral("0.0.0.0"), makeLinkCertificate(scratch.path()),
                parser.value(QStringLiteral("server-requests")).toInt());

    const auto curl = [&](const QStringList& options, quint16 port) {
        return [&, options, port](const QList<ServedFile>& files, const QString& host,
                                  const QString& target) {
            const QString config = target + QStringLiteral(".conf");
            QFile file(config);
            if (!file.open(QIODevice::WriteOnly))
                fail(QStringLiteral("cannot write ") + config);
            for (const ServedFile& f : files) {
                file.write(QStringLiteral("url = \"https://%1:%2/%3\"\noutput = \"%4/%3\"\n")
                               .arg(host)
                               .arg(port)
                               .arg(f.relative, target)
                               .toUtf8());
            }
            file.close();
            runTool(QStringLiteral("curl"),
                    QStringList{QStringLiteral("--silent"), QStringLiteral("--no-progress-meter"),
                                QStringLiteral("--fail"), QStringLiteral("--parallel"),
                                QStringLiteral("--create-dirs"), QStringLiteral("--cacert"),
                                kTlsDir + QStringLiteral("/ca.pem"), QStringLiteral("--config"),
                                config} +
                        options);
        };
    };
    const auto ours = [&](int multiplexed, quint16 port) {
        return [&, multiplexed, port](const QList<ServedFile>& files, const QString& host,
                                      const QString& target) {
            detail::setMaxMultiplexedDownloads(multiplexed);
            Http http;
            http.downloadMany(downloadsOf(files, port, target, host));
            detail::setMaxMultiplexedDownloads(kMaxMultiplexedDownloads);
        };
    };
    QList<Side> sides;
    sides << Side{
        QStringLiteral("curl-h1-6"),
        curl({QStringLiteral("--http1.1"), QStringLiteral("--parallel-max"), QStringLiteral("6")},
             nginx.port())};
    sides << Side{
        QStringLiteral("curl-h2-50"),
        curl({QStringLiteral("--http2"), QStringLiteral("--parallel-max"), QStringLiteral("50")},
             nginx.http2Port())};
    sides << Side{QStringLiteral("ours-h1"), ours(kMaxMultiplexedDownloads, nginx.port())};
    sides << Side{QStringLiteral("ours-h2"), ours(kMaxMultiplexedDownloads, nginx.http2Port())};
    for (const int bound : bounds)
        sides << Side{QStringLiteral("ours-h2-%1").arg(bound), ours(bound, nginx.http2Port())};
    if (!only.isEmpty()) {
        sides.erase(std::remove_if(sides.begin(), sides.end(),
                                   [&](const Side& side) { return !only.contains(side.name); }),
                    sides.end());
    }

    print(QStringLiteral("result | rtt ms | set | side | median s | min s | max s | "
                         "/ curl-h1-6 | / curl-h2-50 | cpu s"));
    int folder = 0;
    for (const int rtt : roundTrips) {
        // Round trip 0: straight to the server on the loopback device.
        link.setLink(rtt, rtt > 0 ? rate : 0);
        const QString host =
            rtt > 0 ? bench::LinkEmulator::serverAddress().toString() : QStringLiteral("127.0.0.1");
        for (const QString& set : sets) {
            const QList<ServedFile>& files = set == QStringLiteral("small") ? small : full;
            for (Side& side : sides) {
                side.walls.clear();
                side.cpus.clear();
            }
            for (int run = 0; run < runs; ++run) {
                for (Side& side : sides) {
                    const QString target = scratch.path() + QStringLiteral("/run-%1").arg(++folder);
                    const Sample sample = timed([&] { side.run(files, host, target); });
                    side.walls.push_back(sample.wall);
                    side.cpus.push_back(sample.cpu);
                    QDir(target).removeRecursively();
                }
            }
            const auto medianOf = [&](const QString& name) {
                for (const Side& side : sides) {
                    if (side.name == name)
                        return side.median();
                }
                return 0.0;
            };
            const double curl6 = medianOf(QStringLiteral("curl-h1-6"));
            const double curl50 = medianOf(QStringLiteral("curl-h2-50"));
            for (const Side& side : sides) {
                print(QStringLiteral("result | %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9")
                          .arg(rtt)
                          .arg(set, side.name)
                          .arg(side.median(), 0, 'f', 3)
                          .arg(*std::min_element(side.walls.begin(), side.walls.end()), 0, 'f', 3)
                          .arg(*std::max_element(side.walls.begin(), side.walls.end()), 0, 'f', 3)
                          .arg(curl6 > 0 ? side.median() / curl6 : 0, 0, 'f', 2)
                          .arg(curl50 > 0 ? side.median() / curl50 : 0, 0, 'f', 2)
                          .arg(Side::medianOf(side.cpus), 0, 'f', 2));
            }
            const QString what =
                QStringLiteral("%1 set at %2 ms, median of %3").arg(set).arg(rtt).arg(runs);
            const double oursH1 = medianOf(QStringLiteral("ours-h1"));
            const double oursH2 = medianOf(QStringLiteral("ours-h2"));
            if (oursH2 > 0 && curl6 > 0)
                measure(QStringLiteral("HTTP/2 downloadMany, ") + what, oursH2,
                        QStringLiteral("curl --parallel-max 6"), curl6,
                        rtt > 0 ? QStringLiteral("<= 0.5x")
                                : QStringLiteral("no worse than before"));
            if (oursH2 > 0 && curl50 > 0 && rtt > 0)
                measure(QStringLiteral("HTTP/2 downloadMany, ") + what, oursH2,
                        QStringLiteral("curl --http2 --parallel-max 50"), curl50,
                        QStringLiteral("moonshot <= 1.2x"));
            if (oursH2 > 0 && oursH1 > 0)
                measure(QStringLiteral("HTTP/2 against HTTP/1.1 downloadMany, ") + what, oursH2,
                        QStringLiteral("ours on HTTP/1.1"), oursH1, QStringLiteral("<= 1.0x"));
        }
    }
    if (link.dropped() > 0)
        print(QStringLiteral("link: %1 packets dropped at full queues").arg(link.dropped()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The emulated link lives in a network namespace of this process's own,
    // entered before any thread starts.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--latency") == 0) {
            try {
                bench::LinkEmulator::enterPrivateNetwork();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "bench_net: %s\n", e.what());
                return 1;
            }
        }
    }
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
    parser.addOption({QStringLiteral("latency"),
                      QStringLiteral("The latency table over an emulated link (Linux, root).")});
    parser.addOption({QStringLiteral("rtt"), QStringLiteral("Round trips of the latency table."),
                      QStringLiteral("ms,..."), QStringLiteral("0,20,50")});
    parser.addOption({QStringLiteral("rate-mbit"),
                      QStringLiteral("Rate cap of the emulated link, each way."),
                      QStringLiteral("n"), QStringLiteral("200")});
    parser.addOption({QStringLiteral("sets"), QStringLiteral("Sets of the latency table."),
                      QStringLiteral("full,small"), QStringLiteral("full,small")});
    parser.addOption({QStringLiteral("h2-bounds"),
                      QStringLiteral("More sides of the latency table: ours on HTTP/2 with "
                                     "these bounds of multiplexed transfers."),
                      QStringLiteral("n,..."), QString()});
    parser.addOption({QStringLiteral("server-requests"),
                      QStringLiteral("Requests per connection that the server of the latency "
                                     "table allows (nginx's keepalive_requests; as nginx by "
                                     "default)."),
                      QStringLiteral("n"), QStringLiteral("1000")});
    parser.addOption({QStringLiteral("sides"),
                      QStringLiteral("Only these sides of the latency table (curl-h1-6, "
                                     "curl-h2-50, ours-h1, ours-h2, ours-h2-N)."),
                      QStringLiteral("name,..."), QString()});
    parser.addOption({QStringLiteral("profile-cold"),
                      QStringLiteral("Only one cold downloadMany, after a line on standard "
                                     "input, for a profiler attached to the printed process id.")});
    parser.process(app);
    try {
        if (parser.isSet(QStringLiteral("memory-child")))
            return memoryChild(parser.positionalArguments());
        if (parser.isSet(QStringLiteral("latency")))
            return latencyTable(parser);

        trustTestCa();
        const int count = parser.value(QStringLiteral("files")).toInt();
        const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
        const qint64 memoryMiB = parser.value(QStringLiteral("memory-mib")).toLongLong();
        const std::unique_ptr<QTemporaryDir> scratchDir = makeScratch(parser);
        const QTemporaryDir& scratch = *scratchDir;
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
            return QString(scratch.path() + QStringLiteral("/%1-%2").arg(side).arg(run));
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
                         QStringLiteral("https://127.0.0.1:%1/big.bin").arg(nginx.http2Port()),
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
