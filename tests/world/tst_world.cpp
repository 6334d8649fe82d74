// The local stand-in world: its certificates, its verification page, its
// operator folders, its sample catalog, and the whole installation and launch
// of every sample event by the launcher's own code against a running world,
// with the stand-in game under the real JVM.
#include "Certificates.h"
#include "FolderRoute.h"
#include "World.h"

#include "auth/MicrosoftSignIn.h"
#include "catalog/Catalog.h"
#include "fs/SafeFiles.h"
#include "game/LaunchCommand.h"
#include "net/Http.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace tarvik;
using namespace tarvik::test;
using tarvik::world::World;

namespace {

const QString kSourceDir = TARVIK_WORLD_SOURCE_DIR;

QSslCertificate certificateIn(const QString& path)
{
    return QSslCertificate(readBytes(path), QSsl::Pem);
}

// Empty when a socket that trusts only `trusted` completes the handshake with
// the server for `peerName`; otherwise why it did not.
QString tlsFailure(quint16 port, const QList<QSslCertificate>& trusted, const QString& peerName)
{
    QSslSocket socket;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(trusted);
    socket.setSslConfiguration(configuration);
    socket.connectToHostEncrypted("127.0.0.1", port, peerName);
    if (socket.waitForEncrypted(15000))
        return {};
    QStringList errors{socket.errorString()};
    for (const QSslError& error : socket.sslHandshakeErrors())
        errors.append(error.errorString());
    return errors.join("; ");
}

struct RawReply
{
    int status = 0;
    QByteArray body;
};

// A GET with the request target exactly as given (no client-side
// normalisation of "..", escapes or slashes).
RawReply rawGet(quint16 port, const QSslCertificate& ca, const QByteArray& target)
{
    QSslSocket socket;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({ca});
    socket.setSslConfiguration(configuration);
    socket.connectToHostEncrypted("127.0.0.1", port, "localhost");
    RawReply reply;
    if (!socket.waitForEncrypted(15000))
        return reply;
    socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray input;
    qsizetype headEnd = -1;
    qint64 length = -1;
    while (socket.waitForReadyRead(15000)) {
        input += socket.readAll();
        headEnd = input.indexOf("\r\n\r\n");
        if (headEnd < 0)
            continue;
        const QByteArray head = input.left(headEnd).toLower();
        const qsizetype at = head.indexOf("content-length:");
        length =
            at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        if (input.size() - headEnd - 4 >= length)
            break;
    }
    if (headEnd < 0)
        return reply;
    reply.status = input.left(headEnd).split(' ').value(1).toInt();
    reply.body = input.mid(headEnd + 4, length);
    return reply;
}

HttpResponse postForm(const QUrl& url, const QByteArray& body)
{
    Http http;
    return http.request(url, "POST", body, {}, "application/x-www-form-urlencoded");
}

QJsonObject sampleCatalog()
{
    return QJsonDocument::fromJson(readBytes(kSourceDir + "/sample/catalog.json")).object();
}

} // namespace

class TestWorld : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void certificates_data();
    void certificates();
    void signInPage_data();
    void signInPage();
    void signInThroughThePage();
    void codesApproveThemselvesWhenAsked();
    void operatorFolder_data();
    void operatorFolder();
    void sampleCatalogIsValidAndReal();
    void eventsInstallAndPlay_data();
    void eventsInstallAndPlay();
    void programAnnouncesItselfAndCleansUp();

private:
    Endpoints endpoints() const;
    QString requestDeviceCode();
    QString pollOnce(const QString& deviceCode);

    QTemporaryDir m_state;
    std::unique_ptr<World> m_world;
    QString m_lastDeviceCode;
};

