#include "updater/Updater.h"

#include "fs/SafeFiles.h"
#include "fs/ZipExtract.h"
#include "platform/ErrorBox.h"
#include "updater/HandOffFiles.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QUuid>

namespace tarvik::updater {

Q_LOGGING_CATEGORY(lcUpdater, "tarvik.updater", QtWarningMsg)

namespace {

const QString kMarkerFile = QStringLiteral(".tarvik-install");
const QString kProduct = QStringLiteral("TarvikClient");
const QString kOldInstallationAt =
    QStringLiteral("Původní instalaci se nepodařilo vrátit na místo. Najdete ji ve složce: ");
// How long a run waits for another updater's lock (a launcher's look at the
// lock holds it for an instant).
constexpr int kLockWaitMs = 5000;
constexpr int kRenameRetryStepMs = 200;

QJsonObject readMarker(const QString& folder)
{
    return parseJsonObject(readFile(folder + QLatin1Char('/') + kMarkerFile, kMaxDocumentSize));
}

bool isFileIn(const QString& folder, const QString& name)
{
    return QFileInfo(folder + QLatin1Char('/') + name).isFile();
}

// The installation to replace: not a volume root, not a link or junction, a
// marker of this product and the launcher in it.
void checkTarget(const QString& target, const PlatformDescriptor& platform)
{
    const Error invalid(QStringLiteral("Neplatná cílová instalace."));
    if (QDir(target).isRoot() || isReparsePoint(target))
        throw invalid;
    if (readMarker(target).value(QLatin1String("product")).toString() != kProduct)
        throw invalid;
    if (!isFileIn(target, platform.clientExecutable))
        throw invalid;
}

// An unsigned 32-bit decimal other than 0: digits only, no sign or blanks.
quint32 parsePid(const QString& text)
{
    bool ok = !text.isEmpty() && text.size() <= 10;
    for (const QChar c : text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const qulonglong value = ok ? text.toULongLong(&ok) : 0;
    if (!ok || value == 0 || value > 0xFFFFFFFFull)
        throw Error(QStringLiteral("Neplatný identifikátor klienta."));
    return static_cast<quint32>(value);
}

// A failing rename is tried again until the environment's retry time has
// passed.
bool renameRetrying(const Environment& environment, const QString& from, const QString& to)
{
    const QDeadlineTimer deadline(environment.renameRetryMs);
    while (!environment.rename(from, to)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(kRenameRetryStepMs);
    }
    return true;
}

// The folders in `folder` named prefix + UUID + suffix, by their UUID.
QMap<QString, QString> foldersByUuid(const QString& folder, const QString& prefix,
                                     const QString& suffix)
{
    static const QString uuid =
        QStringLiteral("([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})");
    const QRegularExpression name(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(prefix) + uuid + QRegularExpression::escape(suffix)));
    QMap<QString, QString> found;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        const QRegularExpressionMatch match = name.match(entry.fileName());
        if (match.hasMatch())
            found.insert(match.captured(1), entry.absoluteFilePath());
    }
    return found;
}

// A run killed between its two renames (or in its rollback) leaves no
// installation, but its backup beside it, next to its staging folder of the
// same UUID. That backup goes back first; when none can be told apart, the
// only backup there is.
void restoreInterruptedUpdate(const QString& target, const Environment& environment)
{
    const QFileInfo info(target);
    if (info.exists() || info.isSymLink())
        return;
    const QString folder = info.absolutePath();
    const QString stem = folder + QLatin1Char('/') + info.fileName();
    const QMap<QString, QString> backups =
        foldersByUuid(folder, info.fileName() + QStringLiteral(".backup-"), {});
    QString backup = backups.size() == 1 ? backups.first() : QString();
    for (auto it = backups.cbegin(); it != backups.cend(); ++it) {
        const QString staging = stem + QStringLiteral(".staging-") + it.key();
        if (QFileInfo::exists(staging) || QFileInfo::exists(staging + QStringLiteral(".failed")))
            backup = it.value();
    }
    if (backup.isEmpty() || isReparsePoint(backup))
        return;
    if (!renameRetrying(environment, backup, target))
        throw Error(kOldInstallationAt + QDir::toNativeSeparators(backup));
    qCDebug(lcUpdater) << "restored" << target << "from" << backup;
}

// Deletes a folder left by an earlier update; links and junctions inside are
// removed themselves, never followed.
bool removeTree(const QString& path)
{
    if (isReparsePoint(path) || !QFileInfo(path).isDir())
        return QFile::remove(path) || QDir().rmdir(path);
    bool removed = true;
    const QFileInfoList entries = QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries)
        removed = removeTree(entry.absoluteFilePath()) && removed;
    return QDir().rmdir(path) && removed;
}

