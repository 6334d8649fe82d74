// tarvik-tour: drives the real launcher window and Controller through the
// whole road against tarvik-world by clicking its widgets: start-up, sign-in
// with a device code that the world approves, the Fabric event, an optional
// mod switched on, play until the stand-in game has ended, sign-out. After
// each step it saves a screenshot and appends to a transcript (the status
// texts and the Controller's signals) in the output folder. Any step that
// does not reach its expected state ends the tour with exit code 1.
//
//     tarvik-tour --out DIR [--world-url URL --ca FILE --key FILE]
//
// Without --world-url the launcher's compiled-in endpoints and operator keys
// are used (the "world" build); with it every endpoint points at URL, the CA
// FILE is trusted and the catalog and manifest must be signed by the key of
// the public key FILE (the world's "operator.pub").
#include "app/Controller.h"
#include "fs/SafeFiles.h"
#include "mods/InstanceMods.h"
#include "net/Endpoints.h"
#include "net/SignedDocument.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextStream>

#include <cstdio>
#include <functional>

using namespace tarvik;

namespace {

class Tour
{
public:
    Tour(const QString& out, Controller& controller, MainWindow& window)
        : m_out(out), m_transcript(out + QStringLiteral("/transcript.txt")), m_window(window)
    {
        m_transcript.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
        QObject::connect(&controller, &Controller::changed, &window,
                         [this] { log(QStringLiteral("changed()")); });
        QObject::connect(&controller, &Controller::progress, &window,
                         [this](const QString& text, int value) {
                             m_status = text;
                             log(QStringLiteral("progress(\"%1\", %2)").arg(text).arg(value));
                         });
        QObject::connect(&controller, &Controller::error, &window, [this](const QString& message) {
            log(QStringLiteral("error(\"%1\")").arg(message));
        });
        QObject::connect(&controller, &Controller::deviceCode, &window,
                         [this](const QString& code, const QUrl& url, int expires) {
                             log(QStringLiteral("deviceCode(\"%1\", %2, %3)")
                                     .arg(code, url.toString())
                                     .arg(expires));
                         });
    }

    // Runs one step: `action`, then waits until `reached` holds.
    bool step(const QString& name, const std::function<bool()>& action,
              const std::function<bool()>& reached, int timeoutMs, const QString& expectation)
    {
        ++m_number;
        log(QStringLiteral("== step %1: %2").arg(m_number).arg(name));
        const bool acted = action();
        const bool ok = acted && QTest::qWaitFor(reached, timeoutMs);
        QTest::qWait(100);
        const QString picture = QStringLiteral("%1/%2-%3.png")
                                    .arg(m_out)
                                    .arg(m_number, 2, 10, QLatin1Char('0'))
                                    .arg(name);
        m_window.grab().save(picture);
        if (!ok) {
            log(QStringLiteral(
                    "TOUR FAILED at step %1 (%2): expected %3; status \"%4\"; message \"%5\"")
                    .arg(m_number)
                    .arg(name, expectation, m_status, messageText()));
            return false;
        }
        log(QStringLiteral("ok: %1").arg(expectation));
        return true;
    }

    void log(const QString& line)
    {
        QTextStream(&m_transcript) << line << '\n';
        m_transcript.flush();
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    }

    template <typename T> T* withText(const QString& text) const
    {
        for (T* widget : m_window.findChildren<T*>()) {
            if (widget->text() == text)
                return widget;
        }
        return nullptr;
    }

    QString messageText() const
    {
        QLabel* message = m_window.findChild<QLabel*>(QStringLiteral("message"));
        return message && message->isVisible() ? message->text() : QString();
    }

    bool click(QPushButton* button)
    {
        if (!button || !button->isVisible() || !button->isEnabled())
            return false;
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }

private:
    QString m_out;
    QFile m_transcript;
    MainWindow& m_window;
    // The last status text the Controller reported.
    QString m_status;
    int m_number = 0;
};

bool runTour(const QString& out)
{
    Controller controller;
    MainWindow window(&controller);
    window.show();
    Tour tour(out, controller, window);
    const auto idle = [&] { return !controller.isBusy(); };
    auto* pages = window.findChild<QStackedWidget*>();
    auto* tabs = window.findChild<QTabWidget*>();
    auto* list = window.findChild<QListWidget*>();
    const auto signedIn = [&] { return !controller.account().accessToken.isEmpty(); };

    if (!tour.step(
            QStringLiteral("start"),
            [&] {
                controller.initialize();
                return true;
            },
            [&] { return idle() && !controller.catalog().events.isEmpty() && !signedIn(); }, 60000,
            QStringLiteral("the catalog loaded and the sign-in page shown")))
        return false;

    bool codeShown = false;
    QObject::connect(&controller, &Controller::deviceCode, &window, [&] { codeShown = true; });
    if (!tour.step(
            QStringLiteral("device-code"),
            [&] {
                return tour.click(
                    tour.withText<QPushButton>(QStringLiteral("Přihlásit se přes Microsoft")));
            },
            [&] { return codeShown; }, 60000, QStringLiteral("a device code shown")))
        return false;
    if (!tour.step(
            QStringLiteral("signed-in"), [] { return true; },
            [&] { return idle() && signedIn() && pages->currentIndex() == 1; }, 120000,
            QStringLiteral("the world approved the code and the main page shows the player")))
        return false;

    int fabricRow = -1;
    for (qsizetype i = 0; i < controller.catalog().events.size(); ++i) {
        if (!controller.catalog().events.at(i).fabricLoader.isEmpty() &&
            !controller.catalog().events.at(i).mods.isEmpty()) {
            fabricRow = int(i);
            break;
        }
    }
    const QString fabricId =
        fabricRow >= 0 ? controller.catalog().events.at(fabricRow).id : QString();
    if (!tour.step(
            QStringLiteral("fabric-event"),
            [&] {
                if (fabricRow < 0 || !list->item(fabricRow))
                    return false;
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                                  list->visualItemRect(list->item(fabricRow)).center());
                return true;
            },
            [&] {
                return controller.selectedEvent() && controller.selectedEvent()->id == fabricId;
            },
            10000, QStringLiteral("the Fabric event selected")))
        return false;

