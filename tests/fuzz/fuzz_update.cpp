// The update manifest and the install marker. Properties of an accepted
// manifest: no update carries nothing; an update names a revision above the
// current one and within the limit, an archive on the manifest's host whose
// decoded path stays below "/releases/", and a 64-digit lower-case digest.
// The marker check reads the same bytes as the marker of a folder that holds
// both programs.
#include "FuzzSupport.h"

#include "update/Update.h"
#include "updater/Updater.h"

#include <QFile>
#include <QRegularExpression>

using namespace tarvik;

namespace {

const QUrl kManifestUrl(QStringLiteral("https://tarvik.invalid/api/v1/update.json"));
constexpr qint32 kCurrent = 7;

void checkManifest(const QJsonObject& document)
{
    UpdateManifest manifest;
    try {
        manifest = parseUpdateManifest(document, kManifestUrl, kCurrent);
    } catch (const Error&) {
        return;
    }
    if (manifest.revision == 0) {
        FUZZ_CHECK(manifest.url.isEmpty() && manifest.sha256.isEmpty() && manifest.size == -1);
        return;
    }
    FUZZ_CHECK(manifest.revision > kCurrent && manifest.revision <= kMaxUpdateRevision);
    FUZZ_CHECK(manifest.url.host(QUrl::FullyDecoded) == kManifestUrl.host());
    const QString path = manifest.url.path(QUrl::FullyDecoded);
    FUZZ_CHECK(path.startsWith(QLatin1String("/releases/")));
    const QString normalized =
        manifest.url.adjusted(QUrl::NormalizePathSegments).path(QUrl::FullyDecoded);
    FUZZ_CHECK(normalized.startsWith(QLatin1String("/releases/")));
    static const QRegularExpression digest(QStringLiteral("\\A[0-9a-f]{64}\\z"));
    FUZZ_CHECK(digest.match(QString::fromLatin1(manifest.sha256)).hasMatch());
    FUZZ_CHECK(manifest.size >= -1);
}

void checkMarker(const QByteArray& bytes, const QJsonObject* document)
{
    static const PlatformDescriptor platform = PlatformDescriptor::current();
    static const QString folder = [] {
        const QString path = fuzz::scratch() + QStringLiteral("/install");
        ensureDir(path);
        for (const QString& program : {platform.clientExecutable, platform.updaterExecutable}) {
            QFile file(path + QLatin1Char('/') + program);
            file.open(QIODevice::WriteOnly);
        }
        return path;
    }();
    QFile marker(folder + QStringLiteral("/.tarvik-install"));
    FUZZ_CHECK(marker.open(QIODevice::WriteOnly | QIODevice::Truncate));
    marker.write(bytes);
    marker.close();
    bool complete = false;
    try {
        complete = updater::isCompleteInstallation(folder, platform);
    } catch (const Error&) {
        FUZZ_CHECK(document == nullptr);
        return;
    }
    FUZZ_CHECK(document != nullptr);
    if (complete)
        FUZZ_CHECK(document->value(QLatin1String("product")).toString() ==
                   QLatin1String(kInstallProduct));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::optional<QJsonObject> document = fuzz::jsonObject(data, size);
    if (document)
        checkManifest(*document);
    checkMarker(fuzz::bytes(data, size), document ? &*document : nullptr);
    return 0;
}
