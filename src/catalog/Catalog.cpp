#include "catalog/Catalog.h"

#include "catalog/CatalogLog.h"
#include "fs/SafeFiles.h"
#include "net/Endpoints.h"
#include "net/Http.h"
#include "net/SignedDocument.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <functional>

Q_LOGGING_CATEGORY(lcCatalog, "tarvik.catalog", QtWarningMsg)

namespace tarvik {

namespace {

constexpr qsizetype kMaxEvents = 100;
constexpr qsizetype kMaxModsPerEvent = 200;
constexpr qsizetype kMaxIdentifier = 80;
constexpr qsizetype kMaxServer = 253;
constexpr qsizetype kMaxFile = 180;
constexpr qsizetype kMaxUrl = 2048;
constexpr qsizetype kMaxSha512 = 128;
constexpr quint64 kMaxModSize = 134217728; // 128 MiB

// Walks one document and remembers where it is, so that a failure can name
// the place for the operator's checking tool. Used once per validation.
class CatalogReader
{
public:
    Catalog read(const QJsonObject& document);
    const QString& where() const { return m_where; }

private:
    [[noreturn]] static void fail(const QString& message) { throw Error(message); }
    [[noreturn]] static void failField(const QString& key)
    {
        fail(QStringLiteral("Neplatné pole katalogu: ") + key);
    }

    void at(const QString& prefix, const QString& key) { m_where = prefix + key; }
    QString readText(const QJsonObject& object, const QString& prefix, const QString& key,
                     qsizetype minimum, qsizetype maximum);
    QString readIdentifier(const QJsonObject& object, const QString& prefix, const QString& key);
    Event readEvent(const QJsonObject& object, const QString& prefix, QSet<QString>& eventIds);
    Mod readMod(const QJsonObject& object, const QString& prefix, QSet<QString>& modIds,
                QSet<QString>& foldedFiles);
    void checkDependencies(const Event& event, const QString& prefix);

