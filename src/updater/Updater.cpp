#include "updater/Updater.h"

#include "fs/SafeFiles.h"
#include "fs/ZipExtract.h"
#include "platform/ErrorBox.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QUuid>

namespace tarvik::updater {

Q_LOGGING_CATEGORY(lcUpdater, "tarvik.updater", QtWarningMsg)

namespace {

const QString kMarkerFile = QStringLiteral(".tarvik-install");
const QString kProduct = QStringLiteral("TarvikClient");

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
      })
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
    const auto client = [&]() -> QString {
        return target + QLatin1Char('/') + environment.platform.clientExecutable;
    };
    try {
        // An empty value stands for the current folder; cleaning also drops a
        // trailing separator, so a link is seen as a link.
        target = QDir::cleanPath(QDir::current().absoluteFilePath(options.target));
        checkTarget(target, environment.platform);

        // The archive is verified before waiting: a bad one never costs the
        // user the running launcher.
        const QByteArray digest = hashFile(options.package, QCryptographicHash::Sha256, {});
        if (digest != options.sha256.toLatin1())
            throw Error(QStringLiteral("Aktualizační balíček neprošel kontrolou."));

        waitForLauncher(parsePid(options.pid), environment.waitTimeoutMs);

        const QString unique = QUuid::createUuid().toString(QUuid::WithoutBraces);
        staging = target + QStringLiteral(".staging-") + unique;
        backup = target + QStringLiteral(".backup-") + unique;
        extractZip(options.package, staging, {}, false);
        if (!isCompleteInstallation(staging, environment.platform))
            throw Error(QStringLiteral("Aktualizace neobsahuje úplnou instalaci."));

        if (!environment.rename(target, backup))
            throw Error(QStringLiteral(
                "Instalaci nelze přesunout. Zavřete programy používající její složku."));
        movedAway = true;
        if (!environment.rename(staging, target))
            throw Error(QStringLiteral("Novou instalaci nelze aktivovat."));
        activated = true;
        if (!environment.start(client(), target))
            throw Error(QStringLiteral("Nový klient nelze spustit."));
        qCDebug(lcUpdater) << "installed" << target << "old one in" << backup;
        return 0;
    } catch (const std::exception& e) {
        if (movedAway) {
            // Outcomes ignored: the message box reports the original failure.
            if (activated)
                environment.rename(target, staging + QStringLiteral(".failed"));
            if (environment.rename(backup, target))
                environment.start(client(), target);
        }
        environment.showError(errorMessage(e));
        return 1;
    }
}

int updaterMain(const QStringList& arguments, const Environment& environment)
{
    return runUpdate(parseArguments(arguments), environment);
}

} // namespace tarvik::updater
