#include "game/GameInstall.h"

#include "fs/SafeFiles.h"
#include "fs/ZipExtract.h"
#include "game/GameLog.h"
#include "game/JavaRuntime.h"
#include "game/VersionData.h"
#include "mods/InstanceMods.h"
#include "net/Endpoints.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

namespace tarvik {

namespace {

const QLatin1String kDownloads("downloads");
const QLatin1String kPath("path");

bool isSha1(const QByteArray& hash)
{
    static const QRegularExpression sha1Pattern(QStringLiteral("\\A[0-9a-fA-F]{40}\\z"));
    return sha1Pattern.match(QString::fromLatin1(hash)).hasMatch();
}

QString libraryTarget(const QString& relativePath)
{
    return resolveInside(dataDir(),
                         QStringLiteral("libraries/") + sanitizeRelativePath(relativePath));
}

// Unpacks the native libraries of one jar (".dll" files on Windows) into the
// natives folder; everything else in the jar is checked but not written. Not
// synced: they are unpacked again before every launch, so a crash cannot
// leave one that a later launch uses unchecked.
void unpackNatives(const QString& jar, const QString& nativesDir, const CancelFlag& cancel,
                   const PlatformDescriptor& platform)
{
    extractZip(jar, nativesDir, cancel, true, platform.nativeLibrarySuffix,
               AtomicFile::Durability::Unsynced);
}

Download fabricLibraryDownload(Http& http, const QJsonObject& library)
{
    detail::FabricLibrary parsed = detail::fabricLibrary(library);
    Download& download = parsed.download;
    if (download.sha.isEmpty()) {
        const HttpResponse reply =
            http.request(QUrl(parsed.urlText + QStringLiteral(".sha1"), QUrl::TolerantMode),
                         QByteArrayLiteral("GET"), {}, {}, QByteArrayLiteral("application/json"));
        if (reply.status != 200)
            throw Error(QStringLiteral("Nelze ověřit Fabric knihovnu."));
        const QByteArray hash = reply.body.trimmed().left(40);
        if (!isSha1(hash))
            throw Error(QStringLiteral("Neplatný hash Fabric knihovny."));
        download.sha = hash.toLower();
    }
    return download;
}

QString pathSegment(const QString& text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

} // namespace

GameInstallation installGame(Http& http, const Event& event, const Settings& settings,
                             const Account& account, const CancelFlag& cancel,
                             const ProgressCallback& progress, const PlatformDescriptor& platform)
{
    Settings::validate(settings);
    if (!isSessionUsable(account))
        throw Error(QStringLiteral("Přihlášení vypršelo. Přihlaste se znovu."));

    const VersionData version = loadVersionJson(http, event.minecraft, progress);
    GameInstallation result;
    result.versionJson = version.json;
    result.javaPath = prepareJava(http, version.javaMajor, settings, cancel, progress, platform);

    result.instanceDir = instanceDir(event.id);
    ensureDir(result.instanceDir);
    syncInstanceMods(http, event, settings.enabledMods.value(event.id), cancel);
    const QString nativesDir = resolveInside(result.instanceDir, QStringLiteral("natives"));
    ensureDir(nativesDir);

    QList<Download> downloads;

    const QJsonObject& json = result.versionJson;
    const QString clientJar = resolveInside(
        dataDir(), QStringLiteral("versions/") + event.minecraft + QStringLiteral("/client.jar"));
    downloads.append(gameFileDownload(
        json.value(kDownloads).toObject().value(QLatin1String("client")).toObject(), clientJar));

    detail::VersionFiles files = detail::libraryFiles(json, platform);
    downloads.append(files.downloads);
    result.classpath = files.classpath;
    const QStringList nativeJars = files.nativeJars;

    const QJsonObject arguments = json.value(QLatin1String("arguments")).toObject();
    result.gameArguments =
        collectArguments(arguments.value(QLatin1String("game")).toArray(), platform);
    result.jvmArguments =
        collectArguments(arguments.value(QLatin1String("jvm")).toArray(), platform);
    result.mainClass = json.value(QLatin1String("mainClass")).toString();

    if (!event.fabricLoader.isEmpty()) {
        const QJsonObject profile = http.getJson(
            endpointUrl(Endpoints::current().fabricMeta,
                        QStringLiteral("/v2/versions/loader/") + pathSegment(event.minecraft) +
                            QLatin1Char('/') + pathSegment(event.fabricLoader) +
                            QStringLiteral("/profile/json")));
        result.mainClass = profile.value(QLatin1String("mainClass")).toString();
        result.jvmArguments.append(collectArguments(profile.value(QLatin1String("arguments"))
                                                        .toObject()
                                                        .value(QLatin1String("jvm"))
                                                        .toArray(),
                                                    platform));
        const QJsonArray fabricLibraries = profile.value(QLatin1String("libraries")).toArray();
        for (const QJsonValue& value : fabricLibraries) {
            checkCancelled(cancel);
            const Download download = fabricLibraryDownload(http, value.toObject());
            downloads.append(download);
            result.classpath.append(download.path);
        }
    }

    qCDebug(lcGame) << "game files:" << downloads.size() << "native jars:" << nativeJars.size();
    http.downloadMany(downloads);
    for (const QString& jar : std::as_const(nativeJars))
        unpackNatives(jar, nativesDir, cancel, platform);

    const QJsonObject assetIndex = json.value(QLatin1String("assetIndex")).toObject();
    result.assetIndexId = sanitizeRelativePath(assetIndex.value(QLatin1String("id")).toString());
    const QString indexPath =
        resolveInside(dataDir(), QStringLiteral("assets/indexes/") + result.assetIndexId +
                                     QStringLiteral(".json"));
    http.download(gameFileDownload(assetIndex, indexPath));
    const QJsonObject objects = parseJsonObject(readFile(indexPath, kMaxDocumentSize))
                                    .value(QLatin1String("objects"))
                                    .toObject();

    downloads = detail::assetObjectDownloads(objects);
    qCDebug(lcGame) << "asset objects:" << downloads.size();
    http.downloadMany(downloads);

    result.classpath.append(clientJar);
    return result;
}

namespace detail {

FabricLibrary fabricLibrary(const QJsonObject& library)
{
    const QStringList parts =
        library.value(QLatin1String("name")).toString().split(QLatin1Char(':'), Qt::KeepEmptyParts);
    if (parts.size() != 3)
        throw Error(QStringLiteral("Nepodporovaná Fabric knihovna."));
    QString group = parts.at(0);
    group.replace(QLatin1Char('.'), QLatin1Char('/'));
    const QString& artifactId = parts.at(1);
    const QString& version = parts.at(2);
    const QString relativePath = sanitizeRelativePath(
        group + QLatin1Char('/') + artifactId + QLatin1Char('/') + version + QLatin1Char('/') +
        artifactId + QLatin1Char('-') + version + QStringLiteral(".jar"));

    const QJsonObject artifact =
        library.value(kDownloads).toObject().value(QLatin1String("artifact")).toObject();
    FabricLibrary result;
    result.urlText = artifact.value(QLatin1String("url")).toString();
    if (result.urlText.isEmpty())
        result.urlText = library.value(QLatin1String("url")).toString() + relativePath;

    const QByteArray hash = artifact.value(QLatin1String("sha1")).toString().toUtf8();
    if (!hash.isEmpty() && !isSha1(hash))
        throw Error(QStringLiteral("Neplatný hash Fabric knihovny."));

    Download& download = result.download;
    download.url = QUrl(result.urlText, QUrl::TolerantMode);
    download.path = libraryTarget(relativePath);
    download.sha = hash.toLower();
    download.algorithm = QCryptographicHash::Sha1;
    download.size = artifact.value(QLatin1String("size")).toInteger(-1);
    return result;
}

VersionFiles libraryFiles(const QJsonObject& json, const PlatformDescriptor& platform)
{
    VersionFiles files;
    const QJsonArray libraries = json.value(QLatin1String("libraries")).toArray();
    for (const QJsonValue& value : libraries) {
        const QJsonObject library = value.toObject();
        if (!rulesAllow(library, platform))
            continue;
        const QJsonObject libraryDownloads = library.value(kDownloads).toObject();
        if (libraryDownloads.contains(QLatin1String("artifact"))) {
            const QJsonObject artifact =
                libraryDownloads.value(QLatin1String("artifact")).toObject();
            const QString path = artifact.value(kPath).toString();
            const QString target = libraryTarget(path);
            files.downloads.append(gameFileDownload(artifact, target));
            files.classpath.append(target);
            if (path.contains(platform.nativesArtifactMarker))
                files.nativeJars.append(target);
        }
        QString classifier = library.value(QLatin1String("natives"))
                                 .toObject()
                                 .value(platform.nativesKey)
                                 .toString();
        classifier.replace(QStringLiteral("${arch}"), QStringLiteral("64"));
        if (!classifier.isEmpty()) {
            const QJsonObject native = libraryDownloads.value(QLatin1String("classifiers"))
                                           .toObject()
                                           .value(classifier)
                                           .toObject();
            const QString target = libraryTarget(native.value(kPath).toString());
            files.downloads.append(gameFileDownload(native, target));
            files.nativeJars.append(target);
        }
    }

    return files;
}

QList<Download> assetObjectDownloads(const QJsonObject& objects)
{
    QList<Download> downloads;
    static const QRegularExpression assetHash(QStringLiteral("\\A[0-9a-f]{40}\\z"));
    const QUrl objectStore = Endpoints::current().assetObjects;
    QString objectStorePath = objectStore.path(QUrl::FullyDecoded);
    if (objectStorePath.endsWith(QLatin1Char('/')))
        objectStorePath.chop(1);
    // Each of the (at most 256) prefix folders is resolved once; the object
    // file itself is refused by the download when it is a link.
    QHash<QString, QString> prefixFolders;
    QSet<QString> seen;
    seen.reserve(objects.size());
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        const QJsonObject object = it.value().toObject();
        const QString hash = object.value(QLatin1String("hash")).toString();
        if (!assetHash.match(hash).hasMatch())
            throw Error(QStringLiteral("Neplatná herní textura."));
        if (seen.contains(hash))
            continue;
        seen.insert(hash);
        const QString prefix = hash.left(2);
        auto folder = prefixFolders.constFind(prefix);
        if (folder == prefixFolders.constEnd())
            folder = prefixFolders.insert(
                prefix, resolveInside(dataDir(), QStringLiteral("assets/objects/") + prefix));
        Download download;
        // The path is plain hexadecimal: set it as it is instead of parsing a
        // whole address per object.
        download.url = objectStore;
        download.url.setPath(objectStorePath + QLatin1Char('/') + prefix + QLatin1Char('/') + hash,
                             QUrl::DecodedMode);
        download.path = folder.value() + QLatin1Char('/') + hash;
        download.sha = hash.toLatin1();
        download.algorithm = QCryptographicHash::Sha1;
        // A missing size means unknown: the hash still decides.
        download.size = object.value(QLatin1String("size")).toInteger(-1);
        downloads.append(download);
    }
    return downloads;
}

} // namespace detail

} // namespace tarvik
