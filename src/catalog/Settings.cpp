#include "catalog/Settings.h"

#include "catalog/CatalogLog.h"
#include "fs/SafeFiles.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>

namespace tarvik {

namespace {

// True when lowest <= value <= highest; done on the unsigned distance from the
// lower bound, so every value below it (the most negative one included) wraps
// far above the range instead of overflowing.
bool inRange(qint32 value, qint32 lowest, qint32 highest)
{
    return static_cast<quint32>(value) - static_cast<quint32>(lowest) <=
           static_cast<quint32>(highest) - static_cast<quint32>(lowest);
}

} // namespace

QString Settings::path()
{
    return dataDir() + QStringLiteral("/settings.json");
}

Settings Settings::load()
{
    const QString file = path();
    if (!QFileInfo::exists(file))
        return Settings();
    Settings settings = fromJson(parseJsonObject(readFile(file, kMaxDocumentSize)));
    qCDebug(lcCatalog) << "settings loaded from" << file;
    return settings;
}

Settings Settings::fromJson(const QJsonObject& object)
{
    Settings settings;
    // toInt() yields the default for anything that is not a whole number in
    // the 32-bit range, text included.
    settings.ramMb = object.value(QLatin1String("ramMb")).toInt(settings.ramMb);
    settings.width = object.value(QLatin1String("width")).toInt(settings.width);
    settings.height = object.value(QLatin1String("height")).toInt(settings.height);
    settings.javaPath = object.value(QLatin1String("javaPath")).toString();
    settings.jvmFlags = object.value(QLatin1String("jvmFlags")).toString(settings.jvmFlags);
    settings.selectedEvent = object.value(QLatin1String("selectedEvent")).toString();
    settings.closeOnLaunch = object.value(QLatin1String("closeOnLaunch")).toBool(false);

    const QJsonObject enabled = object.value(QLatin1String("enabledMods")).toObject();
    for (auto it = enabled.constBegin(); it != enabled.constEnd(); ++it) {
        const QJsonArray ids = it.value().toArray();
        for (const QJsonValue& id : ids)
            settings.enabledMods[it.key()].insert(id.toString());
    }

    validate(settings);
    return settings;
}

void Settings::validate(const Settings& settings)
{
    if (!inRange(settings.ramMb, 1024, 65536) || settings.ramMb % 256 != 0)
        throw Error(QStringLiteral("RAM musí být 1–64 GB v krocích po 256 MB."));
    if (!inRange(settings.width, 640, 7680) || !inRange(settings.height, 480, 4320))
        throw Error(QStringLiteral("Neplatné rozlišení hry."));
    if (settings.jvmFlags.size() > 4096 || settings.jvmFlags.contains(QLatin1Char('\n')) ||
        settings.jvmFlags.contains(QLatin1Char('\r')))
        throw Error(QStringLiteral("Neplatné JVM parametry."));
}

QJsonObject Settings::toJson(const Settings& settings)
{
    QJsonObject enabled;
    for (auto it = settings.enabledMods.cbegin(); it != settings.enabledMods.cend(); ++it) {
        QStringList ids(it.value().cbegin(), it.value().cend());
        std::sort(ids.begin(), ids.end()); // UTF-16 code units, case-sensitive
        enabled.insert(it.key(), QJsonArray::fromStringList(ids));
    }
    return QJsonObject{
        {QStringLiteral("ramMb"), settings.ramMb},
        {QStringLiteral("width"), settings.width},
        {QStringLiteral("height"), settings.height},
        {QStringLiteral("javaPath"), settings.javaPath},
        {QStringLiteral("jvmFlags"), settings.jvmFlags},
        {QStringLiteral("selectedEvent"), settings.selectedEvent},
        {QStringLiteral("closeOnLaunch"), settings.closeOnLaunch},
        {QStringLiteral("enabledMods"), enabled},
    };
}

void Settings::save(const Settings& settings)
{
    validate(settings);
    writeFileAtomically(path(), QJsonDocument(toJson(settings)).toJson(QJsonDocument::Indented));
    qCDebug(lcCatalog) << "settings saved to" << path();
}

} // namespace tarvik
