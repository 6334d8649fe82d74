#include "update/Update.h"

#include "fs/SafeFiles.h"
#include "net/Endpoints.h"
#include "net/Http.h"
#include "net/SignedDocument.h"
#include "updater/HandOffFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QLockFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QUuid>

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace tarvik {

Q_LOGGING_CATEGORY(lcUpdate, "tarvik.update", QtWarningMsg)

namespace {

// A JSON number with an integral value, clamped far beyond every limit that
// is checked; anything else reads as the fallback.
qint64 integerOr(const QJsonValue& value, qint64 fallback)
{
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number)
        return fallback;
    constexpr double kClamp = 4.0e18;
    return static_cast<qint64>(std::clamp(number, -kClamp, kClamp));
}

// The decoded path must lie below "/releases/" and stay there: no "." or ".."
// segment (servers resolve them, so "/releases/../x" would leave the folder),
// with either kind of slash as separator.
bool isReleasePath(const QString& decodedPath)
{
    if (!decodedPath.startsWith(QLatin1String("/releases/")))
        return false;
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList segments = decodedPath.split(separators);
    for (const QString& segment : segments) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isLowerHexDigest(const QByteArray& digest)
{
    if (digest.size() != 64)
        return false;
    for (const char c : digest) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

QString updatesFolder()
{
    return resolveInside(dataDir(), QStringLiteral("updates"));
}

// The updater's report on a failed attempt, removed once read. Its message
// when it names the release with this digest; empty otherwise.
QString takeUpdateFailure(const QByteArray& sha256)
{
    const QString path = updatesFolder() + QLatin1Char('/') + QLatin1String(kUpdateFailureFile);
    if (!QFileInfo::exists(path))
        return {};
    QString message;
    try {
        const QJsonObject report = parseJsonObject(readFile(path, kMaxDocumentSize));
        if (!sha256.isEmpty() &&
            report.value(QLatin1String("sha256")).toString().toLatin1() == sha256)
            message = report.value(QLatin1String("message")).toString();
    } catch (const std::exception& e) {
        qCWarning(lcUpdate) << "unreadable update report:" << e.what();
    }
    // Even when it cannot be removed, it only holds the hand-off back once
    // per start; it never repeats one.
    if (!QFile::remove(path))
        qCWarning(lcUpdate) << "cannot remove" << path;
    return message;
}

} // namespace

qint32 installedRevision(const QString& applicationFolder)
{
    try {
        const QJsonObject marker = parseJsonObject(
            readFile(applicationFolder + QLatin1Char('/') + QLatin1String(kInstallMarkerFile),
                     kMaxDocumentSize));
        const qint64 revision = integerOr(marker.value(QLatin1String("revision")), 0);
        if (marker.value(QLatin1String("product")).toString() == QLatin1String(kInstallProduct) &&
            revision > kClientRevision && revision <= kMaxUpdateRevision)
            return static_cast<qint32>(revision);
    } catch (const std::exception&) {
        // A development build has no marker: the compiled revision holds.
    }
    return kClientRevision;
}

bool isUpdateInProgress()
{
    QLockFile lock(updatesFolder() + QLatin1Char('/') + QLatin1String(kUpdaterLockFile));
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) {
        lock.unlock();
        return false;
    }
    qint64 pid = 0;
    QString host;
    QString application;
    return lock.error() == QLockFile::LockFailedError &&
           lock.getLockInfo(&pid, &host, &application);
}

UpdateManifest parseUpdateManifest(const QJsonObject& manifest, const QUrl& manifestUrl,
                                   qint32 currentRevision)
{
    const qint64 schema = integerOr(manifest.value(QLatin1String("schema")), 0);
    const QString version = manifest.value(QLatin1String("version")).toString();
    if (schema != 1 || version != QLatin1String(kClientVersion))
        throw Error(QStringLiteral("Nepodporovaný manifest aktualizace."));

    const qint64 revision = integerOr(manifest.value(QLatin1String("revision")), 0);
    if (revision <= currentRevision)
        return {};
    if (revision > kMaxUpdateRevision)
        throw Error(QStringLiteral("Neplatná revize aktualizace."));

    UpdateManifest result;
    result.revision = static_cast<qint32>(revision);
    result.url = QUrl(manifest.value(QLatin1String("url")).toString(), QUrl::TolerantMode);
    // QUrl keeps host names lower-cased, so an upper-case host compares equal.
    const QString host = result.url.host(QUrl::FullyDecoded);
    if (host.isEmpty() || host != manifestUrl.host(QUrl::FullyDecoded) ||
        !isReleasePath(result.url.path(QUrl::FullyDecoded)))
        throw Error(QStringLiteral("Nepovolený zdroj aktualizace."));

    result.sha256 = manifest.value(QLatin1String("sha256")).toString().toLatin1().toLower();
    if (!isLowerHexDigest(result.sha256))
        throw Error(QStringLiteral("Neplatný kontrolní součet aktualizace."));

    result.size = integerOr(manifest.value(QLatin1String("size")), -1);
    if (result.size < 0)
        result.size = -1;
    return result;
}

UpdateInfo checkForUpdate(Http& http, const CancelFlag& cancel)
{
    const QUrl manifestUrl = updateUrl();
    const qint32 installed = installedRevision(QCoreApplication::applicationDirPath());
    const UpdateManifest manifest = parseUpdateManifest(
        getSignedJson(http, manifestUrl,
                      QStringLiteral("Manifest aktualizace není podepsán klíčem pořadatele.")),
        manifestUrl, installed);
    const QString failure = takeUpdateFailure(manifest.sha256);
    if (manifest.revision == 0) {
        qCDebug(lcUpdate) << "no newer revision than" << installed;
        return {};
    }
    if (!failure.isEmpty()) {
        qCDebug(lcUpdate) << "revision" << manifest.revision << "failed last time; not now";
        UpdateInfo skipped;
        skipped.failure = failure;
        return skipped;
    }
    checkCancelled(cancel);
    const QString target =
        resolveInside(dataDir(), QStringLiteral("updates/revision-%1.zip").arg(manifest.revision));
    Download archive;
    archive.url = manifest.url;
    archive.path = target;
    archive.sha = manifest.sha256;
    archive.algorithm = QCryptographicHash::Sha256;
    archive.size = manifest.size;
    http.download(archive);
    qCDebug(lcUpdate) << "revision" << manifest.revision << "ready at" << target;
    return {target, manifest.sha256, manifest.revision};
}

namespace detail {

QString launchUpdater(const UpdateInfo& info, const QString& applicationFolder,
                      const PlatformDescriptor& platform, qint64 processId)
{
    const QString markerPath =
        applicationFolder + QLatin1Char('/') + QLatin1String(kInstallMarkerFile);
    const QJsonObject marker = parseJsonObject(readFile(markerPath, kMaxDocumentSize));
    if (marker.value(QLatin1String("product")).toString() != QLatin1String(kInstallProduct))
        throw Error(QStringLiteral(
            "Automatická aktualizace funguje pouze v rozbalené distribuční složce klienta."));

    const QString launchFolder =
        resolveInside(dataDir(), QStringLiteral("updates/helper-") +
                                     QUuid::createUuid().toString(QUuid::WithoutBraces));
    ensureDir(launchFolder);

    // The copies keep the source's permissions, so the updater stays
    // executable where that is a file mode.
    const auto copy = [&](const QString& source, const QString& name) {
        const QString target = launchFolder + QLatin1Char('/') + name;
        copyFile(source, target);
        QFile::setPermissions(target, QFile::permissions(source));
        return target;
    };
    const QString updater = copy(applicationFolder + QLatin1Char('/') + platform.updaterExecutable,
                                 platform.updaterExecutable);
    const QFileInfoList libraries = QDir(applicationFolder)
                                        .entryInfoList({platform.runtimeLibraryPattern},
                                                       QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo& library : libraries)
        copy(library.absoluteFilePath(), library.fileName());

    const QStringList arguments = {
        QStringLiteral("--pid"),    QString::number(processId), QStringLiteral("--package"),
        info.packagePath,           QStringLiteral("--sha256"), QString::fromLatin1(info.sha256),
        QStringLiteral("--target"), applicationFolder,
    };
    if (!QProcess::startDetached(updater, arguments, launchFolder))
        throw Error(QStringLiteral("Nelze spustit aktualizátor."));
    qCDebug(lcUpdate) << "updater started from" << launchFolder;
    return launchFolder;
}

} // namespace detail

void startUpdater(const UpdateInfo& info)
{
    detail::launchUpdater(info, QCoreApplication::applicationDirPath(),
                          PlatformDescriptor::current(), QCoreApplication::applicationPid());
    QCoreApplication::quit();
}

} // namespace tarvik
