// The updater's flow with one injected fault, for the tests of the rollbacks,
// of interrupted runs and of a launcher that does not end.
// TARVIK_HARNESS_FAULT names the fault: "wait": a 300 ms wait instead of
// 120 s; "move", "activate": every try of the first or the second rename
// fails; "busy": the first two tries of a rename fail (a file held for a
// moment); "start": the first start fails; "die-after-move",
// "die-after-activate": the process ends at once, as if killed, after that
// rename. Renames are retried for 1 s instead of 5 s. Test-only; the shipped
// TarvikUpdater has no such switch.
#include "updater/Updater.h"

#include <QCoreApplication>

#include <cstdlib>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    tarvik::updater::Environment environment;
    const QByteArray fault = qgetenv("TARVIK_HARNESS_FAULT");
    const auto rename = environment.rename;
    const auto start = environment.start;
    int renames = 0;
    int starts = 0;
    if (fault == "wait")
        environment.waitTimeoutMs = 300;
    environment.renameRetryMs = 1000;
    environment.rename = [&](const QString& from, const QString& to) {
        const bool toBackup = to.contains(QLatin1String(".backup-"));
        const bool fromStaging = from.contains(QLatin1String(".staging-"));
        if ((fault == "move" && toBackup) || (fault == "activate" && fromStaging) ||
            (fault == "busy" && ++renames <= 2))
            return false;
        const bool renamed = rename(from, to);
        if ((fault == "die-after-move" && toBackup) ||
            (fault == "die-after-activate" && fromStaging))
            std::_Exit(9);
        return renamed;
    };
    environment.start = [&](const QString& program, const QString& folder) {
        return !(++starts == 1 && fault == "start") && start(program, folder);
    };
    return tarvik::updater::updaterMain(QCoreApplication::arguments(), environment);
}
