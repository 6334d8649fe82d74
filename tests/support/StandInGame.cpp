#include "support/StandInGame.h"

#include "support/TestData.h"

#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace tarvik::test {

namespace {

// Runs a JDK tool; on failure returns why, with the tool's output.
QString runTool(const QString& tool, const QStringList& arguments)
{
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        return tool + QStringLiteral(" not found in PATH (openjdk-17-jdk-headless is required)");
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return tool + u' ' + arguments.join(u' ') + QStringLiteral(":\n") +
               QString::fromLocal8Bit(process.readAll());
    }
    return {};
}

QStringList javaSources(const QString& folder)
{
    QStringList sources;
    QDirIterator it(folder, {QStringLiteral("*.java")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        sources.append(it.next());
    return sources;
}

StandInGame build()
{
    StandInGame game;
    QTemporaryDir work;
    const QString sources = QStringLiteral(TARVIK_STANDIN_SOURCES);
    const QString lib = work.filePath(QStringLiteral("lib"));
    const QString classes = work.filePath(QStringLiteral("game"));
    const QString libJar = work.filePath(QStringLiteral("lib.jar"));
    const QString clientJar = work.filePath(QStringLiteral("client.jar"));
    const QString release = QStringLiteral("17");
    game.error =
        runTool(QStringLiteral("javac"),
                QStringList{QStringLiteral("--release"), release, QStringLiteral("-d"), lib} +
                    javaSources(sources + QStringLiteral("/lib")));
    if (game.error.isEmpty())
        game.error = runTool(QStringLiteral("jar"),
                             {QStringLiteral("--create"), QStringLiteral("--file"), libJar,
                              QStringLiteral("-C"), lib, QStringLiteral(".")});
    if (game.error.isEmpty())
        game.error =
            runTool(QStringLiteral("javac"),
                    QStringList{QStringLiteral("--release"), release, QStringLiteral("-cp"), libJar,
                                QStringLiteral("-d"), classes} +
                        javaSources(sources + QStringLiteral("/game")));
    if (game.error.isEmpty())
        game.error = runTool(QStringLiteral("jar"),
                             {QStringLiteral("--create"), QStringLiteral("--file"), clientJar,
                              QStringLiteral("-C"), classes, QStringLiteral(".")});
    if (game.error.isEmpty()) {
        game.clientJar = readBytes(clientJar);
        game.libraryJar = readBytes(libJar);
    }
    return game;
}

} // namespace

const StandInGame& standInGame()
{
    static const StandInGame game = build();
    return game;
}

} // namespace tarvik::test