void TestWorld::initTestCase()
{
    QVERIFY(m_state.isValid());
    world::WorldOptions options;
    options.stateDir = m_state.path();
    options.port = 0;
    options.gameSeconds = 1;
    options.logRequests = false;
    options.sourceDir = kSourceDir;
    m_world = std::make_unique<World>(options);
    try {
        m_world->start();
    } catch (const std::exception& e) {
        QFAIL(e.what());
    }
    // What the launcher build for the world does: trust the world's CA.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(certificateIn(m_world->caFile()));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

Endpoints TestWorld::endpoints() const
{
    Endpoints e = endpointsAt(m_world->baseUrl());
    e.microsoftDomain = "localhost";
    return e;
}

void TestWorld::certificates_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("caKept");
    QTest::addColumn<bool>("serverKept");

    QTest::newRow("second start keeps both") << "" << true << true;
    QTest::newRow("server certificate missing") << "rm server.pem" << true << false;
    QTest::newRow("server certificate of another authority") << "foreign server" << true << false;
    QTest::newRow("server key of another certificate") << "foreign key" << true << false;
    QTest::newRow("CA key missing") << "rm ca.key" << false << false;
    QTest::newRow("CA certificate garbled") << "garble ca.pem" << false << false;
}

void TestWorld::certificates()
{
    QFETCH(QString, damage);
    QFETCH(bool, caKept);
    QFETCH(bool, serverKept);

    QTemporaryDir dir;
    const world::CertificateFiles first = world::ensureCertificates(dir.path());
    const QSslCertificate ca = certificateIn(first.caCertificate);
    const QSslCertificate server = certificateIn(first.serverCertificate);
    QVERIFY(!ca.isNull() && !server.isNull());
    QVERIFY(ca.isSelfSigned());
    QCOMPARE(server.issuerDisplayName(), ca.subjectDisplayName());
    QVERIFY2(!(QFile::permissions(first.caKey) & (QFile::ReadGroup | QFile::ReadOther)),
             "the CA key is readable by others");

    const QDir state(dir.path());
    if (damage == "rm server.pem")
        QVERIFY(QFile::remove(state.filePath("server.pem")));
    if (damage == "rm ca.key")
        QVERIFY(QFile::remove(state.filePath("ca.key")));
    if (damage == "garble ca.pem")
        QVERIFY(writeBytes(state.filePath("ca.pem"), "-----BEGIN CERTIFICATE-----\nAAAA\n"));
    if (damage == "foreign server") {
        QVERIFY(QFile::remove(state.filePath("server.pem")) &&
                QFile::remove(state.filePath("server.key")));
        QVERIFY(QFile::copy(dataPath("tls/localhost.pem"), state.filePath("server.pem")));
        QVERIFY(QFile::copy(dataPath("tls/localhost.key"), state.filePath("server.key")));
    }
    if (damage == "foreign key") {
        QVERIFY(QFile::remove(state.filePath("server.key")));
        QVERIFY(QFile::copy(dataPath("tls/untrusted.key"), state.filePath("server.key")));
    }

    const world::CertificateFiles second = world::ensureCertificates(dir.path());
    const QSslCertificate ca2 = certificateIn(second.caCertificate);
    const QSslCertificate server2 = certificateIn(second.serverCertificate);
    QCOMPARE(ca2 == ca, caKept);
    QCOMPARE(server2 == server, serverKept);

    // Whatever happened, a client that trusts only this CA gets through to
    // both names, and one that trusts another CA does not.
    dev::HttpsServer https(world::loadIdentity(second));
    QVERIFY2(https.isListening(), qPrintable(https.errorString()));
    const QString viaName = tlsFailure(https.port(), {ca2}, "localhost");
    QVERIFY2(viaName.isEmpty(), qPrintable(viaName));
    const QString viaAddress = tlsFailure(https.port(), {ca2}, "127.0.0.1");
    QVERIFY2(viaAddress.isEmpty(), qPrintable(viaAddress));
    QVERIFY(
        !tlsFailure(https.port(), {certificateIn(dataPath("tls/ca.pem"))}, "localhost").isEmpty());
}

