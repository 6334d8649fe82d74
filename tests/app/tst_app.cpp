// The Controller against the stand-in world: the signal sequences of its
// jobs, cancellation, start-up and sign-in, a real play with the stand-in
// game as a real process, destruction while work runs, and mod toggling.
#include "app/Controller.h"
#include "auth/CredentialStore.h"
#include "fs/SafeFiles.h"
#include "support/StandInWorld.h"
#include "support/TestData.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>

#include <cerrno>
#include <sys/types.h>

using namespace tarvik;
using namespace tarvik::test;

namespace {

const QString kReady = "progress Připraveno 0";
const QString kCheckingUpdates = "progress Kontroluji aktualizace 0";
const QString kRunning0 = "progress Minecraft běží 0";
const QString kRunning100 = "progress Minecraft běží 100";
const QString kEnded = "progress Hra byla ukončena 0";
const QString kCrashed = "error Minecraft skončil s chybou. Podrobnosti jsou v logs/latest.log ve "
                         "složce vybraného eventu.";
const QString kCannotStart = "error Minecraft nelze spustit. Ověřte nastavení Javy.";
const QString kRefused = "error Tento mod je povinný nebo jej vyžaduje jiný zapnutý mod.";

// Every signal of a Controller as one line each, in order of emission.
// Progress reports of the engine (downloads, Java) are left out, so that
// the sequences show the Controller's own protocol.
class Recorder : public QObject
{
public:
    explicit Recorder(Controller& controller)
    {
        connect(&controller, &Controller::changed, this, [this] { log << "changed"; });
        connect(&controller, &Controller::progress, this, [this](const QString& text, int value) {
            static const QStringList own{"Připraveno",
                                         "Minecraft běží",
                                         "Hra byla ukončena",
                                         "Kontroluji aktualizace",
                                         "Ověřuji uložené přihlášení",
                                         "Čekám na přihlášení u Microsoftu"};
            if (own.contains(text))
                log << QString("progress %1 %2").arg(text).arg(value);
        });
        connect(&controller, &Controller::error, this,
                [this](const QString& message) { log << "error " + message; });
        connect(&controller, &Controller::deviceCode, this,
                [this](const QString& code, const QUrl& url, int expires) {
                    log << QString("deviceCode %1 %2 %3").arg(code, url.toString()).arg(expires);
                });
    }
    QStringList log;
};

bool waitIdle(Controller& controller, int timeoutMs = 120000)
{
    return QTest::qWaitFor([&] { return !controller.isBusy(); }, timeoutMs);
}

qint64 residentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QStringList storedMods(const QString& eventId)
{
    const QJsonObject settings = parseJsonObject(readBytes(dataDir() + "/settings.json"));
    QStringList ids;
    for (const QJsonValue& id : settings["enabledMods"].toObject()[eventId].toArray())
        ids << id.toString();
    return ids;
}

QString seenRecord(const QString& eventId, const QString& kind)
{
    const QStringList lines =
        QString::fromUtf8(readBytes(dataDir() + "/instances/" + eventId + "/seen.txt")).split('\n');
    for (const QString& line : lines) {
        if (line.startsWith(kind + '\t'))
            return line.section('\t', 1);
    }
    return {};
}

// An update manifest for revision 2, whose archive the world serves.
QJsonObject serveRelease2(StandInWorld& world)
{
    const QByteArray archive = "PK-release-archive";
    world.server().on("GET", "/releases/tarvik-2.zip", TestReply::ok(archive));
    return {{"schema", 1},
            {"version", "1.0.0"},
            {"revision", 2},
            {"url", world.server().url("/releases/tarvik-2.zip").toString()},
            {"sha256", QString::fromLatin1(
                           QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex())},
            {"size", archive.size()}};
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void metaObjectIsTheWindowsContract();
    void startUp_data();
    void startUp();
    void signedManifest_data();
    void signedManifest();
    void jobsAreDroppedWhileBusy();
    void cancelEndsDownloadPromptly();
    void signInAndOut();
    void play_data();
    void play();
    void gameOutputIsDropped();
    void closeOnLaunchQuits();
    void destructionWaitsForTheJob();
    void destructionKillsAStubbornGame();
    void toggleMod_data();
    void toggleMod();

private:
    // A Controller that has loaded the catalog and restored the sign-in.
    std::unique_ptr<Controller> signedIn();

    std::unique_ptr<ScopedDataDir> m_data;
    std::unique_ptr<StandInWorld> m_world;
};

void TestApp::init()
{
    m_data = std::make_unique<ScopedDataDir>();
    m_world = std::make_unique<StandInWorld>();
    QVERIFY2(m_world->error().isEmpty(), qPrintable(m_world->error()));
}

void TestApp::cleanup()
{
    qunsetenv("TARVIK_STANDIN_GAME");
    qunsetenv("TARVIK_STANDIN_JAVA");
    m_world.reset();
    m_data.reset();
}

std::unique_ptr<Controller> TestApp::signedIn()
{
    m_world->storeRefreshToken();
    auto controller = std::make_unique<Controller>();
    controller->initialize();
    if (!waitIdle(*controller) || controller->account().accessToken.isEmpty())
        return nullptr;
    return controller;
}

void TestApp::metaObjectIsTheWindowsContract()
{
    // The window connects to member functions; the meta-object carries the
    // four signals and nothing else.
    const QMetaObject& meta = Controller::staticMetaObject;
    QCOMPARE(meta.className(), "tarvik::Controller");
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods << QString::fromLatin1(meta.method(i).methodSignature()) +
                       (meta.method(i).methodType() == QMetaMethod::Signal ? ""
                                                                           : " (not a signal)");
    QCOMPARE(methods, QStringList({"changed()", "progress(QString,int)", "error(QString)",
                                   "deviceCode(QString,QUrl,int)"}));
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
}

void TestApp::startUp_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("catalogLoaded");
    QTest::addColumn<bool>("signedIn");

