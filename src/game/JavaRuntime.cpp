#include "game/JavaRuntime.h"

#include "fs/SafeFiles.h"
#include "fs/ZipExtract.h"
#include "game/GameLog.h"
#include "net/Endpoints.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QUrlQuery>

namespace tarvik {

namespace {

// The probe starts within this time, or the runtime counts as unusable.
constexpr int kProbeStartMs = 5000;
// Polling step and limit of the probe's run.
constexpr int kProbePollMs = 100;
constexpr int kProbeLimitMs = 15000;
// Time granted to a killed probe to end.
constexpr int kProbeKillWaitMs = 3000;

QUrl adoptiumUrl(int major, const PlatformDescriptor& platform)
{
    QUrl url = endpointUrl(Endpoints::current().adoptiumApi,
                           QStringLiteral("/v3/assets/latest/%1/hotspot").arg(major));
    url.setQuery(QStringLiteral("architecture=x64&image_type=jre&os=") + platform.javaDownloadOs +
                 QStringLiteral("&vendor=eclipse"));
    return url;
}

// Downloads and unpacks the automatic runtime; returns its Java launcher.
QString installRuntime(Http& http, int major, const QString& runtimeFolder,
                       const QString& recordFile, const CancelFlag& cancel,
                       const PlatformDescriptor& platform)
{
    const HttpResponse reply = http.request(adoptiumUrl(major, platform), QByteArrayLiteral("GET"),
                                            {}, {}, QByteArrayLiteral("application/json"));
    const QJsonArray assets = QJsonDocument::fromJson(reply.body).array();
    if (reply.status != 200 || assets.isEmpty())
        throw Error(QStringLiteral("Automatická Java není dostupná. Nastavte vlastní javaw.exe."));

    const QJsonObject package = assets.at(0)
                                    .toObject()
                                    .value(QLatin1String("binary"))
                                    .toObject()
                                    .value(QLatin1String("package"))
                                    .toObject();
    const QByteArray checksum = package.value(QLatin1String("checksum")).toString().toLatin1();
    static const QRegularExpression sha256(QStringLiteral("\\A[0-9a-fA-F]{64}\\z"));
    if (!sha256.match(QString::fromLatin1(checksum)).hasMatch())
        throw Error(QStringLiteral("Chybí kontrolní součet Javy."));

    Download archive;
    archive.url = QUrl(package.value(QLatin1String("link")).toString(), QUrl::TolerantMode);
    archive.path = resolveInside(dataDir(), QStringLiteral("cache/java-%1.zip").arg(major));
    archive.sha = checksum;
    archive.algorithm = QCryptographicHash::Sha256;
    // A missing or meaningless size is "unknown", not "empty": the digest
    // still decides whether the archive is the published one.
    const qint64 size = package.value(QLatin1String("size")).toInteger(0);
    archive.size = size > 0 ? size : -1;
    http.download(archive);

    extractZip(archive.path, runtimeFolder, cancel, false);

    QDirIterator it(runtimeFolder, {platform.javaLauncher}, QDir::Files,
                    QDirIterator::Subdirectories);
    if (!it.hasNext())
        throw Error(QStringLiteral("Archiv neobsahuje Java runtime."));
    const QString launcher = it.next();
    QJsonObject record;
    record.insert(QLatin1String("executable"), QDir(runtimeFolder).relativeFilePath(launcher));
    writeFileAtomically(recordFile, QJsonDocument(record).toJson(QJsonDocument::Indented));
    return launcher;
}

} // namespace

QString prepareJava(Http& http, int major, const Settings& settings, const CancelFlag& cancel,
                    const ProgressCallback& progress, const PlatformDescriptor& platform)
{
    if (!settings.javaPath.isEmpty()) {
        probeJava(settings.javaPath, major, cancel, platform);
        return settings.javaPath;
    }

    const QString runtimeFolder =
        resolveInside(dataDir(), QStringLiteral("runtimes/java-%1").arg(major));
    const QString recordFile = resolveInside(runtimeFolder, QStringLiteral("runtime.json"));
    QString path;
    if (QFileInfo::exists(recordFile)) {
        const QJsonObject record = parseJsonObject(readFile(recordFile, kMaxDocumentSize));
        path = resolveInside(runtimeFolder, record.value(QLatin1String("executable")).toString());
    }
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        if (progress)
            progress(QStringLiteral("Připravuji Javu %1").arg(major), 0);
        path = installRuntime(http, major, runtimeFolder, recordFile, cancel, platform);
    }
    probeJava(path, major, cancel, platform);
    return path;
}

void probeJava(const QString& javaPath, int major, const CancelFlag& cancel,
               const PlatformDescriptor& platform)
{
    const QString console =
        QFileInfo(javaPath).absolutePath() + QLatin1Char('/') + platform.javaConsole;

    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    // Options from the user's environment would change what the probe (and
    // the game) reports; they must not decide whether a runtime fits.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS", "_JAVA_OPTIONS", "CLASSPATH"})
        environment.remove(QString::fromLatin1(name));
    probe.setProcessEnvironment(environment);

    probe.start(console, {QStringLiteral("-XshowSettings:properties"), QStringLiteral("-version")});
    if (!probe.waitForStarted(kProbeStartMs))
        throw Error(QStringLiteral("Vybranou Javu nelze spustit."));

    bool finished = probe.waitForFinished(kProbePollMs);
    int elapsed = 0;
    while (!finished) {
        if (isCancelled(cancel))
            break;
        elapsed += kProbePollMs;
        if (elapsed > kProbeLimitMs)
            break;
        finished = probe.waitForFinished(kProbePollMs);
    }
    if (!finished) {
        qCDebug(lcGame) << "probe did not finish, killing" << console;
        probe.kill();
        probe.waitForFinished(kProbeKillWaitMs);
        checkCancelled(cancel);
        throw Error(QStringLiteral("Kontrola Javy překročila časový limit."));
    }

    const QString output = QString::fromLocal8Bit(probe.readAll());
    static const QRegularExpression versionPattern(
        QStringLiteral("java.specification.version\\s*=\\s*(\\d+)"));
    static const QRegularExpression modelPattern(QStringLiteral("sun.arch.data.model\\s*=\\s*64"));
    const QRegularExpressionMatch version = versionPattern.match(output);
    bool numeric = false;
    const int found = version.hasMatch() ? version.captured(1).toInt(&numeric) : 0;
    const bool fits = probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0 &&
                      numeric && found == major && modelPattern.match(output).hasMatch();
    if (!fits) {
        qCDebug(lcGame) << "probe refused" << console << "exit" << probe.exitCode() << "version"
                        << found;
        throw Error(QStringLiteral("Tento event potřebuje 64bitovou Javu %1. Zvolte automatickou "
                                   "Javu nebo odpovídající instalaci.")
                        .arg(major));
    }
}

} // namespace tarvik
