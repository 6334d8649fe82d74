#include "JavaBuild.h"

#include "devserver/FakeAdoptium.h"
#include "Programs.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <stdexcept>

namespace tarvik::world {

namespace {

QStringList javaSources(const QString& folder)
{
    QStringList sources;
    QDirIterator it(folder, {QStringLiteral("*.java")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        sources.append(it.next());
    std::sort(sources.begin(), sources.end());
    return sources;
}

// A digest of every source's name and content: a change compiles anew.
QString sourcesDigest(const QString& sourceDir)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString& source : javaSources(sourceDir)) {
        QFile file(source);
        if (!file.open(QIODevice::ReadOnly))
            fail("cannot read " + source);
        hash.addData(QDir(sourceDir).relativeFilePath(source).toUtf8());
        hash.addData(QByteArray(1, '\0'));
        hash.addData(file.readAll());
    }
    return QString::fromLatin1(hash.result().toHex().left(16));
}

// javac the sources of one part, then jar the classes.
void compileJar(const QString& sources, const QString& jar, const QString& work,
                const QStringList& classpath)
{
    const QString javac =
        findProgram(QStringLiteral("javac"), QStringLiteral("openjdk-17-jdk-headless"));
    const QString jarTool =
        findProgram(QStringLiteral("jar"), QStringLiteral("openjdk-17-jdk-headless"));
    const QString classes = work + "/classes-" + QFileInfo(jar).baseName();
    QStringList arguments{QStringLiteral("--release"), QStringLiteral("17"),
                          QStringLiteral("-encoding"), QStringLiteral("UTF-8"),
                          QStringLiteral("-d"),        classes};
    if (!classpath.isEmpty())
        arguments << QStringLiteral("-cp") << classpath.join(':');
    runOrThrow(javac, arguments + javaSources(sources));
    runOrThrow(jarTool, {QStringLiteral("--create"), QStringLiteral("--file"), jar,
                         QStringLiteral("-C"), classes, QStringLiteral(".")});
}

} // namespace

StandInJars buildStandInJars(const QString& sourceDir, const QString& stateDir)
{
    const QString folder = stateDir + "/java/" + sourcesDigest(sourceDir);
    const QString library = folder + "/gamelog.jar";
    const QString client = folder + "/client.jar";
    const QString loader = folder + "/loader.jar";
    if (!QFileInfo::exists(library) || !QFileInfo::exists(client) || !QFileInfo::exists(loader)) {
        // Built beside, then moved in, so that a broken build is never reused.
        const QString work = folder + ".work";
        QDir(work).removeRecursively();
        QDir(folder).removeRecursively();
        if (!QDir().mkpath(work))
            fail("cannot create " + work);
        compileJar(sourceDir + "/lib", work + "/gamelog.jar", work, {});
        compileJar(sourceDir + "/game", work + "/client.jar", work, {work + "/gamelog.jar"});
        compileJar(sourceDir + "/loader", work + "/loader.jar", work, {});
        if (!QDir().rename(work, folder))
            fail("cannot move " + work + " into place");
    }
    return StandInJars{readAll(client), readAll(library), readAll(loader)};
}

MachineJava machineJava()
{
    findProgram(QStringLiteral("java"), QStringLiteral("openjdk-17-jdk-headless"));
    MachineJava result;
    result.path = dev::systemJava();
    const ProgramResult probe = runProgram(
        result.path, {QStringLiteral("-XshowSettings:properties"), QStringLiteral("-version")});
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("java.specification.version\\s*=\\s*(\\d+)"))
            .match(QString::fromLocal8Bit(probe.output));
    result.major = match.hasMatch() ? match.captured(1).toInt() : 0;
    if (!probe.ok || result.major < 17) {
        fail("the machine's Java (" + result.path + ") is not Java 17 or newer");
    }
    return result;
}

} // namespace tarvik::world