    QTest::newRow("no stored token")
        << "" << QStringList{"changed", kCheckingUpdates, "changed", kReady} << true << false;
    QTest::newRow("stored token restored")
        << "token"
        << QStringList{"changed", kCheckingUpdates, "progress Ověřuji uložené přihlášení 0",
                       "changed", kReady}
        << true << true;
    QTest::newRow("stored token refused")
        << "refused token"
        << QStringList{"changed",
                       kCheckingUpdates,
                       "progress Ověřuji uložené přihlášení 0",
                       "error Uložené přihlášení vypršelo. Přihlaste se znovu.",
                       "changed",
                       kReady}
        << true << false;
    QTest::newRow("catalog unreachable")
        << "no catalog"
        << QStringList{"changed", kCheckingUpdates, "changed",
                       "error Server odpověděl HTTP 404 (127.0.0.1).", kReady}
        << false << false;
    // The hand-off runs from the test program's folder, which has no install
    // marker: the failure shows that startUpdater was reached.
    QTest::newRow("update ready") << "update"
                                  << QStringList{"changed", kCheckingUpdates,
                                                 "error Nelze načíst soubor: " +
                                                     QCoreApplication::applicationDirPath() +
                                                     "/.tarvik-install",
                                                 "changed", kReady}
                                  << false << false;
    // The updater failed to install that release and started this launcher
    // again: said once, no hand-off, the catalog as usual.
    QTest::newRow("update failed last time")
        << "failed update"
        << QStringList{"changed", kCheckingUpdates,
                       "error Aktualizace klienta se nezdařila: Novou instalaci nelze aktivovat.",
                       "changed", kReady}
        << true << false;
}

void TestApp::startUp()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, expected);
    QFETCH(bool, catalogLoaded);
    QFETCH(bool, signedIn);

    if (setup == "token") {
        m_world->storeRefreshToken();
    } else if (setup == "refused token") {
        CredentialStore::write(m_world->clientId(), "M.R3_BAY.revoked");
    } else if (setup == "no catalog") {
        m_world->server().on("GET", StandInWorld::catalogPath(), TestReply::withStatus(404));
    } else if (setup.endsWith("update")) {
        const QJsonObject manifest = serveRelease2(*m_world);
        if (setup == "failed update")
            QVERIFY(writeBytes(dataDir() + "/updates/update-failed.json",
                               QJsonDocument({{"message", "Novou instalaci nelze aktivovat."},
                                              {"sha256", manifest.value("sha256")}})
                                   .toJson()));
        m_world->serveUpdateManifest(manifest);
    }

    Controller controller;
    Recorder recorder(controller);
    controller.initialize();
    QVERIFY(waitIdle(controller));
    QCOMPARE(recorder.log, expected);
    QCOMPARE(!controller.catalog().events.isEmpty(), catalogLoaded);
    QCOMPARE(controller.account().name, QString(signedIn ? "Tarvik_Tester" : ""));
    if (setup == "update")
        QVERIFY(m_world->server().requests(StandInWorld::catalogPath()).isEmpty());
    if (setup == "failed update") {
        QVERIFY(m_world->server().requests("/releases/tarvik-2.zip").isEmpty());
        QVERIFY(!QFile::exists(dataDir() + "/updates/update-failed.json"));
    }
}