    QString m_where;
};

// The whole value must match. A plain "$" would also accept one trailing line
// feed ("e1\n"), which is not part of any identifier, GUID or digest.
QRegularExpression wholeValue(const QString& pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
}

bool identifierPatternMatches(const QString& value)
{
    static const QRegularExpression pattern =
        wholeValue(QStringLiteral("[a-zA-Z0-9][a-zA-Z0-9._+-]*"));
    return pattern.match(value).hasMatch();
}

QString CatalogReader::readText(const QJsonObject& object, const QString& prefix,
                                const QString& key, qsizetype minimum, qsizetype maximum)
{
    at(prefix, key);
    const QString value = object.value(key).toString();
    if (value.size() < minimum || value.size() > maximum)
        failField(key);
    return value;
}

QString CatalogReader::readIdentifier(const QJsonObject& object, const QString& prefix,
                                      const QString& key)
{
    const QString value = readText(object, prefix, key, 1, kMaxIdentifier);
    if (!identifierPatternMatches(value))
        fail(QStringLiteral("Neplatný identifikátor katalogu."));
    sanitizeRelativePath(value);
    return value;
}

Catalog CatalogReader::read(const QJsonObject& document)
{
    Catalog catalog;

    at({}, QStringLiteral("schema"));
    if (document.value(QLatin1String("schema")).toInt(0) != 1)
        fail(QStringLiteral("Nepodporované schéma katalogu."));

    at({}, QStringLiteral("microsoftClientId"));
    catalog.microsoftClientId = document.value(QLatin1String("microsoftClientId")).toString();
    static const QRegularExpression clientId =
        wholeValue(QStringLiteral("[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}"));
    if (!catalog.microsoftClientId.isEmpty() &&
        !clientId.match(catalog.microsoftClientId).hasMatch())
        fail(QStringLiteral("Server nemá platné Microsoft Application ID."));

    at({}, QStringLiteral("events"));
    const QJsonArray events = document.value(QLatin1String("events")).toArray();
    if (events.size() > kMaxEvents)
        fail(QStringLiteral("Katalog obsahuje příliš mnoho eventů."));

    QSet<QString> eventIds;
    for (qsizetype i = 0; i < events.size(); ++i) {
        const QString prefix = QStringLiteral("events[%1].").arg(i);
        catalog.events.append(readEvent(events.at(i).toObject(), prefix, eventIds));
    }
    m_where.clear();
    return catalog;
}

Event CatalogReader::readEvent(const QJsonObject& object, const QString& prefix,
                               QSet<QString>& eventIds)
{
    Event event;
    event.id = readIdentifier(object, prefix, QStringLiteral("id"));
    event.name = readText(object, prefix, QStringLiteral("name"), 1, 120);
    event.description = readText(object, prefix, QStringLiteral("description"), 1, 2048);
    event.minecraft = readIdentifier(object, prefix, QStringLiteral("minecraft"));

    at(prefix, QStringLiteral("fabricLoader"));
    event.fabricLoader = object.value(QLatin1String("fabricLoader")).toString();
    if (!event.fabricLoader.isEmpty())
        readIdentifier(object, prefix, QStringLiteral("fabricLoader"));

    at(prefix, QStringLiteral("server"));
    event.server = object.value(QLatin1String("server")).toString();
    static const QRegularExpression serverForbidden(QStringLiteral("[\\s/\\\\]"));
    if (event.server.size() > kMaxServer || serverForbidden.match(event.server).hasMatch())
        fail(QStringLiteral("Neplatná adresa herního serveru."));

    // The id names the event's instance folder; on a case-insensitive file
    // system "Finale" and "finale" would share one, so ids are compared
    // case-folded, as mod file names are.
    at(prefix, QStringLiteral("id"));
    const QString foldedId = event.id.toCaseFolded();
    if (eventIds.contains(foldedId))
        fail(QStringLiteral("Duplicitní event v katalogu."));
    eventIds.insert(foldedId);

    at(prefix, QStringLiteral("mods"));
    const QJsonArray mods = object.value(QLatin1String("mods")).toArray();
    if (mods.size() > kMaxModsPerEvent || (event.fabricLoader.isEmpty() && !mods.isEmpty()))
        fail(QStringLiteral("Neplatný seznam Fabric modů."));

    QSet<QString> modIds;
    QSet<QString> foldedFiles;
    for (qsizetype j = 0; j < mods.size(); ++j) {
        const QString modPrefix = prefix + QStringLiteral("mods[%1].").arg(j);
        event.mods.append(readMod(mods.at(j).toObject(), modPrefix, modIds, foldedFiles));
    }
    checkDependencies(event, prefix);
    return event;
}

Mod CatalogReader::readMod(const QJsonObject& object, const QString& prefix, QSet<QString>& modIds,
                           QSet<QString>& foldedFiles)
{
    Mod mod;
    mod.id = readIdentifier(object, prefix, QStringLiteral("id"));
    mod.name = readText(object, prefix, QStringLiteral("name"), 1, 120);
    mod.version = readText(object, prefix, QStringLiteral("version"), 1, 100);
    mod.description = readText(object, prefix, QStringLiteral("description"), 1, 2048);
    mod.category = readText(object, prefix, QStringLiteral("category"), 1, 60);

    // sanitizeRelativePath turns "\" into "/", so a folder part written with
    // either slash is caught by the "/" test below.
    mod.file = sanitizeRelativePath(readText(object, prefix, QStringLiteral("file"), 1, kMaxFile));
    const QString folded = mod.file.toCaseFolded();
    if (mod.file.contains(QLatin1Char('/')) || !mod.file.endsWith(QLatin1String(".jar")) ||
        foldedFiles.contains(folded) || modIds.contains(mod.id))
        fail(QStringLiteral("Duplicitní nebo neplatný mod v katalogu."));
    modIds.insert(mod.id);
    foldedFiles.insert(folded);

    at(prefix, QStringLiteral("required"));
    mod.required = object.value(QLatin1String("required")).toBool(false);

    const QString url = readText(object, prefix, QStringLiteral("url"), 1, kMaxUrl);
    mod.download.url = QUrl(url, QUrl::TolerantMode);
    Http::requireHttpsUrl(mod.download.url);

    const QString sha = readText(object, prefix, QStringLiteral("sha512"), 1, kMaxSha512);
    mod.download.sha = sha.toLatin1().toLower();
    static const QRegularExpression sha512 = wholeValue(QStringLiteral("[0-9a-f]{128}"));
    if (!sha512.match(QString::fromLatin1(mod.download.sha)).hasMatch())
        fail(QStringLiteral("Neplatný SHA-512 modu."));
    mod.download.algorithm = QCryptographicHash::Sha512;

    at(prefix, QStringLiteral("size"));
    const qint64 size = object.value(QLatin1String("size")).toInteger(0);
    // Unsigned arithmetic: 0 and every negative size wrap above the limit, and
    // the lowest 64-bit value cannot overflow.
    if (static_cast<quint64>(size) - 1u >= kMaxModSize)
        fail(QStringLiteral("Neplatná velikost modu."));
    mod.download.size = size;

    at(prefix, QStringLiteral("dependencies"));
    const QJsonArray dependencies = object.value(QLatin1String("dependencies")).toArray();
    for (const QJsonValue& dependency : dependencies)
        mod.dependencies.append(dependency.toString());
    return mod;
}

void CatalogReader::checkDependencies(const Event& event, const QString& prefix)
{
    QSet<QString> done;
    QSet<QString> inProgress;
    const std::function<void(const QString&)> visit = [&](const QString& id) {
        if (done.contains(id))
            return;
        if (inProgress.contains(id))
            fail(QStringLiteral("Cyklus závislostí modů."));
        inProgress.insert(id);
        const auto found = std::find_if(event.mods.cbegin(), event.mods.cend(),
                                        [&](const Mod& mod) { return mod.id == id; });
        if (found == event.mods.cend())
            fail(QStringLiteral("Chybějící závislost modu: ") + id);
        // Depth is bounded by the 200 mods of an event.
        for (const QString& dependency : found->dependencies)
            visit(dependency);
        inProgress.remove(id);
        done.insert(id);
    };
    for (qsizetype j = 0; j < event.mods.size(); ++j) {
        at(prefix, QStringLiteral("mods[%1].dependencies").arg(j));
        visit(event.mods.at(j).id);
    }
}

} // namespace

Catalog Catalog::fromJson(const QJsonObject& document, QString* failedAt)
{
    CatalogReader reader;
    try {
        Catalog catalog = reader.read(document);
        if (failedAt)
            failedAt->clear();
        return catalog;
    } catch (const Error& error) {
        if (failedAt)
            *failedAt = reader.where();
        qCDebug(lcCatalog) << "catalog refused at" << reader.where() << error.message();
        throw;
    }
}

Catalog Catalog::load(Http& http)
{
    return fromJson(getSignedJson(http, catalogUrl(),
                                  QStringLiteral("Katalog není podepsán klíčem pořadatele.")));
}

} // namespace tarvik