QString TestWorld::requestDeviceCode()
{
    ScopedEndpoints scoped(endpoints());
    Http http;
    const AuthContext context{http, sampleCatalog()["microsoftClientId"].toString(), {}};
    const QJsonObject offer = postMicrosoftForm(
        context, "devicecode",
        {{"client_id", context.clientId}, {"scope", "XboxLive.signin offline_access"}});
    m_lastDeviceCode = offer["device_code"].toString();
    return offer["user_code"].toString();
}

// The "error" of one device-code poll, or "tokens" when it issued them.
QString TestWorld::pollOnce(const QString& deviceCode)
{
    ScopedEndpoints scoped(endpoints());
    Http http;
    const AuthContext context{http, sampleCatalog()["microsoftClientId"].toString(), {}};
    const QJsonObject reply =
        postMicrosoftForm(context, "token",
                          {{"client_id", context.clientId},
                           {"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                           {"device_code", deviceCode}});
    if (!reply["access_token"].toString().isEmpty())
        return "tokens";
    return reply["error"].toString();
}

void TestWorld::signInPage_data()
{
    QTest::addColumn<QString>("typed"); // "<code>" stands for the code issued
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("poll");

    QTest::newRow("the code as shown") << "<code>"
                                       << "approve" << 200 << "tokens";
    QTest::newRow("typed loosely") << "<loose>"
                                   << "approve" << 200 << "tokens";
    QTest::newRow("another code") << "BCDF2345"
                                  << "approve" << 400 << "authorization_pending";
    QTest::newRow("nothing typed") << ""
                                   << "approve" << 400 << "authorization_pending";
    QTest::newRow("the code of an earlier sign-in") << "<earlier>"
                                                    << "approve" << 400 << "authorization_pending";
    QTest::newRow("declined") << "<code>"
                              << "decline" << 200 << "authorization_declined";
}

void TestWorld::signInPage()
{
    QFETCH(QString, typed);
    QFETCH(QString, action);
    QFETCH(int, status);
    QFETCH(QString, poll);

    const QString earlier = requestDeviceCode();
    const QString code = requestDeviceCode();
    QVERIFY(!code.isEmpty() && code != earlier);
    const QString deviceCode = m_lastDeviceCode;

    Http http;
    const HttpResponse page = http.request(m_world->verificationUrl(), "GET", {}, {}, {});
    QCOMPARE(page.status, 200);
    QVERIFY2(page.body.contains("<form") && page.body.contains("name=\"code\""), page.body);

    QString value = typed;
    if (typed == "<code>")
        value = code;
    if (typed == "<loose>")
        value = code.left(4).toLower() + " -" + code.mid(4).toLower();
    if (typed == "<earlier>")
        value = earlier;
    const QByteArray body =
        "code=" + QUrl::toPercentEncoding(value).replace("%20", "+") + "&action=" + action.toUtf8();
    const HttpResponse answer = postForm(m_world->verificationUrl(), body);
    QCOMPARE(answer.status, status);
    QCOMPARE(pollOnce(deviceCode), poll);
    // Settled codes issue their answer once.
    if (poll != "authorization_pending")
        QCOMPARE(pollOnce(deviceCode), QString("expired_token"));
}

void TestWorld::signInThroughThePage()
{
    ScopedDataDir data;
    ScopedEndpoints scoped(endpoints());
    Http http;
    const AuthContext context{http, sampleCatalog()["microsoftClientId"].toString(), {}};
    int pageStatus = 0;
    const Account account = signIn(context, true, [&](const DeviceCode& offer) {
        // A person opens the address and types the code.
        pageStatus = postForm(offer.url, "code=" + offer.code.toUtf8() + "&action=approve").status;
    });
    QCOMPARE(pageStatus, 200);
    QCOMPARE(account.name, world::StandInPlayer::name());
    QCOMPARE(account.uuid, world::StandInPlayer::uuid());
    QVERIFY(isSessionUsable(account));

    // The next start signs in silently with the stored refresh token.
    const Account again = signIn(context, false);
    QCOMPARE(again.name, world::StandInPlayer::name());
    QVERIFY2(m_world->auth().violations().isEmpty(),
             qPrintable(m_world->auth().violations().join('\n')));
}

void TestWorld::codesApproveThemselvesWhenAsked()
{
    m_world->auth().change([](dev::AuthBehaviour& b) { b.autoApproveAfterMs = 1500; });
    requestDeviceCode();
    const QString deviceCode = m_lastDeviceCode;
    QCOMPARE(pollOnce(deviceCode), QString("authorization_pending"));
    // Tokens are issued once: keep the answer that ended the wait.
    QString answer;
    QVERIFY(QTest::qWaitFor(
        [&] {
            answer = pollOnce(deviceCode);
            return answer != "authorization_pending";
        },
        10000));
    QCOMPARE(answer, QString("tokens"));
    m_world->auth().change([](dev::AuthBehaviour& b) { b.autoApproveAfterMs = -1; });
}

void TestWorld::operatorFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("a file") << QByteArray("/releases/pkg.zip") << 200 << QByteArray("package");
    QTest::newRow("a file in a sub-folder")
        << QByteArray("/releases/sub/inner.zip") << 200 << QByteArray("inner");
    QTest::newRow("a link that stays inside")
        << QByteArray("/releases/link-in.zip") << 200 << QByteArray("package");
    QTest::newRow("dot dot") << QByteArray("/releases/../outside/secret.txt") << 404
                             << QByteArray();
    QTest::newRow("encoded dot dot")
        << QByteArray("/releases/%2e%2e/outside/secret.txt") << 404 << QByteArray();
    QTest::newRow("encoded slashes")
        << QByteArray("/releases/sub%2F..%2F..%2Foutside%2Fsecret.txt") << 404 << QByteArray();
    QTest::newRow("backslashes") << QByteArray("/releases/..%5Coutside%5Csecret.txt") << 404
                                 << QByteArray();
    QTest::newRow("absolute path") << QByteArray("/releases/<absolute>") << 404 << QByteArray();
    QTest::newRow("linked folder pointing out")
        << QByteArray("/releases/link-out/secret.txt") << 404 << QByteArray();
    QTest::newRow("linked file pointing out")
        << QByteArray("/releases/file-out.zip") << 404 << QByteArray();
    QTest::newRow("a folder") << QByteArray("/releases/sub") << 404 << QByteArray();
    QTest::newRow("the folder itself") << QByteArray("/releases/") << 404 << QByteArray();
    QTest::newRow("a NUL") << QByteArray("/releases/pkg.zip%00.txt") << 404 << QByteArray();
    QTest::newRow("missing") << QByteArray("/releases/none.zip") << 404 << QByteArray();
}

void TestWorld::operatorFolder()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    QTemporaryDir dir;
    const QString releases = dir.filePath("releases");
    const QString secret = dir.filePath("outside/secret.txt");
    QVERIFY(writeBytes(secret, "secret"));
    QVERIFY(writeBytes(releases + "/pkg.zip", "package"));
    QVERIFY(writeBytes(releases + "/sub/inner.zip", "inner"));
    QVERIFY(QFile::link("pkg.zip", releases + "/link-in.zip"));
    QVERIFY(QFile::link("../outside", releases + "/link-out"));
    QVERIFY(QFile::link(secret, releases + "/file-out.zip"));
    target.replace("<absolute>", QUrl::toPercentEncoding(secret, "/"));

    const world::CertificateFiles files = world::ensureCertificates(m_state.path());
    dev::HttpsServer server(world::loadIdentity(files));
    QVERIFY(server.isListening());
    world::serveFolder(server, "/releases/", releases);
    const RawReply reply = rawGet(server.port(), certificateIn(files.caCertificate), target);
    QCOMPARE(reply.status, status);
    QVERIFY2(!reply.body.contains("secret"), reply.body);
    if (status == 200)
        QCOMPARE(reply.body, body);
}

void TestWorld::sampleCatalogIsValidAndReal()
{
    const QJsonObject document = sampleCatalog();
    QString where;
    Catalog catalog;
    const QString error = errorOf([&] { catalog = Catalog::fromJson(document, &where); });
    QVERIFY2(error == kNoError, qPrintable(where + ": " + error));
    QCOMPARE(catalog.events.size(), 3);

    bool vanilla = false;
    bool fabricWithServer = false;
    bool optionalWithDependencies = false;
    QSet<QString> categories;
    for (const Event& event : catalog.events) {
        vanilla |= event.fabricLoader.isEmpty() && event.mods.isEmpty();
        bool required = false;
        bool optional = false;
        for (const Mod& mod : event.mods) {
            categories.insert(mod.category);
            required |= mod.required;
            optional |= !mod.required;
            optionalWithDependencies |= !mod.required && !mod.dependencies.isEmpty();
            // The published jar is the one the hash names.
            const QString jar = kSourceDir + "/sample/mods/" + mod.file;
            QVERIFY2(QFileInfo(jar).size() == mod.download.size, qPrintable(mod.file));
            QCOMPARE(QString::fromLatin1(hashFile(jar, QCryptographicHash::Sha512, {})),
                     mod.download.sha);
            QCOMPARE(mod.download.url.toString(), World::sampleOrigin() + "/mods/" + mod.file);
        }
        fabricWithServer |=
            !event.fabricLoader.isEmpty() && !event.server.isEmpty() && required && optional;
    }
    QVERIFY(vanilla);
    QVERIFY(fabricWithServer);
    QVERIFY(optionalWithDependencies);
    for (const QString category : {"Výkon", "Rozhraní", "Lunar", "Feather", "Badlion"})
        QVERIFY2(categories.contains(category), qPrintable(category));

    // Served with its mod addresses on the running world.
    ScopedEndpoints scoped(endpoints());
    Http http;
    const Catalog served = Catalog::load(http);
    const QString base = m_world->baseUrl().toString() + "/mods/";
    for (const Event& event : served.events) {
        for (const Mod& mod : event.mods)
            QCOMPARE(mod.download.url.toString(), base + mod.file);
    }
}

void TestWorld::eventsInstallAndPlay_data()
{
    QTest::addColumn<QString>("eventId");
    QTest::addColumn<QStringList>("enabled");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("vanilla") << "vanilla-vylet" << QStringList()
                             << QStringList{"Stand-in game 1.20.1 is starting", "Mods (0): none",
                                            "Playing alone"};
    QTest::newRow("Fabric with a server and an optional mod chain")
        << "podzimni-turnaj" << QStringList{"badlion-casovac"}
        << QStringList{"Stand-in game 1.20.1 is starting",
                       "Loaded by the stand-in Fabric loader 0.15.11 (started)",
                       "Mods (5): badlion-casovac-1.3.1.jar, minimapa-3.0.1.jar, "
                       "prehled-inventare-1.2.0.jar, svetelny-motor-0.9.2.jar, "
                       "zaklad-api-1.4.0.jar",
                       "Joining server turnaj.tarvik.invalid:25565"};
    QTest::newRow("Fabric on another version")
        << "kreativni-stavby" << QStringList()
        << QStringList{"Stand-in game 1.21.1 is starting",
                       "Loaded by the stand-in Fabric loader 0.16.5 (started)",
                       "Mods (1): zaklad-api-1.4.0.jar", "Joining server stavby.tarvik.invalid"};
}

void TestWorld::eventsInstallAndPlay()
{
    QFETCH(QString, eventId);
    QFETCH(QStringList, enabled);
    QFETCH(QStringList, lines);

    ScopedDataDir data;
    ScopedEndpoints scoped(endpoints());
    Http http;
    const Catalog catalog = Catalog::load(http);
    Event event;
    for (const Event& candidate : catalog.events) {
        if (candidate.id == eventId)
            event = candidate;
    }
    QCOMPARE(event.id, eventId);
    Settings settings;
    settings.ramMb = 1024;
    settings.enabledMods[eventId] = QSet<QString>(enabled.begin(), enabled.end());
    Account account;
    account.name = world::StandInPlayer::name();
    account.uuid = world::StandInPlayer::uuid();
    account.clientId = catalog.microsoftClientId;
    account.accessToken = "world-access-token.secret";
    account.expiresAt = QDateTime::currentDateTimeUtc().addSecs(3600);

    LaunchPlan plan;
    const QString error =
        errorOf([&] { plan = prepareLaunch(http, event, settings, account, {}, {}); });
    QCOMPARE(error, kNoError);

    QProcess game;
    game.setProgram(plan.program);
    game.setArguments(plan.arguments);
    game.setWorkingDirectory(plan.workingDirectory);
    game.setProcessEnvironment(plan.environment);
    game.setProcessChannelMode(QProcess::MergedChannels);
    game.start();
    QVERIFY2(game.waitForFinished(60000), "the stand-in game did not end within 60 s");
    const QString output = QString::fromLocal8Bit(game.readAll());
    QVERIFY2(game.exitStatus() == QProcess::NormalExit && game.exitCode() == 0, qPrintable(output));

    const QString log =
        QString::fromUtf8(readBytes(dataDir() + "/instances/" + eventId + "/logs/latest.log"));
    QVERIFY2(!log.isEmpty(), qPrintable("no logs/latest.log; the game said:\n" + output));
    for (const QString& line :
         lines + QStringList{"Player: " + account.name + " (" + account.uuid + ")",
                             "Stopping: the time is up"})
        QVERIFY2(log.contains(line), qPrintable("missing \"" + line + "\" in:\n" + log));
    QVERIFY2(!log.contains(QString::fromUtf8(account.accessToken)), "the log shows the token");
}

void TestWorld::programAnnouncesItselfAndCleansUp()
{
    // The program on the state folder of the running world (certificates and
    // game already made), on a port of its own.
    QProcess program;
    program.setProgram(TARVIK_WORLD_PROGRAM);
    program.setArguments({"--state", m_state.path(), "--port", "0", "--quiet"});
    program.setProcessChannelMode(QProcess::MergedChannels);
    const QString info = m_state.filePath("world.env");
    QFile::remove(info);
    program.start();
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(info) || program.state() == QProcess::NotRunning,
                             60000);
    QVERIFY2(QFileInfo::exists(info), program.readAll());

    QMap<QString, QString> values;
    for (const QString& line : QString::fromUtf8(readBytes(info)).split('\n'))
        values.insert(line.section('=', 0, 0), line.section('=', 1));
    const quint16 port = values["TARVIK_WORLD_PORT"].toUShort();
    QVERIFY(port != 0 && port != m_world->port());
    QCOMPARE(values["TARVIK_WORLD_URL"], QString("https://127.0.0.1:%1").arg(port));
    QCOMPARE(values["TARVIK_WORLD_CA"], m_world->caFile());
    QCOMPARE(values["TARVIK_WORLD_PID"].toLongLong(), program.processId());
    const RawReply catalog = rawGet(port, certificateIn(m_world->caFile()), "/api/v1/catalog.json");
    QCOMPARE(catalog.status, 200);

    program.terminate();
    QVERIFY(program.waitForFinished(15000));
    QCOMPARE(program.exitCode(), 0);
    QVERIFY2(!QFileInfo::exists(info), "world.env outlived the world");
    QVERIFY(!QFileInfo::exists(m_state.filePath("world.json")));
}

QTEST_GUILESS_MAIN(TestWorld)
#include "tst_world.moc"