void TestApp::signedManifest_data()
{
    signatureRows();
}

// The start-up job with operator keys: only a signed manifest leads to the
// download and the hand-off; a refused one writes and starts nothing.
void TestApp::signedManifest()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, signature);
    QFETCH(bool, accepted);
    ScopedOperatorKeys operatorKeys(keys);
    const QJsonObject catalog = StandInWorld::sampleCatalog(m_world->server().baseUrl());
    serveSigned(m_world->server(), StandInWorld::catalogPath(), QJsonDocument(catalog).toJson(),
                "operator-a");
    serveSigned(m_world->server(), StandInWorld::updatePath(),
                QJsonDocument(serveRelease2(*m_world)).toJson(), signature);

    Controller controller;
    Recorder recorder(controller);
    controller.initialize();
    QVERIFY(waitIdle(controller));
    // The hand-off is reached (it fails for want of an install marker beside
    // the test program), or the job itself fails.
    const QStringList expected =
        accepted
            ? QStringList{"changed", kCheckingUpdates,
                          "error Nelze načíst soubor: " + QCoreApplication::applicationDirPath() +
                              "/.tarvik-install",
                          "changed", kReady}
            : QStringList{"changed", kCheckingUpdates, "changed",
                          "error Manifest aktualizace není podepsán klíčem pořadatele.", kReady};
    QCOMPARE(recorder.log, expected);
    QCOMPARE(m_world->server().requests("/releases/tarvik-2.zip").size(), accepted ? 1 : 0);
    QCOMPARE(QDir(dataDir() + "/updates").isEmpty(), !accepted);
    QVERIFY(m_world->server().requests(StandInWorld::catalogPath()).isEmpty());
}

void TestApp::jobsAreDroppedWhileBusy()
{
    m_world->server().on(
        "GET", StandInWorld::catalogPath(),
        TestReply::json(
            QJsonDocument(StandInWorld::sampleCatalog(m_world->server().baseUrl())).toJson())
            .heldUntilReleased());
    Controller controller;
    Recorder recorder(controller);
    controller.initialize();
    QTRY_COMPARE(m_world->server().requests(StandInWorld::catalogPath()).size(), 1);
    recorder.log.clear();
    controller.initialize();
    controller.login();
    controller.play();
    controller.logout();
    controller.selectEvent(0);
    controller.saveSettings(Settings());
    controller.cancel(); // only now: the calls above must not have disturbed the job
    QCOMPARE(recorder.log, QStringList());
    m_world->server().releaseAll();
    QVERIFY(waitIdle(controller));
    QCOMPARE(recorder.log, QStringList({"changed", "error Operace byla zrušena.", kReady}));
    QCOMPARE(m_world->server().requests(StandInWorld::catalogPath()).size(), 1);
    QVERIFY(!QFile::exists(dataDir() + "/settings.json"));
}

void TestApp::cancelEndsDownloadPromptly()
{
    auto controller = signedIn();
    QVERIFY(controller);
    m_world->server().on("GET", "/v1/objects/client.jar",
                         TestReply::generated(1 << 20).heldUntilReleased());
    Recorder recorder(*controller);
    controller->play();
    QTRY_VERIFY_WITH_TIMEOUT(!m_world->server().requests("/v1/objects/client.jar").isEmpty(),
                             60000);
    QElapsedTimer timer;
    timer.start();
    controller->cancel();
    QVERIFY(waitIdle(*controller, 5000));
    const qint64 elapsed = timer.elapsed();
    qInfo("cancel during a download ended the job after %lld ms", elapsed);
    QVERIFY2(elapsed < 1000, qPrintable(QString("took %1 ms").arg(elapsed)));
    QCOMPARE(recorder.log.mid(recorder.log.size() - 3),
             QStringList({"changed", "error Operace byla zrušena.", kReady}));
    QVERIFY(!controller->isGameRunning());
    m_world->server().releaseAll();
}

