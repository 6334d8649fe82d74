// The game's version data, the asset index and the Fabric profile; the input
// is read as each of them. Properties, for the Windows and the Linux
// descriptor: every library, asset and Fabric download lands in its folder
// below the data folder under a clean path, with a 40-digit lower-case SHA-1
// (a Fabric library may have none: its digest is fetched later); the class
// path and the native jars are downloads of the same list; each asset hash is
// fetched once.
#include "FuzzSupport.h"

#include "game/GameInstall.h"
#include "game/VersionData.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

using namespace tarvik;

namespace {

bool isLowerSha1(const QByteArray& sha)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9a-f]{40}\\z"));
    return pattern.match(QString::fromLatin1(sha)).hasMatch();
}

bool isCleanPathBelow(const QString& path, const QString& folder)
{
    return path.startsWith(folder + QLatin1Char('/')) && QDir::cleanPath(path) == path &&
           path.size() > folder.size() + 1;
}

void checkVersion(const QJsonObject& json, const PlatformDescriptor& platform)
{
    rulesAllow(json, platform);
    const QJsonObject arguments = json.value(QLatin1String("arguments")).toObject();
    collectArguments(arguments.value(QLatin1String("game")).toArray(), platform);
    collectArguments(arguments.value(QLatin1String("jvm")).toArray(), platform);

    const QString libraries = dataDir() + QStringLiteral("/libraries");
    detail::VersionFiles files;
    try {
        files = detail::libraryFiles(json, platform);
    } catch (const Error&) {
        return;
    }
    QSet<QString> paths;
    for (const Download& download : std::as_const(files.downloads)) {
        FUZZ_CHECK(isCleanPathBelow(download.path, libraries));
        FUZZ_CHECK(isLowerSha1(download.sha));
        paths.insert(download.path);
    }
    for (const QString& jar : std::as_const(files.classpath))
        FUZZ_CHECK(paths.contains(jar));
    for (const QString& jar : std::as_const(files.nativeJars))
        FUZZ_CHECK(paths.contains(jar));
}

void checkAssetIndex(const QJsonObject& json)
{
    const QString objects = dataDir() + QStringLiteral("/assets/objects");
    QList<Download> downloads;
    try {
        downloads = detail::assetObjectDownloads(json.value(QLatin1String("objects")).toObject());
    } catch (const Error&) {
        return;
    }
    QSet<QByteArray> hashes;
    for (const Download& download : std::as_const(downloads)) {
        FUZZ_CHECK(isLowerSha1(download.sha));
        FUZZ_CHECK(download.path == objects + QLatin1Char('/') +
                                        QString::fromLatin1(download.sha.left(2)) +
                                        QLatin1Char('/') + QString::fromLatin1(download.sha));
        FUZZ_CHECK(download.url.path().endsWith(QString::fromLatin1(download.sha)));
        FUZZ_CHECK(!hashes.contains(download.sha));
        hashes.insert(download.sha);
    }
}

void checkFabricProfile(const QJsonObject& json, const PlatformDescriptor& platform)
{
    collectArguments(
        json.value(QLatin1String("arguments")).toObject().value(QLatin1String("jvm")).toArray(),
        platform);
    const QString libraries = dataDir() + QStringLiteral("/libraries");
    const QJsonArray list = json.value(QLatin1String("libraries")).toArray();
    for (const QJsonValue& value : list) {
        try {
            const detail::FabricLibrary library = detail::fabricLibrary(value.toObject());
            FUZZ_CHECK(isCleanPathBelow(library.download.path, libraries));
            FUZZ_CHECK(library.download.path.endsWith(QStringLiteral(".jar")));
            FUZZ_CHECK(library.download.sha.isEmpty() || isLowerSha1(library.download.sha));
        } catch (const Error&) {
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::scratch();
    const std::optional<QJsonObject> document = fuzz::jsonObject(data, size);
    if (!document)
        return 0;
    static const PlatformDescriptor windows = PlatformDescriptor::forWindows();
    static const PlatformDescriptor linux = PlatformDescriptor::forLinux(QStringLiteral("6.1.0"));
    for (const PlatformDescriptor* platform : {&windows, &linux}) {
        checkVersion(*document, *platform);
        checkFabricProfile(*document, *platform);
    }
    checkAssetIndex(*document);
    try {
        const QString id = sanitizeRelativePath(document->value(QLatin1String("assetIndex"))
                                                    .toObject()
                                                    .value(QLatin1String("id"))
                                                    .toString());
        FUZZ_CHECK(!id.isEmpty());
    } catch (const Error&) {
    }
    return 0;
}
