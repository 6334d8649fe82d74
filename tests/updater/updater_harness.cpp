// The updater's flow with one injected failure, for the tests of the
// rollbacks and of a launcher that does not end: TARVIK_HARNESS_FAULT names
// the fault ("wait": a 300 ms wait instead of 120 s; "move", "activate": the
// first or second rename fails; "start": the first start fails). Test-only;
// the shipped TarvikUpdater has no such switch.
#include "updater/Updater.h"

#include <QCoreApplication>

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
    const int failingRename = fault == "move" ? 1 : fault == "activate" ? 2 : 0;
    environment.rename = [&](const QString& from, const QString& to) {
        return ++renames != failingRename && rename(from, to);
    };
    environment.start = [&](const QString& program, const QString& folder) {
        return !(++starts == 1 && fault == "start") && start(program, folder);
    };
    return tarvik::updater::updaterMain(QCoreApplication::arguments(), environment);
}