void TestApp::signInAndOut()
{
    // Without a catalog, signing in loads it first.
    m_world->server().on("GET", StandInWorld::catalogPath(), TestReply::withStatus(503));
    Controller controller;
    Recorder recorder(controller);
    controller.initialize();
    QVERIFY(waitIdle(controller));
    m_world->serveCatalog(StandInWorld::sampleCatalog(m_world->server().baseUrl()));
    recorder.log.clear();
    controller.login();
    QVERIFY(waitIdle(controller));
    QCOMPARE(recorder.log, QStringList({"changed", kCheckingUpdates, "changed", kReady}));
    QVERIFY(controller.account().accessToken.isEmpty());

    recorder.log.clear();
    controller.login();
    QVERIFY(waitIdle(controller));
    QCOMPARE(recorder.log, QStringList({"changed", "progress Čekám na přihlášení u Microsoftu 0",
                                        "deviceCode TRVK4242 https://www.microsoft.com/link 900",
                                        "changed", kReady}));
    QCOMPARE(controller.account().name, QString("Tarvik_Tester"));
    QVERIFY(!CredentialStore::read(m_world->clientId()).isEmpty());

    recorder.log.clear();
    controller.logout();
    QCOMPARE(recorder.log, QStringList{"changed"});
    QVERIFY(controller.account().accessToken.isEmpty());
    QVERIFY(CredentialStore::read(m_world->clientId()).isEmpty());
    // Nothing stored any more: signing out again still succeeds.
    controller.logout();
    QCOMPARE(recorder.log, QStringList({"changed", "changed"}));
}

void TestApp::play_data()
{
    QTest::addColumn<QByteArray>("game");
    QTest::addColumn<QByteArray>("java");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QStringList>("expected");

    const QStringList started{"changed", kRunning0, "changed", kRunning100};
    QTest::newRow("exit 0") << QByteArray() << QByteArray() << false
                            << started + QStringList{"changed", kEnded};
    QTest::newRow("exit 1") << QByteArray("exit=1") << QByteArray() << false
                            << started + QStringList{"changed", kEnded, kCrashed};
    // The player's stop ends the game by a signal: no crash.
    QTest::newRow("stopped") << QByteArray("linger=60000") << QByteArray() << true
                             << started + QStringList{"changed", kEnded};
    QTest::newRow("program missing")
        << QByteArray() << QByteArray("vanish") << false
        << QStringList{"changed", kRunning0, kCannotStart, "changed", kReady};
}

void TestApp::play()
{
    QFETCH(QByteArray, game);
    QFETCH(QByteArray, java);
    QFETCH(bool, stop);
    QFETCH(QStringList, expected);

    auto controller = signedIn();
    QVERIFY(controller);
    if (!game.isEmpty())
        qputenv("TARVIK_STANDIN_GAME", game);
    if (!java.isEmpty())
        qputenv("TARVIK_STANDIN_JAVA", java);
    const QByteArray oldToken = controller->account().accessToken;
    const int refreshesBefore = m_world->server().requests(AuthServices::tokenPath()).size();

    Recorder recorder(*controller);
    controller->play();
    QVERIFY(waitIdle(*controller));
    QCOMPARE(recorder.log.value(0), QString("changed"));
    recorder.log.removeFirst();
    QVERIFY2(!recorder.log.contains("error Operace byla zrušena."),
             qPrintable(recorder.log.join('\n')));
    // The sign-in is renewed on every play, although the old token had hours left.
    QCOMPARE(m_world->server().requests(AuthServices::tokenPath()).size(), refreshesBefore + 1);
    QVERIFY(!oldToken.isEmpty());

    if (stop) {
        QTRY_VERIFY_WITH_TIMEOUT(recorder.log.contains(kRunning100), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!seenRecord("jarni-turnaj", "pid").isEmpty(), 30000);
        controller->stopGame();
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        recorder.log.size() >= expected.size() &&
            (recorder.log.contains(kEnded) || recorder.log.contains(kCannotStart)),
        60000);
    QTest::qWait(50); // let a wrongly duplicated report show up
    QCOMPARE(recorder.log, expected);
    QVERIFY(!controller->isGameRunning());
    // The launcher stays usable: stopping a game that is gone does nothing.
    controller->stopGame();
    QCOMPARE(recorder.log, expected);
}

void TestApp::gameOutputIsDropped()
{
    auto controller = signedIn();
    QVERIFY(controller);
    Recorder recorder(*controller);
    controller->play(); // installs everything and runs the game once
    QTRY_VERIFY_WITH_TIMEOUT(recorder.log.contains(kEnded), 120000);

    const qint64 before = residentKiB();
    recorder.log.clear();
    qputenv("TARVIK_STANDIN_GAME", "flood=64");
    controller->play();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.log.contains(kEnded), 120000);
    const qint64 grown = residentKiB() - before;
    qInfo("resident memory grew by %lld KiB while the game wrote 64 MiB", grown);
    QVERIFY2(!recorder.log.contains(kCrashed), qPrintable(recorder.log.join('\n')));
    QVERIFY2(grown < 24 * 1024, qPrintable(QString("grew by %1 KiB").arg(grown)));
}

