#include "Programs.h"

#include <QFile>

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <stdexcept>

namespace tarvik::world {

void fail(const QString& message)
{
    throw std::runtime_error(message.toStdString());
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot read " + path);
    return file.readAll();
}

QString findProgram(const QString& name, const QString& package)
{
    const QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty()) {
        fail(name + " is not installed (Debian package " + package + ")");
    }
    return path;
}

ProgramResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ProgramResult result;
    if (!process.waitForStarted(timeoutMs))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(3000);
        result.output = process.readAll();
        return result;
    }
    result.output = process.readAll();
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}

QByteArray runOrThrow(const QString& program, const QStringList& arguments)
{
    const ProgramResult result = runProgram(program, arguments);
    if (!result.ok) {
        fail(QFileInfo(program).fileName() + ' ' + arguments.join(' ') + " failed:\n" +
             QString::fromLocal8Bit(result.output));
    }
    return result.output;
}

} // namespace tarvik::world
