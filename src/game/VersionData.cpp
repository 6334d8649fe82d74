#include "game/VersionData.h"

#include "fs/SafeFiles.h"
#include "game/GameLog.h"
#include "net/Endpoints.h"

#include <QRegularExpression>

Q_LOGGING_CATEGORY(lcGame, "tarvik.game", QtWarningMsg)

namespace tarvik {

namespace {

const QLatin1String kRules("rules");

bool ruleApplies(const QJsonObject& rule, const PlatformDescriptor& platform)
{
    const QJsonObject os = rule.value(QLatin1String("os")).toObject();
    if (os.contains(QLatin1String("name")) &&
        os.value(QLatin1String("name")).toString() != platform.osName)
        return false;
    if (os.contains(QLatin1String("arch")) &&
        !platform.archNames.contains(os.value(QLatin1String("arch")).toString()))
        return false;
    if (os.contains(QLatin1String("version"))) {
        const QRegularExpression pattern(os.value(QLatin1String("version")).toString());
        if (!pattern.isValid() || !pattern.match(platform.kernelVersion).hasMatch())
            return false;
    }
    const QJsonObject features = rule.value(QLatin1String("features")).toObject();
    for (auto it = features.constBegin(); it != features.constEnd(); ++it) {
        if (it.value().toBool(false) != platform.features.contains(it.key()))
            return false;
    }
    return true;
}

} // namespace

VersionData loadVersionJson(Http& http, const QString& versionId, const ProgressCallback& progress)
{
    if (progress)
        progress(QStringLiteral("Načítám oficiální metadata Minecraftu"), 0);

    const QJsonObject manifest = http.getJson(endpointUrl(
        Endpoints::current().versionManifest, QStringLiteral("/mc/game/version_manifest_v2.json")));
    const QJsonArray versions = manifest.value(QLatin1String("versions")).toArray();
    QJsonObject entry;
    bool found = false;
    for (const QJsonValue& value : versions) {
        const QJsonObject candidate = value.toObject();
        if (candidate.value(QLatin1String("id")).toString() == versionId) {
            entry = candidate;
            found = true;
            break;
        }
    }
    if (!found)
        throw Error(QStringLiteral("Minecraft verze eventu není v oficiálním katalogu."));

    const QString path =
        resolveInside(dataDir(), QStringLiteral("versions/") + versionId + QStringLiteral(".json"));
    http.download(gameFileDownload(entry, path));
    qCDebug(lcGame) << "version data in place:" << path;

    VersionData data;
    data.json = parseJsonObject(readFile(path, kMaxDocumentSize));
    data.javaMajor = data.json.value(QLatin1String("javaVersion"))
                         .toObject()
                         .value(QLatin1String("majorVersion"))
                         .toInt(8);
    if (data.javaMajor < kMinimumJavaMajor || !data.json.contains(QLatin1String("arguments")))
        throw Error(QStringLiteral(
            "Tento klient podporuje moderní Minecraft s Javou 17 a novější (1.18+)."));
    return data;
}

bool rulesAllow(const QJsonObject& element, const PlatformDescriptor& platform)
{
    if (!element.contains(kRules))
        return true;
    bool allowed = false;
    const QJsonArray rules = element.value(kRules).toArray();
    for (const QJsonValue& value : rules) {
        const QJsonObject rule = value.toObject();
        if (ruleApplies(rule, platform))
            allowed = rule.value(QLatin1String("action")).toString() == QLatin1String("allow");
    }
    return allowed;
}

QStringList collectArguments(const QJsonArray& arguments, const PlatformDescriptor& platform)
{
    QStringList result;
    for (const QJsonValue& element : arguments) {
        if (element.isString()) {
            result.append(element.toString());
            continue;
        }
        const QJsonObject object = element.toObject();
        if (!rulesAllow(object, platform))
            continue;
        const QJsonValue value = object.value(QLatin1String("value"));
        if (value.isArray()) {
            const QJsonArray values = value.toArray();
            for (const QJsonValue& item : values)
                result.append(item.toString());
        } else {
            result.append(value.toString());
        }
    }
    return result;
}

Download gameFileDownload(const QJsonObject& object, const QString& targetPath)
{
    static const QRegularExpression sha1Pattern(QStringLiteral("\\A[0-9a-fA-F]{40}\\z"));
    const QByteArray sha1 = object.value(QLatin1String("sha1")).toString().toUtf8();
    if (!sha1Pattern.match(QString::fromLatin1(sha1)).hasMatch())
        throw Error(QStringLiteral("Chybí platný SHA-1 herního souboru."));

    Download download;
    download.url = QUrl(object.value(QLatin1String("url")).toString(), QUrl::TolerantMode);
    download.path = targetPath;
    download.sha = sha1.toLower();
    download.algorithm = QCryptographicHash::Sha1;
    download.size = object.value(QLatin1String("size")).toInteger(-1);
    return download;
}

} // namespace tarvik
