// The updater program's flow: started by the launcher from a private copy
// outside the installation, it waits for the launcher to end, verifies and
// unpacks the release archive beside the installation, swaps the folders with
// two renames, starts the new launcher and removes what earlier updates left.
// On failure it puts the old installation back and starts the old launcher
// again, which shows the failure once (see HandOffFiles.h); an error box
// appears only when no launcher could be started. An installation path left
// empty by a killed run is restored from its backup at the next run.
// Single-threaded; everything runs on the thread that calls updaterMain.
#pragma once

#include "platform/Platform.h"
#include "platform/ProcessWait.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace tarvik::updater {

// Title of the error box.
QString errorTitle();

// The four options, each read as text (a missing one is empty).
struct Options
{
    QString pid;
    QString package;
    QString sha256;
    QString target;
};

// What the flow does to the world, replaceable for tests of failures that
// cannot be provoked from outside. The shipped program uses the defaults.
struct Environment
{
    PlatformDescriptor platform = PlatformDescriptor::current();
    // How long to wait for the launcher to end.
    int waitTimeoutMs = platform::kProcessWaitTimeoutMs;
    // Renames a folder; false when it failed.
    std::function<bool(const QString& from, const QString& to)> rename;
    // How long a failing rename is tried again (a virus scanner or an indexer
    // holding a file for a moment is the usual cause on Windows).
    int renameRetryMs = 5000;
    // Starts a program detached, without arguments, in the given folder;
    // false when it could not be started.
    std::function<bool(const QString& program, const QString& folder)> start;
    // Shows the failure to the user and returns when it has been seen.
    std::function<void(const QString& message)> showError;

    // The updater's own launch folder ("updates/helper-<uuid>"), kept when
    // older ones are removed.
    QString launchFolder;

    // The real actions: QDir::rename, QProcess::startDetached and the
    // platform's error box; the launch folder is the program's folder.
    Environment();
};

// Parses the arguments (program name first). An unknown option or an option
// without its value is reported by the parser, which ends the process with
// exit code 1.
Options parseArguments(const QStringList& arguments);

// parseArguments without ending the process: the options, or nothing with
// the parser's message in `error`.
std::optional<Options> tryParseArguments(const QStringList& arguments, QString* error = nullptr);

// The main flow; returns the exit code (0 after a swap and start, 1 after a
// reported failure).
int runUpdate(const Options& options, const Environment& environment);

// parseArguments then runUpdate: what the program's main does.
int updaterMain(const QStringList& arguments, const Environment& environment = Environment());

// Whether a folder holds a complete installation for the platform: a marker
// of this product with layout 1, the launcher and the updater. The marker's
// read and parse failures are thrown as Error.
bool isCompleteInstallation(const QString& folder, const PlatformDescriptor& platform);

} // namespace tarvik::updater