// What earlier updates left: other backups and staging folders (finished,
// failed or abandoned) beside the installation, and other launch folders of
// the updater beside the package. Only this run's backup and launch folder
// stay.
QStringList leftovers(const QString& target, const QString& keptBackup,
                      const QString& updatesFolder, const QString& launchFolder)
{
    const QFileInfo info(target);
    const QString name = info.fileName();
    QStringList found =
        foldersByUuid(info.absolutePath(), name + QStringLiteral(".backup-"), {}).values() +
        foldersByUuid(info.absolutePath(), name + QStringLiteral(".staging-"), {}).values() +
        foldersByUuid(info.absolutePath(), name + QStringLiteral(".staging-"),
                      QStringLiteral(".failed"))
            .values();
    found.removeAll(keptBackup);
    const QString ownFolder = QFileInfo(launchFolder).canonicalFilePath();
    const QStringList helpers =
        foldersByUuid(updatesFolder, QStringLiteral("helper-"), {}).values();
    for (const QString& helper : helpers) {
        if (QFileInfo(helper).canonicalFilePath() != ownFolder)
            found << helper;
    }
    return found;
}

// Tells the old launcher, started again after a failure, why the update
// failed and which release it was; false when that cannot be written (then
// the launcher is not started, or it would hand off again at once).
bool reportToLauncher(const QString& updatesFolder, const QString& sha256, const QString& message)
{
    try {
        const QJsonObject report{{QStringLiteral("sha256"), sha256},
                                 {QStringLiteral("message"), message}};
        writeFileAtomically(updatesFolder + QLatin1Char('/') + QLatin1String(kUpdateFailureFile),
                            QJsonDocument(report).toJson(QJsonDocument::Indented));
        return true;
    } catch (const std::exception& e) {
        qCWarning(lcUpdater) << "the failure cannot be reported to the launcher:" << e.what();
        return false;
    }
}

// False only while another updater runs. Where no lock can be made at all,
// the update goes on without one.
bool takeUpdaterLock(QLockFile& lock)
{
    if (lock.tryLock(kLockWaitMs) || lock.error() != QLockFile::LockFailedError)
        return true;
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock.getLockInfo(&pid, &host, &application))
        return false;
    lock.removeStaleLockFile();
    return lock.tryLock(0) || lock.error() != QLockFile::LockFailedError;
}

void waitForLauncher(quint32 pid, int timeoutMs)
{
    switch (platform::waitForProcessExit(pid, timeoutMs)) {
    case platform::ProcessWaitResult::Ended:
    case platform::ProcessWaitResult::NoSuchProcess:
        return;
    case platform::ProcessWaitResult::TimedOut:
        throw Error(QStringLiteral("Klient se neukončil včas."));
    case platform::ProcessWaitResult::OpenFailed:
        break;
    }
    throw Error(QStringLiteral("Nelze ověřit ukončení klienta."));
}

} // namespace

QString errorTitle()
{
    return QStringLiteral("Tarvik Client · Aktualizace");
}

Environment::Environment()
    : rename([](const QString& from, const QString& to) { return QDir().rename(from, to); }),
      start([](const QString& program, const QString& folder) {
          return QProcess::startDetached(program, {}, folder);
      }),
      showError([](const QString& message) {
          platform::showErrorBox(errorTitle().toStdString(), message.toStdString());
      }),
      launchFolder(QCoreApplication::applicationDirPath())
{
}

namespace {

// The parser with the four options, each taking a value.
struct ArgumentParser
{
    QCommandLineParser parser;
    QCommandLineOption pid = option(QStringLiteral("pid"));
    QCommandLineOption package = option(QStringLiteral("package"));
    QCommandLineOption sha256 = option(QStringLiteral("sha256"));
    QCommandLineOption target = option(QStringLiteral("target"));

    ArgumentParser() { parser.addOptions({pid, package, sha256, target}); }
    static QCommandLineOption option(const QString& name)
    {
        return QCommandLineOption(name, name, QStringLiteral("value"), QString());
    }
    Options options() const
    {
        return {parser.value(pid), parser.value(package), parser.value(sha256),
                parser.value(target)};
    }
};

} // namespace

Options parseArguments(const QStringList& arguments)
{
    ArgumentParser parser;
    // Reports an unknown option or a missing value and exits with 1.
    parser.parser.process(arguments);
    return parser.options();
}

std::optional<Options> tryParseArguments(const QStringList& arguments, QString* error)
{
    ArgumentParser parser;
    if (!parser.parser.parse(arguments)) {
        if (error)
            *error = parser.parser.errorText();
        return std::nullopt;
    }
    return parser.options();
}

