// Renders the main window in its main states to PNG files, offscreen, from
// real Controller states reached against the stand-in world:
//     tarvik-screenshots <output folder>
// Used by scripts/screenshots for docs/screenshots.
#include "app/Controller.h"
#include "support/StandInWorld.h"
#include "support/TestData.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <cstdio>

using namespace tarvik;
using namespace tarvik::test;

namespace {

bool failed(const char* what)
{
    std::fprintf(stderr, "screenshots: %s\n", what);
    return false;
}

bool shoot(QWidget& window, const QString& folder, const QString& name)
{
    QTest::qWait(50); // let the layouts settle
    const QString path = folder + u'/' + name + QStringLiteral(".png");
    if (!window.grab().save(path))
        return failed("cannot write a picture");
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool run(const QString& folder)
{
    ScopedDataDir data;
    StandInWorld world;
    if (!world.error().isEmpty())
        return failed(qPrintable(world.error()));
    world.auth().change([](AuthBehaviour& b) {
        b.polls = {QStringLiteral("authorization_pending"), QString()};
    });

    Controller controller;
    MainWindow window(&controller);
    window.show();
    const auto idle = [&] { return QTest::qWaitFor([&] { return !controller.isBusy(); }, 120000); };
    controller.initialize();
    if (!idle() || !shoot(window, folder, QStringLiteral("1-sign-in")))
        return failed("start-up did not finish");

    bool codeShown = false;
    QObject::connect(&controller, &Controller::deviceCode, &window, [&] { codeShown = true; });
    controller.login();
    if (!QTest::qWaitFor([&] { return codeShown; }, 30000) ||
        !shoot(window, folder, QStringLiteral("2-device-code")))
        return failed("no device code");
    if (!idle() || controller.account().accessToken.isEmpty())
        return failed("sign-in did not finish");

    auto* tabs = window.findChild<QTabWidget*>();
    controller.selectEvent(1);
    if (!shoot(window, folder, QStringLiteral("3-events")))
        return false;
    controller.toggleMod(QStringLiteral("modmenu"), true);
    if (!idle() || !controller.settings()
                        .enabledMods.value(QStringLiteral("fabric-cup"))
                        .contains(QStringLiteral("modmenu")))
        return failed("the mod toggle did not succeed");
    tabs->setCurrentIndex(1);
    if (!shoot(window, folder, QStringLiteral("4-mods")))
        return false;
    tabs->setCurrentIndex(2);
    if (!shoot(window, folder, QStringLiteral("5-settings")))
        return false;
    tabs->setCurrentIndex(1);
    controller.toggleMod(QStringLiteral("sodium"), false);
    if (!shoot(window, folder, QStringLiteral("6-error")))
        return false;
    // The smallest window with a message (refused flags): the page scrolls.
    window.resize(window.minimumSize());
    tabs->setCurrentIndex(2);
    Settings wrong = controller.settings();
    wrong.jvmFlags = QStringLiteral("-Xss2M\n");
    controller.saveSettings(wrong);
    return shoot(window, folder, QStringLiteral("7-minimum-size"));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvik"));
    QCoreApplication::setApplicationName(QStringLiteral("TarvikClient"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvik-screenshots <output folder>\n");
        return 2;
    }
    const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(folder);
    return run(folder) ? 0 : 1;
}
