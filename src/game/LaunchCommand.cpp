#include "game/LaunchCommand.h"

#include "fs/SafeFiles.h"
#include "game/GameLog.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QUrl>

namespace tarvik {

namespace {

constexpr int kDefaultServerPort = 25565;

bool userFlagAllowed(const QString& token)
{
    if (!token.startsWith(QLatin1String("-XX:")) && !token.startsWith(QLatin1String("-Xss")))
        return false;
    // Commands run by the JVM, agents, and option files (which could bring
    // any of these in past this check) are not performance flags.
    static const QLatin1String forbidden[] = {
        QLatin1String("OnError"), QLatin1String("OnOutOfMemoryError"), QLatin1String("Agent"),
        QLatin1String("VMOptionsFile")};
    for (const QLatin1String& word : forbidden) {
        if (token.contains(word))
            return false;
    }
    return !token.startsWith(QLatin1String("-XX:Flags="));
}

} // namespace

QString jvmArgumentFileName()
{
    return QStringLiteral(".tarvik-jvm.args");
}

void substitutePlaceholders(const PlaceholderTable& table, QStringList& arguments)
{
    const QLatin1String open("${");
    for (QString& argument : arguments) {
        QString result;
        result.reserve(argument.size());
        bool unresolved = false;
        qsizetype position = 0;
        for (;;) {
            const qsizetype start = argument.indexOf(open, position);
            if (start < 0) {
                result += QStringView(argument).mid(position);
                break;
            }
            const qsizetype end = argument.indexOf(QLatin1Char('}'), start + 2);
            if (end < 0) {
                unresolved = true;
                result += QStringView(argument).mid(position);
                break;
            }
            // "${a${user_type}}": the inner placeholder is still a key of its
            // own; the outer "${" stays as unresolved text.
            const qsizetype inner = argument.indexOf(open, start + 2);
            if (inner >= 0 && inner < end) {
                unresolved = true;
                result += QStringView(argument).mid(position, inner - position);
                position = inner;
                continue;
            }
            result += QStringView(argument).mid(position, start - position);
            const auto value = table.constFind(argument.mid(start + 2, end - start - 2));
            if (value == table.constEnd()) {
                unresolved = true;
                result += QStringView(argument).mid(start, end + 1 - start);
            } else {
                result += value.value();
            }
            position = end + 1;
        }
        if (unresolved)
            throw Error(QStringLiteral("Nepodporovaný parametr nové verze Minecraftu: ") + result);
        argument = result;
    }
}

QString classpathString(const QStringList& jars, const QString& instanceDir,
                        const PlatformDescriptor& platform)
{
    const QDir base(instanceDir);
    QStringList relative;
    relative.reserve(jars.size());
    for (const QString& jar : jars)
        relative.append(QDir::fromNativeSeparators(base.relativeFilePath(jar)));
    return relative.join(platform.classpathSeparator);
}

PlaceholderTable placeholderTable(const GameInstallation& installation, const Event& event,
                                  const Settings& settings, const Account& account,
                                  const PlatformDescriptor& platform)
{
    const QString data = dataDir();
    PlaceholderTable table;
    table.insert(QStringLiteral("auth_player_name"), account.name);
    table.insert(QStringLiteral("version_name"), event.minecraft);
    // Paths are relative to the game's working folder (the instance folder):
    // the Java launcher reads its arguments through the ANSI code page, which
    // may lack letters of the data folder's absolute path (a profile "Jiří" on
    // an English Windows).
    table.insert(QStringLiteral("game_directory"), QStringLiteral("."));
    table.insert(QStringLiteral("assets_root"),
                 QDir::toNativeSeparators(
                     QDir(installation.instanceDir)
                         .relativeFilePath(resolveInside(data, QStringLiteral("assets")))));
    table.insert(QStringLiteral("assets_index_name"), installation.assetIndexId);
    table.insert(QStringLiteral("auth_uuid"), account.uuid);
    table.insert(QStringLiteral("auth_access_token"), QString::fromUtf8(account.accessToken));
    table.insert(QStringLiteral("auth_xuid"), account.xuid);
    table.insert(QStringLiteral("clientid"), account.clientId);
    table.insert(QStringLiteral("user_type"), QStringLiteral("msa"));
    table.insert(QStringLiteral("version_type"), QStringLiteral("release"));
    table.insert(QStringLiteral("user_properties"), QStringLiteral("{}"));
    table.insert(QStringLiteral("natives_directory"), QStringLiteral("natives"));
    table.insert(QStringLiteral("launcher_name"), QStringLiteral("TarvikClient"));
    table.insert(QStringLiteral("launcher_version"), QStringLiteral("1.0.0"));
    table.insert(QStringLiteral("classpath"),
                 classpathString(installation.classpath, installation.instanceDir, platform));
    table.insert(QStringLiteral("classpath_separator"), platform.classpathSeparator);
    table.insert(QStringLiteral("library_directory"),
                 QDir::fromNativeSeparators(
                     QDir(installation.instanceDir)
                         .relativeFilePath(QDir(data).filePath(QStringLiteral("libraries")))));
    table.insert(QStringLiteral("resolution_width"), QString::number(settings.width));
    table.insert(QStringLiteral("resolution_height"), QString::number(settings.height));
    return table;
}

QStringList userJvmFlags(const QString& jvmFlags)
{
    const QStringList tokens = QProcess::splitCommand(jvmFlags);
    for (const QString& token : tokens) {
        if (!userFlagAllowed(token))
            throw Error(QStringLiteral("Vlastní JVM parametry mohou obsahovat pouze přepínače "
                                       "-XX: a -Xss pro výkon. RAM nastavte samostatně."));
    }
    return tokens;
}

QByteArray jvmArgumentFile(const QStringList& jvmArguments)
{
    const Error unsupported(QStringLiteral("JVM parametr obsahuje nepodporované znaky."));
    QByteArray content;
    for (const QString& argument : jvmArguments) {
        if (argument.contains(QLatin1Char('\n')) || argument.contains(QLatin1Char('\r')))
            throw unsupported;
        QString quoted = argument;
        quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
        quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
        QStringEncoder encoder(QStringConverter::System);
        const QByteArray bytes = encoder.encode(quoted);
        QStringDecoder decoder(QStringConverter::System);
        const QString back = decoder.decode(bytes);
        if (encoder.hasError() || decoder.hasError() || back != quoted)
            throw unsupported;
        content += '"';
        content += bytes;
        content += "\"\n";
    }
    return content;
}

QStringList serverArguments(const QJsonObject& versionJson, const QString& server)
{
    if (server.isEmpty())
        return {};
    const QByteArray argumentsText =
        QJsonDocument(versionJson.value(QLatin1String("arguments")).toObject())
            .toJson(QJsonDocument::Indented);
    if (argumentsText.contains("quickPlayMultiplayer"))
        return {QStringLiteral("--quickPlayMultiplayer"), server};

    // An address that does not parse (a port above 65535, for instance)
    // reads as having no host, rather than as the default port.
    const QUrl url(QStringLiteral("minecraft://") + server, QUrl::TolerantMode);
    const QString host = url.isValid() ? url.host(QUrl::FullyDecoded) : QString();
    const int port = url.port(kDefaultServerPort);
    if (host.isEmpty() || port < 1)
        throw Error(QStringLiteral("Neplatná adresa Minecraft serveru."));
    return {QStringLiteral("--server"), host, QStringLiteral("--port"), QString::number(port)};
}

QProcessEnvironment javaEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS", "_JAVA_OPTIONS", "CLASSPATH"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

LaunchPlan assembleLaunch(const GameInstallation& installation, const Event& event,
                          const Settings& settings, const Account& account,
                          const PlatformDescriptor& platform)
{
    const PlaceholderTable table =
        placeholderTable(installation, event, settings, account, platform);
    QStringList jvmArguments = installation.jvmArguments;
    QStringList gameArguments = installation.gameArguments;
    substitutePlaceholders(table, jvmArguments);
    substitutePlaceholders(table, gameArguments);

    jvmArguments.append(userJvmFlags(settings.jvmFlags));
    jvmArguments.append(QStringLiteral("-Xmx") + QString::number(settings.ramMb) +
                        QLatin1Char('M'));

    static const QRegularExpression mainClassPattern(
        QStringLiteral("\\A[a-zA-Z_$][a-zA-Z0-9_$.]*\\z"));
    if (!mainClassPattern.match(installation.mainClass).hasMatch())
        throw Error(QStringLiteral("Neplatná hlavní třída Minecraftu."));

    const QByteArray argumentFile = jvmArgumentFile(jvmArguments);
    writeFileAtomically(resolveInside(installation.instanceDir, jvmArgumentFileName()),
                        argumentFile);

    LaunchPlan plan;
    plan.program = installation.javaPath;
    plan.workingDirectory = installation.instanceDir;
    plan.arguments.append(QLatin1Char('@') + jvmArgumentFileName());
    plan.arguments.append(installation.mainClass);
    plan.arguments.append(gameArguments);
    plan.arguments.append(serverArguments(installation.versionJson, event.server));
    plan.environment = javaEnvironment();

    if (!isSessionUsable(account))
        throw Error(QStringLiteral("Přihlášení během instalace vypršelo. Stiskněte Hrát znovu."));
    qCDebug(lcGame) << "launch plan ready:" << plan.program << "in" << plan.workingDirectory;
    return plan;
}

LaunchPlan prepareLaunch(Http& http, const Event& event, const Settings& settings,
                         const Account& account, const CancelFlag& cancel,
                         const ProgressCallback& progress, const PlatformDescriptor& platform)
{
    return assembleLaunch(installGame(http, event, settings, account, cancel, progress, platform),
                          event, settings, account, platform);
}

} // namespace tarvik