bool isCompleteInstallation(const QString& folder, const PlatformDescriptor& platform)
{
    const QJsonObject marker = readMarker(folder);
    return marker.value(QLatin1String("product")).toString() == kProduct &&
           marker.value(QLatin1String("layout")).toInteger(0) == 1 &&
           isFileIn(folder, platform.clientExecutable) &&
           isFileIn(folder, platform.updaterExecutable);
}

int runUpdate(const Options& options, const Environment& environment)
{
    QString target;
    QString staging;
    QString backup;
    bool movedAway = false;
    bool activated = false;
    // The target is a valid installation (so the old launcher may be started
    // again), and whether the wait for the running launcher was made.
    bool targetChecked = false;
    bool waited = false;
    bool launcherEnded = false;
    const auto client = [&]() -> QString {
        return target + QLatin1Char('/') + environment.platform.clientExecutable;
    };
    // One updater at a time: a launcher started while this runs sees the lock
    // and ends instead of handing off again.
    const QString updatesFolder = QFileInfo(options.package).absolutePath();
    QLockFile lock(updatesFolder + QLatin1Char('/') + QLatin1String(kUpdaterLockFile));
    lock.setStaleLockTime(0);
    try {
        if (!takeUpdaterLock(lock))
            throw Error(QStringLiteral("Aktualizace klienta už probíhá."));

        // An empty value stands for the current folder; cleaning also drops a
        // trailing separator, so a link is seen as a link.
        target = QDir::cleanPath(QDir::current().absoluteFilePath(options.target));
        restoreInterruptedUpdate(target, environment);
        checkTarget(target, environment.platform);
        targetChecked = true;

        // The archive is verified before waiting: a bad one never costs the
        // user the running launcher.
        const QByteArray digest = hashFile(options.package, QCryptographicHash::Sha256, {});
        if (digest != options.sha256.toLatin1())
            throw Error(QStringLiteral("Aktualizační balíček neprošel kontrolou."));

        const quint32 pid = parsePid(options.pid);
        waited = true;
        waitForLauncher(pid, environment.waitTimeoutMs);
        launcherEnded = true;

        const QString unique = QUuid::createUuid().toString(QUuid::WithoutBraces);
        staging = target + QStringLiteral(".staging-") + unique;
        backup = target + QStringLiteral(".backup-") + unique;
        extractZip(options.package, staging, {}, false);
        if (!isCompleteInstallation(staging, environment.platform))
            throw Error(QStringLiteral("Aktualizace neobsahuje úplnou instalaci."));

        if (!renameRetrying(environment, target, backup))
            throw Error(QStringLiteral(
                "Instalaci nelze přesunout. Zavřete programy používající její složku."));
        movedAway = true;
        if (!renameRetrying(environment, staging, target))
            throw Error(QStringLiteral("Novou instalaci nelze aktivovat."));
        activated = true;

        // Listed before the new launcher runs, so nothing that it or a later
        // updater makes is taken for a leftover.
        const QStringList earlier =
            leftovers(target, backup, updatesFolder, environment.launchFolder);
        lock.unlock();
        if (!environment.start(client(), target))
            throw Error(QStringLiteral("Nového klienta nelze spustit."));
        for (const QString& folder : earlier) {
            if (!removeTree(folder))
                qCWarning(lcUpdater) << "cannot remove" << folder;
        }
        qCDebug(lcUpdater) << "installed" << target << "old one in" << backup;
        return 0;
    } catch (const std::exception& e) {
        QString message = errorMessage(e);
        bool oldInPlace = !movedAway;
        if (movedAway) {
            const bool freed = !activated || renameRetrying(environment, target,
                                                            staging + QStringLiteral(".failed"));
            oldInPlace =
                freed && !QFileInfo::exists(target) && renameRetrying(environment, backup, target);
        }
        if (!oldInPlace) {
            // Never silent: the player learns where the old installation is.
            message +=
                QStringLiteral("\n\n") + kOldInstallationAt + QDir::toNativeSeparators(backup);
        } else if (targetChecked) {
            // The old launcher comes back and shows the failure once, without
            // handing off to this release again; it has to have ended first.
            if (!waited) {
                try {
                    waitForLauncher(parsePid(options.pid), environment.waitTimeoutMs);
                    launcherEnded = true;
                } catch (const std::exception&) {
                    // Not known to have ended: it is not started a second time.
                }
            }
            if (launcherEnded && reportToLauncher(updatesFolder, options.sha256, message)) {
                lock.unlock();
                if (environment.start(client(), target))
                    return 1;
            }
        }
        environment.showError(message);
        return 1;
    }
}

int updaterMain(const QStringList& arguments, const Environment& environment)
{
    return runUpdate(parseArguments(arguments), environment);
}

} // namespace tarvik::updater
