#include "mods/InstanceMods.h"

#include "catalog/ModManager.h"
#include "fs/AtomicFile.h"
#include "fs/SafeFiles.h"
#include "net/Http.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QStringList>

Q_LOGGING_CATEGORY(lcMods, "tarvik.mods", QtWarningMsg)

namespace tarvik {

namespace {

const QString kRecordName = QStringLiteral("managed-mods.json");

// "managed-mods.json": jar name -> SHA-512 of the content the launcher placed
// under that name. Written after every single change.
class ManagedRecord
{
public:
    explicit ManagedRecord(const QString& path) : m_path(path)
    {
        if (QFileInfo::exists(m_path))
            m_members = parseJsonObject(readFile(m_path, kMaxDocumentSize));
    }

    bool vouches(const QString& name, const QByteArray& sha) const
    {
        const QJsonValue member = m_members.value(name);
        return member.isString() && member.toString() == QString::fromLatin1(sha);
    }

    // Saved even when there was no member: a deletion is a change of the
    // folder, and the record is written after every change.
    void remove(const QString& name)
    {
        m_members.remove(name);
        save();
    }

    void set(const QString& name, const QByteArray& sha)
    {
        if (vouches(name, sha))
            return; // the member already says exactly this
        m_members.insert(name, QString::fromLatin1(sha));
        save();
    }

private:
    void save() const
    {
        writeFileAtomically(m_path, QJsonDocument(m_members).toJson(QJsonDocument::Indented));
    }

    QString m_path;
    QJsonObject m_members;
};

QString cachePath(const QByteArray& sha)
{
    return resolveInside(dataDir(), QStringLiteral("cache/mods/") + QString::fromLatin1(sha) +
                                        QStringLiteral(".jar"));
}

// The SHA-512 of a regular file in the mods folder. Anything else (folder,
// link, junction, pipe, device) is refused: it is not ours to judge or touch,
// and reading a pipe would block the job.
QByteArray hashEntry(const QString& modsDir, const QString& name, const CancelFlag& cancel)
{
    const QString path = modsDir + QLatin1Char('/') + name;
    if (isReparsePoint(path) || !QFileInfo(path).isFile())
        throw Error(QStringLiteral("Nepovolená položka ve složce mods: ") + name);
    return hashFile(path, QCryptographicHash::Sha512, cancel);
}

} // namespace

QString instanceDir(const QString& eventId)
{
    // One folder level only: an id like "a/b" would otherwise pass the path
    // rule and nest one event's instance inside another's.
    const QString id = sanitizeRelativePath(eventId);
    if (id.contains(QLatin1Char('/')))
        throw Error(QStringLiteral("Nepovolená cesta v manifestu: ") + eventId);
    return resolveInside(dataDir(), QStringLiteral("instances/") + id);
}

void syncInstanceMods(Http& http, const Event& event, const QSet<QString>& enabled,
                      const CancelFlag& cancel)
{
    detail::syncInstanceMods(http, event, enabled, cancel, {});
}

namespace detail {

void syncInstanceMods(Http& http, const Event& event, const QSet<QString>& enabled,
                      const CancelFlag& cancel,
                      const std::function<void(SyncStep, const QString&)>& observer)
{
    const auto checkpoint = [&](SyncStep step, const QString& name) {
        if (observer)
            observer(step, name);
        checkCancelled(cancel);
    };

    // 1. Paths: all three are checked before anything is created.
    const QString instance = instanceDir(event.id);
    const QString modsDir = resolveInside(instance, QStringLiteral("mods"));
    const QString recordPath = resolveInside(instance, kRecordName);
    ensureDir(modsDir);

    // 2. Record.
    ManagedRecord record(recordPath);

    // 3-4. Wanted set and file map.
    const QSet<QString> wanted = ModManager::resolve(event, enabled);
    QHash<QString, const Mod*> byFile;
    for (const Mod& mod : event.mods)
        byFile.insert(mod.file, &mod);

    const auto vouched = [&](const QString& name, const QByteArray& sha) {
        const Mod* mod = byFile.value(name);
        return (mod && mod->download.sha == sha) || record.vouches(name, sha);
    };
    const auto refuseUnapproved = [](const QString& name) {
        throw Error(QStringLiteral("Neschválený nebo změněný mod: ") + name +
                    QStringLiteral(". Odstraňte jej ze složky mods."));
    };

    // 5. Scan: nothing changes until every entry is vouched for, except that
    // the temporary files of copies a killed run left behind are removed:
    // they are the launcher's own, and the game does not load them.
    QStringList entries = QDir(modsDir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    entries.removeIf([&](const QString& name) {
        const QString path = modsDir + QLatin1Char('/') + name;
        if (!AtomicFile::isTemporaryName(name) || isReparsePoint(path) || !QFileInfo(path).isFile())
            return false;
        qCDebug(lcMods) << "removing stale temporary" << name << "of" << event.id;
        if (!QFile::remove(path))
            throw Error(QStringLiteral("Nelze vypnout mod: ") + name);
        return true;
    });
    for (const QString& name : entries) {
        checkpoint(SyncStep::Scan, name);
        if (!vouched(name, hashEntry(modsDir, name, cancel)))
            refuseUnapproved(name);
    }

    // 6. Download what the cache lacks; one record per distinct content.
    QList<Download> downloads;
    QSet<QByteArray> queued;
    for (const Mod& mod : event.mods) {
        if (!wanted.contains(mod.id) || queued.contains(mod.download.sha))
            continue;
        queued.insert(mod.download.sha);
        Download download = mod.download;
        download.path = cachePath(mod.download.sha);
        downloads.append(download);
    }
    if (!downloads.isEmpty())
        http.downloadMany(downloads);

    // 7. Remove everything that is not a wanted mod with the catalog's content.
    QSet<QString> kept;
    for (const QString& name : entries) {
        checkpoint(SyncStep::Remove, name);
        // Hashed again: the file may have changed since the scan, and a file
        // that is no longer vouched for must not be deleted.
        const QByteArray sha = hashEntry(modsDir, name, cancel);
        if (!vouched(name, sha))
            refuseUnapproved(name);
        const Mod* mod = byFile.value(name);
        if (mod && wanted.contains(mod->id) && mod->download.sha == sha) {
            kept.insert(name);
            continue;
        }
        if (!QFile::remove(modsDir + QLatin1Char('/') + name))
            throw Error(QStringLiteral("Nelze vypnout mod: ") + name);
        qCDebug(lcMods) << "removed" << name << "from" << event.id;
        record.remove(name);
    }

    // 8. Install the wanted mods from the cache.
    for (const Mod& mod : event.mods) {
        if (!wanted.contains(mod.id))
            continue;
        checkpoint(SyncStep::Install, mod.file);
        const QString target = resolveInside(modsDir, mod.file);
        if (!kept.contains(mod.file)) {
            // Whatever appeared here since the scan was never vouched for.
            if (QFileInfo::exists(target))
                refuseUnapproved(mod.file);
            copyFile(cachePath(mod.download.sha), target);
            qCDebug(lcMods) << "installed" << mod.file << "into" << event.id;
        }
        record.set(mod.file, mod.download.sha);
    }
}

} // namespace detail

} // namespace tarvik
