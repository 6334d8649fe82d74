// Side-by-side benchmark of a warm installGame: an event whose game files are
// all in place (a realistic count of libraries, native jars and asset
// objects, generated content with real SHA-1 digests) is installed again,
// against `sha1sum` hashing the same files in one process. A warm install is
// what every launch after the first costs: the manifest request, the Java
// probe, the mods check, a hash pass over every file and the natives
// unpacking. Runs are interleaved and the best of each side counts. Prints
// times and the ratio; nothing here fails because the machine is slow.
//
// The stand-in services run on the HTTPS test server of the test support
// library, so this benchmark is built only together with the tests.

#include "fs/SafeFiles.h"
#include "game/GameInstall.h"
#include "game/JavaRuntime.h"
#include "net/Http.h"
#include "support/FakeAdoptium.h"
#include "support/FakeGameServices.h"
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"
#include "support/ZipBuilder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <tuple>
#include <vector>

using namespace tarvik;
using namespace tarvik::test;

namespace {

[[noreturn]] void fail(const QString& message)
{
    throw std::runtime_error(message.toStdString());
}

QByteArray randomBytes(QRandomGenerator& random, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    auto* words = reinterpret_cast<quint32*>(bytes.data());
    random.fillRange(words, size / 4);
    for (qint64 i = size / 4 * 4; i < size; ++i)
        bytes[i] = char(random.generate());
    return bytes;
}

// Sizes spread evenly on a logarithmic scale between low and high bytes, as
// real libraries and assets are (many small files, a few large ones).
qint64 logUniform(QRandomGenerator& random, double low, double high)
{
    return qint64(
        std::exp(std::log(low) + random.generateDouble() * (std::log(high) - std::log(low))));
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    ensureDir(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        fail("cannot write " + path);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption librariesOption("libraries", "Number of libraries (80).", "n", "80");
    const QCommandLineOption assetsOption("assets", "Number of asset objects (3500).", "n", "3500");
    const QCommandLineOption runsOption("runs", "Interleaved runs per side (3).", "n", "3");
    const QCommandLineOption dirOption("dir", "Folder for the scratch data.", "path");
    parser.addOptions({librariesOption, assetsOption, runsOption, dirOption});
    parser.process(app);
    const int libraryCount = parser.value(librariesOption).toInt();
    const int assetCount = parser.value(assetsOption).toInt();
    const int runs = std::max(1, parser.value(runsOption).toInt());

    try {
        const QString sha1sum = QStandardPaths::findExecutable("sha1sum");
        if (sha1sum.isEmpty())
            fail("sha1sum not found");
        QTemporaryDir scratch(parser.isSet(dirOption)
                                  ? parser.value(dirOption) + "/bench-install-XXXXXX"
                                  : QDir::tempPath() + "/bench-install-XXXXXX");
        qputenv("XDG_DATA_HOME", scratch.filePath("data").toUtf8());
        const QString data = dataDir();
        const PlatformDescriptor windows = PlatformDescriptor::forWindows();

        HttpsTestServer server;
        FakeGameServices services(server);
        ScopedEndpoints endpoints(server.baseUrl());
        QRandomGenerator random(20230612);
        QStringList files;
        qint64 totalBytes = 0;
        const auto place = [&](const QString& path, const QByteArray& bytes) {
            writeFile(path, bytes);
            files.append(path);
            totalBytes += bytes.size();
            return QJsonObject{{"sha1", QString::fromLatin1(sha1Hex(bytes))},
                               {"size", bytes.size()},
                               {"url", server.url("/unused").toString()}};
        };

        // The game files, already in place.
        QJsonObject version = FakeGameServices::versionDocument("1.20.1", 17);
        version["downloads"] = QJsonObject{
            {"client", place(data + "/versions/1.20.1/client.jar", randomBytes(random, 23028853))}};
        QJsonArray libraries;
        const int nativeCount = std::min(7, libraryCount);
        for (int i = 0; i < libraryCount; ++i) {
            const bool native = i >= libraryCount - nativeCount;
            const QString name = QString("lib%1").arg(i);
            const QString path = QString("org/example/%1/1.0/%1-1.0%2.jar")
                                     .arg(name, native ? "-natives-windows" : "");
            const QByteArray bytes =
                native ? zipOf({{name.toLatin1() + ".dll", randomBytes(random, 150000)},
                                {"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n"},
                                {"org/example/Native.class", randomBytes(random, 4000)}})
                       : randomBytes(random, logUniform(random, 10e3, 3e6));
            QJsonObject artifact = place(data + "/libraries/" + path, bytes);
            artifact["path"] = path;
            QJsonObject library{{"name", QString("org.example:" + name + ":1.0")},
                                {"downloads", QJsonObject{{"artifact", artifact}}}};
            if (native)
                library["rules"] = FakeGameServices::osRule("windows");
            libraries.append(library);
        }
        version["libraries"] = libraries;
        QJsonObject objects;
        for (int i = 0; i < assetCount; ++i) {
            const QByteArray bytes = randomBytes(random, logUniform(random, 1e3, 4e5));
            const QString hash = QString::fromLatin1(sha1Hex(bytes));
            place(data + "/assets/objects/" + hash.left(2) + '/' + hash, bytes);
            objects.insert(QString("minecraft/sounds/s%1.ogg").arg(i),
                           QJsonObject{{"hash", hash}, {"size", bytes.size()}});
        }
        version["assetIndex"] = services.serveAssetIndex("5", objects);
        services.addVersion("1.20.1", version);
        files.append(data + "/versions/1.20.1.json");
        files.append(data + "/assets/indexes/5.json");

        // A custom Java whose console answers the probe at once.
        const QString javaDir = scratch.filePath("jre/bin");
        writeFile(javaDir + "/javaw.exe", "#!/bin/sh\n");
        writeFile(javaDir + "/java.exe",
                  fakeProbeScript("java.specification.version = 17\nsun.arch.data.model = 64"));
        QFile::setPermissions(javaDir + "/java.exe",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        Settings settings;
        settings.javaPath = javaDir + "/javaw.exe";
        tarvik::Event event;
        event.id = "bench-cup";
        event.minecraft = "1.20.1";
        Account account;
        account.accessToken = "token";
        account.expiresAt = QDateTime::currentDateTimeUtc().addDays(1);

        const auto install = [&] {
            Http http;
            installGame(http, event, settings, account, {}, {}, windows);
        };
        install(); // fetches the version data and the asset index, checks everything
        server.clearRecords();
        for (const QString& file : files) {
            if (!QFileInfo(file).isFile())
                fail("missing after the first install: " + file);
        }

        std::vector<double> oursWalls;
        std::vector<double> referenceWalls;
        double bestOurs = 1e9;
        double bestReference = 1e9;
        double bestProbe = 1e9;
        double bestHashOnly = 1e9;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            install();
            oursWalls.push_back(timer.nsecsElapsed() / 1e9);
            bestOurs = std::min(bestOurs, oursWalls.back());

            timer.restart();
            QProcess process;
            process.setStandardOutputFile(QProcess::nullDevice());
            process.start(sha1sum, files);
            if (!process.waitForFinished(-1) || process.exitCode() != 0)
                fail("sha1sum failed");
            referenceWalls.push_back(timer.nsecsElapsed() / 1e9);
            bestReference = std::min(bestReference, referenceWalls.back());

            timer.restart();
            for (const QString& file : std::as_const(files))
                hashFile(file, QCryptographicHash::Sha1, {});
            bestHashOnly = std::min(bestHashOnly, timer.nsecsElapsed() / 1e9);

            timer.restart();
            probeJava(settings.javaPath, 17, {}, windows);
            bestProbe = std::min(bestProbe, timer.nsecsElapsed() / 1e9);
        }
        const int requests = int(server.requests().size());
        if (requests != runs)
            fail(QString("a warm install made %1 requests in %2 runs").arg(requests).arg(runs));

        std::printf("warm installGame: %d libraries (%d native jars), %d asset objects, %d files, "
                    "%.1f MB\n",
                    libraryCount, nativeCount, assetCount, int(files.size()), totalBytes / 1e6);
        std::printf("  installGame (best of %d)   %8.3f s\n", runs, bestOurs);
        std::printf("  sha1sum, same files        %8.3f s\n", bestReference);
        std::printf("  ratio installGame/sha1sum  %8.2fx\n", bestOurs / bestReference);
        std::printf("  hashFile alone, same files %8.3f s (%.2fx sha1sum)\n", bestHashOnly,
                    bestHashOnly / bestReference);
        std::printf("  of which the Java probe    %8.3f s (stand-in console)\n", bestProbe);
        const auto median = [](std::vector<double> walls) {
            std::sort(walls.begin(), walls.end());
            const size_t n = walls.size();
            return n % 2 ? walls[n / 2] : (walls[n / 2 - 1] + walls[n / 2]) / 2;
        };
        for (const auto& [label, ours, reference] :
             {std::tuple{"best", bestOurs, bestReference},
              std::tuple{"median", median(oursWalls), median(referenceWalls)}})
            std::printf("measure | warm installGame, %d files, wall %s of %d | ours %.3f s | "
                        "sha1sum %.3f s | ratio %.2fx | bar <= 0.60x, moonshot <= 0.50x\n",
                        int(files.size()), label, runs, ours, reference, ours / reference);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_install: %s\n", e.what());
        return 1;
    }
    return 0;
}