void TestApp::closeOnLaunchQuits()
{
    auto controller = signedIn();
    QVERIFY(controller);
    Settings settings = controller->settings();
    settings.closeOnLaunch = true;
    controller->saveSettings(settings);
    Recorder recorder(*controller);
    controller->play();
    QTimer::singleShot(120000, qApp, [] { QCoreApplication::exit(2); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(recorder.log.contains(kEnded));
    QVERIFY(!controller->isGameRunning());
}

void TestApp::destructionWaitsForTheJob()
{
    m_world->server().on("GET", StandInWorld::catalogPath(),
                         TestReply::json("{}").heldUntilReleased());
    auto controller = std::make_unique<Controller>();
    controller->initialize();
    QTRY_COMPARE(m_world->server().requests(StandInWorld::catalogPath()).size(), 1);
    QElapsedTimer timer;
    timer.start();
    controller.reset();
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString("took %1 ms").arg(timer.elapsed())));
    // The job was cancelled and ended: it dropped the held request.
    QTRY_COMPARE(m_world->server().requests(StandInWorld::catalogPath()).value(0).outcome,
                 RecordedRequest::Outcome::ClosedByClient);
}

void TestApp::destructionKillsAStubbornGame()
{
    auto controller = signedIn();
    QVERIFY(controller);
    qputenv("TARVIK_STANDIN_GAME", "linger=120000");
    qputenv("TARVIK_STANDIN_JAVA", "ignore-term");
    Recorder recorder(*controller);
    controller->play();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.log.contains(kRunning100), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(!seenRecord("jarni-turnaj", "pid").isEmpty(), 30000);
    const pid_t pid = seenRecord("jarni-turnaj", "pid").toInt();
    QVERIFY(pid > 0);

    QElapsedTimer timer;
    timer.start();
    controller.reset();
    const qint64 elapsed = timer.elapsed();
    qInfo("destruction with a game ignoring the terminate request took %lld ms", elapsed);
    QVERIFY2(elapsed >= 4900 && elapsed < 8500, qPrintable(QString("took %1 ms").arg(elapsed)));
    errno = 0;
    QCOMPARE(::kill(pid, 0), -1);
    QCOMPARE(errno, ESRCH);
}

void TestApp::toggleMod_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("lastError");

    QTest::newRow("on with its dependency")
        << QStringList{"+modmenu"} << QStringList{"fabric-api", "modmenu", "sodium"} << QString();
    QTest::newRow("off again keeps the dependency")
        << QStringList{"+modmenu", "-modmenu"} << QStringList{"fabric-api", "sodium"} << QString();
    QTest::newRow("required mod refused") << QStringList{"-sodium"} << QStringList() << kRefused;
    QTest::newRow("dependency of an active mod refused")
        << QStringList{"+modmenu", "-fabric-api"} << QStringList{"fabric-api", "modmenu", "sodium"}
        << kRefused;
    QTest::newRow("unknown id still synchronises")
        << QStringList{"+no-such-mod"} << QStringList{"sodium"} << QString();
}

void TestApp::toggleMod()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, stored);
    QFETCH(QString, lastError);

    auto controller = signedIn();
    QVERIFY(controller);
    controller->selectEvent(1);
    QCOMPARE(controller->selectedEvent()->id, QString("fabric-cup"));
    Recorder recorder(*controller);
    for (const QString& step : steps) {
        recorder.log.clear();
        controller->toggleMod(step.mid(1), step.startsWith('+'));
        QVERIFY(waitIdle(*controller));
    }
    if (lastError.isEmpty()) {
        QCOMPARE(recorder.log, QStringList({"changed", "changed", kReady}));
    } else {
        QCOMPARE(recorder.log, QStringList({lastError, "changed"}));
    }
    QCOMPARE(storedMods("fabric-cup"), stored);
    const QSet<QString> inForce = controller->settings().enabledMods.value("fabric-cup");
    QCOMPARE(inForce, QSet<QString>(stored.cbegin(), stored.cend()));
    QStringList jars;
    for (const QString& id : stored)
        jars << id + ".jar";
    QCOMPARE(listFiles(dataDir() + "/instances/fabric-cup/mods"), jars);
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
