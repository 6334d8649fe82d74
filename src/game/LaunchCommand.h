// Turns an installed event into a ready command for the game process: the
// placeholders of the version's argument templates, the user's permitted JVM
// flags and the heap size, the JVM argument file in the event's game folder,
// the game arguments and the server to join. Runs on the play job's worker
// thread; the LaunchPlan is a plain value that the GUI thread starts
// unchanged.
#pragma once

#include "auth/Account.h"
#include "catalog/Catalog.h"
#include "catalog/Settings.h"
#include "fs/Error.h"
#include "game/GameInstall.h"
#include "net/Http.h"
#include "platform/Platform.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace tarvik {

// The game process as it is to be started (a plain value).
struct LaunchPlan
{
    // The Java launcher.
    QString program;
    // The event's game folder; several arguments are relative to it.
    QString workingDirectory;
    // "@.tarvik-jvm.args", the main class, the game arguments, then the
    // server arguments (if any).
    QStringList arguments;
    // The launcher's environment without the variables that inject JVM
    // options or a classpath.
    QProcessEnvironment environment;
};

// Placeholder key (without "${" and "}") to value.
using PlaceholderTable = QMap<QString, QString>;

// Name of the JVM argument file in the event's game folder.
QString jvmArgumentFileName();

// installGame, then the launch assembly below. Throws Error.
LaunchPlan prepareLaunch(Http& http, const Event& event, const Settings& settings,
                         const Account& account, const CancelFlag& cancel,
                         const ProgressCallback& progress,
                         const PlatformDescriptor& platform = PlatformDescriptor::current());

// Replaces every "${key}" of the table in each argument by its value. Only the
// template text is scanned: a value that itself contains "${" is inserted as
// it is. Throws "Nepodporovaný parametr nové verze Minecraftu: " + the
// argument when a placeholder of the template is not in the table.
void substitutePlaceholders(const PlaceholderTable& table, QStringList& arguments);

// The jars relative to the game folder ("/" separators), joined with the
// platform's classpath separator.
QString classpathString(const QStringList& jars, const QString& instanceDir,
                        const PlatformDescriptor& platform = PlatformDescriptor::current());

// The placeholder values for one launch.
PlaceholderTable
placeholderTable(const GameInstallation& installation, const Event& event, const Settings& settings,
                 const Account& account,
                 const PlatformDescriptor& platform = PlatformDescriptor::current());

// The user's JVM flags split with the usual command-line rules and checked:
// only "-XX:" and "-Xss" flags, none that runs a command or loads an agent or
// further options. Throws Error.
QStringList userJvmFlags(const QString& jvmFlags);

// The argument file's bytes: one quoted argument per line in the local 8-bit
// code page. Throws "JVM parametr obsahuje nepodporované znaky." for a line
// break or a character the code page cannot carry.
QByteArray jvmArgumentFile(const QStringList& jvmArguments);

// The arguments that make the game join `server` (empty: none): the
// quick-play form when the version knows it, else "--server" host "--port"
// port. Throws "Neplatná adresa Minecraft serveru.".
QStringList serverArguments(const QJsonObject& versionJson, const QString& server);

// The launcher's system environment without "JAVA_TOOL_OPTIONS",
// "JDK_JAVA_OPTIONS", "_JAVA_OPTIONS" and "CLASSPATH".
QProcessEnvironment javaEnvironment();

// Everything of prepareLaunch after the installation: substitutes, checks,
// writes the argument file and finally checks the session. Throws Error.
LaunchPlan assembleLaunch(const GameInstallation& installation, const Event& event,
                          const Settings& settings, const Account& account,
                          const PlatformDescriptor& platform = PlatformDescriptor::current());

} // namespace tarvik
