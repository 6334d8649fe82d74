// TarvikUpdater: replaces the launcher's installation with a downloaded
// release (see Updater.h).
#include "platform/CommandLine.h"
#include "updater/Updater.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    // The wide command line on Windows, so that paths outside the ANSI code
    // page survive; UTF-8 throughout.
    const std::vector<std::string> raw = tarvik::platform::commandLineArguments(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TarvikUpdater"));
    QStringList arguments;
    for (const std::string& argument : raw)
        arguments << QString::fromStdString(argument);
    return tarvik::updater::updaterMain(arguments);
}