    QString modId;
    if (!tour.step(
            QStringLiteral("optional-mod"),
            [&] {
                tabs->setCurrentIndex(1);
                const Event event = *controller.selectedEvent();
                const QSet<QString> on = controller.settings().enabledMods.value(event.id);
                for (const Mod& mod : event.mods) {
                    if (!mod.required && !on.contains(mod.id)) {
                        modId = mod.id;
                        break;
                    }
                }
                QTest::qWait(50);
                for (QFrame* card : window.findChildren<QFrame*>(QStringLiteral("card"))) {
                    QLabel* heading = card->findChild<QLabel*>(QStringLiteral("heading"));
                    QPushButton* button = card->findChild<QPushButton*>();
                    for (const Mod& mod : event.mods) {
                        if (mod.id == modId && heading && button &&
                            heading->text().startsWith(mod.name + QStringLiteral("  ·  ")))
                            return tour.click(button);
                    }
                }
                return false;
            },
            [&] {
                return idle() && controller.settings().enabledMods.value(fabricId).contains(modId);
            },
            120000, QStringLiteral("an optional mod switched on and installed")))
        return false;

    bool started = false;
    bool ended = false;
    QObject::connect(
        &controller, &Controller::progress, &window, [&](const QString& text, int value) {
            started = started || (text == QStringLiteral("Minecraft běží") && value == 100);
            ended = ended || text == QStringLiteral("Hra byla ukončena");
        });
    if (!tour.step(
            QStringLiteral("game-running"),
            [&] {
                tabs->setCurrentIndex(0);
                return tour.click(tour.withText<QPushButton>(QStringLiteral("Hrát  →")));
            },
            [&] { return started || ended; }, 600000,
            QStringLiteral("the game installed and started")))
        return false;
    if (!tour.step(
            QStringLiteral("game-ended"), [] { return true; },
            [&] {
                return ended && !controller.isGameRunning() && tour.messageText().isEmpty() &&
                       QFile::exists(instanceDir(fabricId) + QStringLiteral("/logs/latest.log"));
            },
            300000, QStringLiteral("the game ended without an error and wrote logs/latest.log")))
        return false;

    return tour.step(
        QStringLiteral("signed-out"),
        [&] { return tour.click(tour.withText<QPushButton>(QStringLiteral("Odhlásit"))); },
        [&] { return !signedIn() && pages->currentIndex() == 0; }, 10000,
        QStringLiteral("the sign-in page again"));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvik"));
    QCoreApplication::setApplicationName(QStringLiteral("TarvikClient"));

    QCommandLineParser parser;
    const QCommandLineOption out(QStringLiteral("out"),
                                 QStringLiteral("Folder for the screenshots and the transcript."),
                                 QStringLiteral("dir"));
    const QCommandLineOption worldUrl(
        QStringLiteral("world-url"), QStringLiteral("Base URL of tarvik-world for every endpoint."),
        QStringLiteral("url"));
    const QCommandLineOption ca(QStringLiteral("ca"),
                                QStringLiteral("Certificate authority to trust (the world's)."),
                                QStringLiteral("file"));
    const QCommandLineOption key(QStringLiteral("key"),
                                 QStringLiteral("Operator public key (PEM) that signs the world."),
                                 QStringLiteral("file"));
    parser.addOptions({out, worldUrl, ca, key});
    parser.addHelpOption();
    parser.process(app);
    if (!parser.isSet(out)) {
        std::fprintf(stderr, "tarvik-tour: --out is required\n");
        return 2;
    }
    const QString folder = QDir(parser.value(out)).absolutePath();
    QDir().mkpath(folder);

    if (parser.isSet(worldUrl)) {
        const QUrl base(parser.value(worldUrl));
        Endpoints endpoints = Endpoints::compiledIn();
        // The world's sign-in page is on localhost.
        endpoints.microsoftDomain = QStringLiteral("localhost");
        for (QUrl* url :
             {&endpoints.operatorBase, &endpoints.microsoftLogin, &endpoints.xboxUserAuth,
              &endpoints.xsts, &endpoints.minecraftServices, &endpoints.versionManifest,
              &endpoints.assetObjects, &endpoints.fabricMeta, &endpoints.adoptiumApi})
            *url = base;
        detail::overrideEndpoints(endpoints);
    }
    if (parser.isSet(ca)) {
        const QList<QSslCertificate> certificates = QSslCertificate::fromPath(parser.value(ca));
        if (certificates.isEmpty()) {
            std::fprintf(stderr, "tarvik-tour: no certificate in %s\n",
                         qPrintable(parser.value(ca)));
            return 2;
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(certificates);
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    if (parser.isSet(key)) {
        QFile file(parser.value(key));
        const QByteArray der =
            file.open(QIODevice::ReadOnly) ? operatorKeyFromPem(file.readAll()) : QByteArray();
        if (der.isEmpty()) {
            std::fprintf(stderr, "tarvik-tour: no public key in %s\n",
                         qPrintable(parser.value(key)));
            return 2;
        }
        detail::overrideOperatorKeys(QList<QByteArray>{der});
    }
    ensureDir(dataDir());
    const bool ok = runTour(folder);
    std::printf(ok ? "tour completed: %s\n" : "tour FAILED: %s\n", qPrintable(folder));
    return ok ? 0 : 1;
}
