// tarvik-world: the local stand-in world for trying the launcher without the
// operator's server, a Microsoft account or the game's servers (see World.h).
// Runs until it is interrupted (Ctrl+C) or terminated.
#include "World.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop, so that the world cleans up.
void quitOnSignals(QCoreApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] { app.quit(); });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvik-world"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "A local stand-in for every service that Tarvik Client talks to, over HTTPS on "
        "127.0.0.1 with a certificate authority of its own.");
    parser.addHelpOption();
    const QCommandLineOption state({"s", "state"},
                                   "Folder for the certificates, compiled game and info files.",
                                   "dir", "tarvik-world-state");
    const QCommandLineOption port({"p", "port"}, "Port on 127.0.0.1 (0: any free port).", "port",
                                  "8443");
    const QCommandLineOption catalog("catalog", "Serve this catalog file instead of the sample.",
                                     "file");
    const QCommandLineOption releases(
        "releases", "Serve update.json and /releases/ from this folder instead of the sample.",
        "dir");
    const QCommandLineOption mods(
        "mods", "Serve /mods/ from this folder instead of the sample jars.", "dir");
    const QCommandLineOption autoApprove(
        "auto-approve", "Approve each sign-in code by itself after this many seconds.", "seconds");
    const QCommandLineOption gameSeconds(
        "game-seconds", "How long the stand-in game runs before it ends by itself.", "seconds",
        "20");
    const QCommandLineOption quiet({"q", "quiet"}, "Do not print a line per request.");
    parser.addOptions({state, port, catalog, releases, mods, autoApprove, gameSeconds, quiet});
    parser.process(app);

    tarvik::world::WorldOptions options;
    options.sourceDir = QStringLiteral(TARVIK_WORLD_SOURCE_DIR);
    options.stateDir = QDir(parser.value(state)).absolutePath();
    bool ok = true;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535) {
        std::fprintf(stderr, "tarvik-world: invalid port %s\n", qPrintable(parser.value(port)));
        return 2;
    }
    options.port = static_cast<quint16>(portNumber);
    const auto absolute = [](const QString& path) {
        return path.isEmpty() ? path : QDir(path).absolutePath();
    };
    options.catalogFile = absolute(parser.value(catalog));
    options.releasesDir = absolute(parser.value(releases));
    options.modsDir = absolute(parser.value(mods));
    if (parser.isSet(autoApprove)) {
        options.autoApproveSeconds = parser.value(autoApprove).toInt(&ok);
        if (!ok || options.autoApproveSeconds < 0) {
            std::fprintf(stderr, "tarvik-world: invalid --auto-approve value\n");
            return 2;
        }
    }
    options.gameSeconds = parser.value(gameSeconds).toInt(&ok);
    if (!ok || options.gameSeconds < 0) {
        std::fprintf(stderr, "tarvik-world: invalid --game-seconds value\n");
        return 2;
    }
    options.logRequests = !parser.isSet(quiet);

    tarvik::world::World world(options);
    try {
        world.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-world: %s\n", e.what());
        return 1;
    }
    quitOnSignals(app);
    std::printf("Tarvik World: %s\n", qPrintable(world.baseUrl().toString()));
    std::printf("  port: %u\n", world.port());
    std::printf("  certificate authority: %s\n", qPrintable(world.caFile()));
    std::printf("  operator key: %s (signs the catalog and update.json)\n",
                qPrintable(world.publicKeyFile()));
    std::printf("  sign-in page: %s%s\n", qPrintable(world.verificationUrl().toString()),
                options.autoApproveSeconds >= 0
                    ? qPrintable(QStringLiteral(" (codes approve themselves after %1 s)")
                                     .arg(options.autoApproveSeconds))
                    : "");
    std::printf("  catalog: %s\n", qPrintable(world.catalogVerdict()));
    std::printf("  info: %s/world.json, world.env\n", qPrintable(options.stateDir));
    std::fflush(stdout);
    return app.exec();
}
