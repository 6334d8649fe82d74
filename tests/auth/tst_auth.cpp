// Account sign-in against the stand-in services on the real HTTPS test
// server: the session rule, the Microsoft form POST, the device-code flow
// (scripted clock for the interval arithmetic and the deadline, one real run
// of each wait), the silent refresh, every stop of the Xbox and Minecraft
// chain, and the credential store's files. Tokens are compared, never
// printed.
#include "auth/Account.h"
#include "auth/CredentialStore.h"
#include "auth/MicrosoftSignIn.h"
#include "auth/XboxSignIn.h"
#include "fs/SafeFiles.h"
#include "net/Http.h"
#include "support/AuthServices.h"
#include "support/HttpsTestServer.h"
#include "support/TestData.h"
#include "support/TestEndpoints.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace tarvik;
using namespace tarvik::test;

using Setup = std::function<void(AuthBehaviour&)>;
Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(tarvik::test::TestReply)

namespace {

const QString kSuccess = QStringLiteral("<signed in>");
const QString kCancelled = QStringLiteral("Operace byla zrušena.");
const QString kInvalidJson = QStringLiteral("Server poslal neplatný JSON.");
const QString kNoClientId =
    QStringLiteral("Správce zatím nenastavil Microsoft Application ID. Registrace aplikace je "
                   "zdarma; přihlášení bude dostupné po jejím dokončení.");
const QString kSignInFirst = QStringLiteral("Přihlaste se ke svému Microsoft účtu.");
const QString kRefreshRefused = QStringLiteral("Uložené přihlášení vypršelo. Přihlaste se znovu.");
const QString kInvalidCode = QStringLiteral(
    "Microsoft nevrátil platný přihlašovací kód. Ověřte nastavení veřejné desktopové aplikace.");
const QString kDeclined = QStringLiteral("Přihlášení bylo odmítnuto.");
const QString kCodeExpired =
    QStringLiteral("Přihlašovací kód vypršel nebo registrace aplikace nepovoluje přihlášení.");
const QString kNotCompleted = QStringLiteral("Přihlášení nebylo dokončeno. Zkuste nový kód.");
const QString kXboxNoToken = QStringLiteral("Xbox nevrátil přihlašovací token.");
const QString kXboxNoIdentity = QStringLiteral("Xbox nevrátil platnou identitu.");
const QString kXboxRefused =
    QStringLiteral("Xbox nepovolil přihlášení. Ověřte Xbox profil a nastavení rodinného účtu.");
const QString kAppNotApproved =
    QStringLiteral("Minecraft odmítl registraci aplikace. Správce musí "
                   "ověřit schválení Application ID pro Minecraft API.");
const QString kMinecraftNoToken = QStringLiteral("Minecraft nevrátil přihlašovací token.");
const QString kNoProfile = QStringLiteral(
    "Účet nemá vytvořený Minecraft Java profil. Dokončete jej nejprve na minecraft.net.");
const QString kBadProfile = QStringLiteral("Neplatný Minecraft profil.");
const QString kCannotStore = QStringLiteral("Přihlašovací token nelze bezpečně uložit.");

const QString kDevice = AuthServices::deviceCodePath();
const QString kToken = AuthServices::tokenPath();
const QString kUser = AuthServices::userAuthPath();
const QString kXsts = AuthServices::xstsPath();
const QString kLogin = AuthServices::loginPath();
const QString kProfile = AuthServices::profilePath();

template <typename F> QString outcomeOf(F&& body)
{
    try {
        body();
    } catch (const Error& e) {
        return e.message();
    }
    return kSuccess;
}

// One isolated world per test: its own data folder, HTTPS server with the
// stand-ins, endpoints pointing at it, and a job's Http and cancel flag.
struct World
{
    ScopedDataDir data;
    HttpsTestServer server;
    AuthServices services{server};
    ScopedEndpoints endpoints{server.baseUrl()};
    CancelFlag cancel = makeCancelFlag();
    Http http{cancel};

    QString clientId() const { return services.behaviour().clientId; }
    AuthContext context() { return AuthContext{http, clientId(), cancel}; }
    QString violations() const { return services.violations().join(QLatin1Char('\n')); }
};

// A clock that only the waits move: long interval sequences and deadlines
// without waiting for them.
struct ScriptedClock
{
    QDateTime now = QDateTime::currentDateTimeUtc();
    QList<int> sleeps;

    detail::PollTiming timing()
    {
        return {[this](int ms, const CancelFlag&) {
                    sleeps.append(ms);
                    now = now.addMSecs(ms);
                },
                [this] { return now; }};
    }
};

Account account(const QByteArray& token, const QDateTime& expiresAt)
{
    Account a;
    a.name = QStringLiteral("Steve");
    a.uuid = QStringLiteral("986dec87b7ec47ff89ff033fdb95c4b5");
    a.accessToken = token;
    a.expiresAt = expiresAt;
    return a;
}

} // namespace

class TestAuth : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { HttpsTestServer::trustTestCa(); }

    void sessionUsable_data();
    void sessionUsable();

    void formEncoding_data();
    void formEncoding();
    void microsoftFormStatus_data();
    void microsoftFormStatus();
    void emptyClientId_data();
    void emptyClientId();

    void pollInterval_data();
    void pollInterval();
    void deviceCodeOffer_data();
    void deviceCodeOffer();
    void deviceCodePolling_data();
    void deviceCodePolling();
    void deviceCodeEndToEnd();
    void deviceCodeDeadline();
    void deviceCodeCancelledWhileWaiting();

    void silentRefresh_data();
    void silentRefresh();

    void chainStops_data();
    void chainStops();
    void chainSession_data();
    void chainSession();

    void storeRoundTrip_data();
    void storeRoundTrip();
    void storeRefuses_data();
    void storeRefuses();
    void storeOverwritesAndRemoves();
    void storeKeepsEntriesApart();
    void storeIsPrivate();
    void storeReadsForeignEntriesAsNothing_data();
    void storeReadsForeignEntriesAsNothing();
};

// ---- session rule ------------------------------------------------------------

void TestAuth::sessionUsable_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<qint64>("expiresInMs"); // from now; negative: invalid date-time
    QTest::addColumn<bool>("usable");
    const qint64 invalid = std::numeric_limits<qint64>::min();
    QTest::newRow("empty account") << QByteArray() << invalid << false;
    QTest::newRow("token, no expiry") << QByteArray("t") << invalid << false;
    QTest::newRow("no token, a day left") << QByteArray() << 86400000LL << false;
    QTest::newRow("exactly 120 s left") << QByteArray("t") << 120000LL << false;
    QTest::newRow("120.001 s left") << QByteArray("t") << 120001LL << true;
    QTest::newRow("121 s left") << QByteArray("t") << 121000LL << true;
    QTest::newRow("119 s left") << QByteArray("t") << 119000LL << false;
    QTest::newRow("already lapsed") << QByteArray("t") << -5000LL << false;
}

void TestAuth::sessionUsable()
{
    QFETCH(QByteArray, token);
    QFETCH(qint64, expiresInMs);
    QFETCH(bool, usable);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime expiry =
        expiresInMs == std::numeric_limits<qint64>::min() ? QDateTime() : now.addMSecs(expiresInMs);
    QCOMPARE(detail::isSessionUsable(account(token, expiry), now), usable);
    // The clock-reading form agrees wherever a second either way cannot matter.
    if (expiresInMs > 122000 || expiresInMs < 119000)
        QCOMPARE(isSessionUsable(account(token, expiry)), usable);
}

// ---- Microsoft form POST -----------------------------------------------------

void TestAuth::formEncoding_data()
{
    QTest::addColumn<FormFields>("fields");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("unreserved characters stay")
        << FormFields{{"client_id", "AZaz09-._~"}} << QByteArray("client_id=AZaz09-._~");
    QTest::newRow("order kept, joined by &")
        << FormFields{{"b", "1"}, {"a", "2"}, {"c", "3"}} << QByteArray("b=1&a=2&c=3");
    QTest::newRow("blank and plus encoded")
        << FormFields{{"scope", "XboxLive.signin offline_access+x"}}
        << QByteArray("scope=XboxLive.signin%20offline_access%2Bx");
    QTest::newRow("reserved characters encoded")
        << FormFields{{"k", ":/?#[]@!$&'()*,;=%"}}
        << QByteArray("k=%3A%2F%3F%23%5B%5D%40%21%24%26%27%28%29%2A%2C%3B%3D%25");
    QTest::newRow("names encoded too, UTF-8 bytes")
        << FormFields{{"jméno", "Žluť"}} << QByteArray("jm%C3%A9no=%C5%BDlu%C5%A5");
    QTest::newRow("empty value") << FormFields{{"a", ""}, {"b", "x"}} << QByteArray("a=&b=x");
    QTest::newRow("device-code grant type")
        << FormFields{{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"}}
        << QByteArray("grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code");
}

void TestAuth::formEncoding()
{
    QFETCH(FormFields, fields);
    QFETCH(QByteArray, body);
    QCOMPARE(detail::formEncode(fields), body);
}

void TestAuth::microsoftFormStatus_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("200 object") << TestReply::json(R"({"interval":5})") << kSuccess;
    QTest::newRow("400 object is an answer")
        << TestReply::withStatus(400, R"({"error":"authorization_pending"})") << kSuccess;
    QTest::newRow("500") << TestReply::withStatus(500, R"({"error":"x"})")
                         << QStringLiteral("Microsoft přihlášení selhalo (HTTP 500).");
    QTest::newRow("401 with JSON") << TestReply::withStatus(401, R"({"error":"x"})")
                                   << QStringLiteral("Microsoft přihlášení selhalo (HTTP 401).");
    QTest::newRow("200 not JSON") << TestReply::ok("<html>") << kInvalidJson;
    QTest::newRow("400 JSON array") << TestReply::withStatus(400, "[1]") << kInvalidJson;
}

void TestAuth::microsoftFormStatus()
{
    QFETCH(TestReply, reply);
    QFETCH(QString, outcome);
    World world;
    world.server.on("POST", "/consumers/oauth2/v2.0/probe", reply);
    QJsonObject answer;
    QCOMPARE(outcomeOf([&] {
                 answer = postMicrosoftForm(world.context(), "probe", {{"a", "b c"}});
             }),
             outcome);
    if (outcome == kSuccess)
        QCOMPARE(answer, QJsonDocument::fromJson(reply.body).object());
    const QList<RecordedRequest> sent = world.server.requests();
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().body, QByteArray("a=b%20c"));
    QCOMPARE(sent.first().header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY2(!sent.first().hasHeader("Authorization"), "a form POST never carries a bearer token");
}

void TestAuth::emptyClientId_data()
{
    QTest::addColumn<bool>("interactive");
    QTest::newRow("device code") << true;
    QTest::newRow("silent refresh") << false;
}

void TestAuth::emptyClientId()
{
    QFETCH(bool, interactive);
    World world;
    // Something stored for the empty id, so that only the id check can stop it.
    CredentialStore::write(QString(), "M.R3_BAY.stored+/=refresh");
    AuthContext context{world.http, QString(), world.cancel};
    QCOMPARE(outcomeOf([&] { signIn(context, interactive); }), kNoClientId);
    QVERIFY2(world.server.requests().isEmpty(), "no request may be sent without an application id");
}

// ---- device-code flow ----------------------------------------------------------

void TestAuth::pollInterval_data()
{
    QTest::addColumn<QJsonValue>("interval");
    QTest::addColumn<QList<int>>("sequence"); // first interval, then after each slow_down
    QTest::newRow("missing: 5") << QJsonValue(QJsonValue::Undefined) << QList<int>{5, 10};
    QTest::newRow("not a number: 5") << QJsonValue("7") << QList<int>{5};
    QTest::newRow("fraction: 5") << QJsonValue(2.5) << QList<int>{5};
    QTest::newRow("0: 1") << QJsonValue(0) << QList<int>{1, 6};
    QTest::newRow("negative: 1") << QJsonValue(-3) << QList<int>{1};
    QTest::newRow("45: 30, then 35, 40, 45") << QJsonValue(45) << QList<int>{30, 35, 40, 45};
    QTest::newRow("huge: 30") << QJsonValue(1e12) << QList<int>{30};
    QTest::newRow("30 climbs to 60 and stays")
        << QJsonValue(30) << QList<int>{30, 35, 40, 45, 50, 55, 60, 60};
}

void TestAuth::pollInterval()
{
    QFETCH(QJsonValue, interval);
    QFETCH(QList<int>, sequence);
    QList<int> actual{detail::initialPollInterval(interval)};
    while (actual.size() < sequence.size())
        actual.append(detail::slowedPollInterval(actual.last()));
    QCOMPARE(actual, sequence);
    QCOMPARE(detail::slowedPollInterval(58), 60);
    QCOMPARE(detail::slowedPollInterval(60), 60);
}

void TestAuth::deviceCodeOffer_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<bool>("accepted");
    const auto with = [](auto edit) { return Setup(edit); };
    QTest::newRow("1800 s, the domain itself") << with([](AuthBehaviour& b) {
        b.expiresIn = 1800;
        b.verificationUri = "https://microsoft.com/link";
    }) << true;
    QTest::newRow("1 s, a deep subdomain") << with([](AuthBehaviour& b) {
        b.expiresIn = 1;
        b.verificationUri = "https://login.live.microsoft.com/devicelogin";
    }) << true;
    QTest::newRow("expires_in 0") << with([](AuthBehaviour& b) { b.expiresIn = 0; }) << false;
    QTest::newRow("expires_in 1801") << with([](AuthBehaviour& b) { b.expiresIn = 1801; }) << false;
    QTest::newRow("expires_in missing")
        << with([](AuthBehaviour& b) { b.expiresIn = QJsonValue(QJsonValue::Undefined); }) << false;
    QTest::newRow("expires_in as text")
        << with([](AuthBehaviour& b) { b.expiresIn = "900"; }) << false;
    QTest::newRow("scheme http") << with([](AuthBehaviour& b) {
        b.verificationUri = "http://www.microsoft.com/link";
    }) << false;
    QTest::newRow("domain inside another host") << with([](AuthBehaviour& b) {
        b.verificationUri = "https://www.microsoft.com.example.net/link";
    }) << false;
    QTest::newRow("domain as a name suffix")
        << with([](AuthBehaviour& b) { b.verificationUri = "https://evilmicrosoft.com/link"; })
        << false;
    QTest::newRow("domain only as user name") << with([](AuthBehaviour& b) {
        b.verificationUri = "https://microsoft.com@example.net/link";
    }) << false;
    QTest::newRow("no address") << with([](AuthBehaviour& b) { b.verificationUri.clear(); })
                                << false;
    QTest::newRow("no device code")
        << with([](AuthBehaviour& b) { b.deviceCode.clear(); }) << false;
    QTest::newRow("no user code to show")
        << with([](AuthBehaviour& b) { b.userCode.clear(); }) << false;
}

void TestAuth::deviceCodeOffer()
{
    QFETCH(Setup, setup);
    QFETCH(bool, accepted);
    World world;
    world.services.change(setup);
    const AuthBehaviour behaviour = world.services.behaviour();
    QList<DeviceCode> shown;
    ScriptedClock clock;
    const QString outcome = outcomeOf([&] {
        detail::signIn(
            world.context(), true, [&](const DeviceCode& code) { shown.append(code); },
            clock.timing());
    });
    QVERIFY2(world.violations().isEmpty(), qPrintable(world.violations()));
    if (!accepted) {
        QCOMPARE(outcome, kInvalidCode);
        QVERIFY2(shown.isEmpty(), "a refused code must not be shown");
        QCOMPARE(world.services.paths(), QStringList{kDevice});
        return;
    }
    QCOMPARE(outcome, kSuccess);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().code, behaviour.userCode);
    QCOMPARE(shown.first().url, QUrl(behaviour.verificationUri));
    QCOMPARE(shown.first().expires, behaviour.expiresIn.toInt());
}

void TestAuth::deviceCodePolling_data()
{
    QTest::addColumn<QJsonValue>("interval");
    QTest::addColumn<int>("expiresIn");
    QTest::addColumn<QStringList>("polls");
    QTest::addColumn<QList<int>>("sleeps");
    QTest::addColumn<QString>("outcome");
    const QString pending = QStringLiteral("authorization_pending");
    const QString slow = QStringLiteral("slow_down");
    QTest::newRow("pending, then tokens")
        << QJsonValue(1) << 900 << QStringList{pending, pending, {}} << QList<int>{1000, 1000, 1000}
        << kSuccess;
    QTest::newRow("interval missing waits 5 s") << QJsonValue(QJsonValue::Undefined) << 900
                                                << QStringList{{}} << QList<int>{5000} << kSuccess;
    QTest::newRow("slow_down from 30 s: 35, 40, 45")
        << QJsonValue(30) << 900 << QStringList{slow, slow, slow, {}}
        << QList<int>{30000, 35000, 40000, 45000} << kSuccess;
    QTest::newRow("slow_down stops at 60 s")
        << QJsonValue(30) << 1800 << QStringList{slow, slow, slow, slow, slow, slow, slow, {}}
        << QList<int>{30000, 35000, 40000, 45000, 50000, 55000, 60000, 60000} << kSuccess;
    QTest::newRow("slow_down keeps the new interval while pending")
        << QJsonValue(2) << 900 << QStringList{slow, pending, {}} << QList<int>{2000, 7000, 7000}
        << kSuccess;
    QTest::newRow("declined") << QJsonValue(1) << 900
                              << QStringList{pending, "authorization_declined"}
                              << QList<int>{1000, 1000} << kDeclined;
    QTest::newRow("expired") << QJsonValue(1) << 900 << QStringList{"expired_token"}
                             << QList<int>{1000} << kCodeExpired;
    QTest::newRow("bad code") << QJsonValue(1) << 900 << QStringList{"bad_verification_code"}
                              << QList<int>{1000} << kCodeExpired;
    QTest::newRow("error values are case-sensitive")
        << QJsonValue(1) << 900 << QStringList{"Authorization_Pending"} << QList<int>{1000}
        << kCodeExpired;
    QTest::newRow("deadline runs out while pending")
        << QJsonValue(1) << 3 << QStringList{pending} << QList<int>{1000, 1000, 1000}
        << kNotCompleted;
    QTest::newRow("a slowed wait may pass the deadline once")
        << QJsonValue(5) << 10 << QStringList{slow, pending} << QList<int>{5000, 10000}
        << kNotCompleted;
}

void TestAuth::deviceCodePolling()
{
    QFETCH(QJsonValue, interval);
    QFETCH(int, expiresIn);
    QFETCH(QStringList, polls);
    QFETCH(QList<int>, sleeps);
    QFETCH(QString, outcome);
    World world;
    world.services.change([&](AuthBehaviour& b) {
        b.interval = interval;
        b.expiresIn = expiresIn;
        b.polls = polls;
    });
    ScriptedClock clock;
    Account signedIn;
    QCOMPARE(
        outcomeOf([&] { signedIn = detail::signIn(world.context(), true, {}, clock.timing()); }),
        outcome);
    QCOMPARE(clock.sleeps, sleeps);
    QCOMPARE(world.services.pollCount(), sleeps.size());
    QVERIFY2(world.violations().isEmpty(), qPrintable(world.violations()));
    if (outcome == kSuccess) {
        QCOMPARE(signedIn.name, world.services.behaviour().profileName);
    } else {
        QVERIFY2(CredentialStore::read(world.clientId()).isEmpty(),
                 "a failed device-code sign-in must store nothing");
        QCOMPARE(world.services.paths().filter(kUser), QStringList());
    }
}

void TestAuth::deviceCodeEndToEnd()
{
    World world; // interval 1 s, tokens on the first poll
    const AuthBehaviour behaviour = world.services.behaviour();
    QList<DeviceCode> shown;
    Qt::HANDLE callbackThread = nullptr;
    QElapsedTimer timer;
    timer.start();
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const Account signedIn = signIn(world.context(), true, [&](const DeviceCode& code) {
        shown.append(code);
        callbackThread = QThread::currentThreadId();
    });
    QVERIFY2(timer.elapsed() >= 1000, "the first poll must wait the 1 s interval");
    QVERIFY2(world.violations().isEmpty(), qPrintable(world.violations()));
    QCOMPARE(world.services.paths(),
             (QStringList{kDevice, kToken, kUser, kXsts, kLogin, kProfile}));

    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().code, QStringLiteral("TRVK4242"));
    QCOMPARE(shown.first().url, QUrl("https://www.microsoft.com/link"));
    QCOMPARE(shown.first().expires, 900);
    QCOMPARE(callbackThread, QThread::currentThreadId());

    QVERIFY2(CredentialStore::read(world.clientId()) == behaviour.deviceRefreshToken,
             "the issued refresh token must be stored");
    QCOMPARE(signedIn.name, QStringLiteral("Tarvik_Tester"));
    QCOMPARE(signedIn.uuid, QStringLiteral("986dec87b7ec47ff89ff033fdb95c4b5"));
    QCOMPARE(signedIn.xuid, QStringLiteral("2535412345678901"));
    QCOMPARE(signedIn.clientId, world.clientId());
    QVERIFY2(signedIn.accessToken == AuthTokens::minecraftToken(),
             "the account must carry the Minecraft token, not another one of the chain");
    QVERIFY(signedIn.expiresAt >= before.addSecs(86400));
    QVERIFY(signedIn.expiresAt <= QDateTime::currentDateTimeUtc().addSecs(86400));
    QVERIFY(isSessionUsable(signedIn));
}

void TestAuth::deviceCodeDeadline()
{
    World world;
    world.services.change([](AuthBehaviour& b) {
        b.expiresIn = 1;
        b.polls = {QStringLiteral("authorization_pending")};
    });
    QCOMPARE(outcomeOf([&] { signIn(world.context(), true); }), kNotCompleted);
    QCOMPARE(world.services.pollCount(), 1);
}

void TestAuth::deviceCodeCancelledWhileWaiting()
{
    World world;
    world.services.change([](AuthBehaviour& b) { b.interval = 30; });
    std::atomic_bool shown = false;
    QString outcome;
    const QString clientId = world.clientId();
    const CancelFlag cancel = world.cancel;
    // As a job would: on its own thread with its own Http.
    std::thread job([&] {
        Http http(cancel);
        outcome = outcomeOf([&] {
            signIn(AuthContext{http, clientId, cancel}, true,
                   [&](const DeviceCode&) { shown = true; });
        });
    });
    QTRY_VERIFY2_WITH_TIMEOUT(shown.load(), "the device code was never shown", 10000);
    QElapsedTimer timer;
    timer.start();
    cancel->store(true);
    job.join();
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(outcome, kCancelled);
    QVERIFY2(elapsed < 400, qPrintable(QStringLiteral("cancelling took %1 ms").arg(elapsed)));
    QCOMPARE(world.services.paths(), QStringList{kDevice});
}

// ---- silent refresh ----------------------------------------------------------

void TestAuth::silentRefresh_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QByteArray>("storedAfter");
    QTest::addColumn<QStringList>("paths");
    const QByteArray accepted = AuthBehaviour().acceptedRefreshToken;
    const QByteArray rotated = "M.R3_BAY.rotated+/=";
    const QStringList chain{kToken, kUser, kXsts, kLogin, kProfile};
    const Setup none = [](AuthBehaviour&) {};
    QTest::newRow("nothing stored")
        << QByteArray() << none << kSignInFirst << QByteArray() << QStringList();
    QTest::newRow("refused") << QByteArray("M.R3_BAY.old") << none << kRefreshRefused
                             << QByteArray("M.R3_BAY.old") << QStringList{kToken};
    QTest::newRow("error member, even null, beside tokens")
        << accepted << Setup([](AuthBehaviour& b) {
               b.tokenReply = TestReply::json(R"({"error":null,"access_token":"a"})");
           })
        << kRefreshRefused << accepted << QStringList{kToken};
    QTest::newRow("HTTP 500") << accepted << Setup([](AuthBehaviour& b) {
        b.tokenReply = TestReply::withStatus(500, R"({"error":"server_error"})");
    }) << QStringLiteral("Microsoft přihlášení selhalo (HTTP 500).")
                              << accepted << QStringList{kToken};
    QTest::newRow("no access token") << accepted << Setup([](AuthBehaviour& b) {
        b.tokenReply = TestReply::json(R"({"scope":"x"})");
    }) << kNotCompleted << accepted << QStringList{kToken};
    QTest::newRow("accepted, not rotated") << accepted << none << kSuccess << accepted << chain;
    QTest::newRow("accepted and rotated")
        << accepted << Setup([=](AuthBehaviour& b) { b.rotatedRefreshToken = rotated; }) << kSuccess
        << rotated << chain;
    QTest::newRow("rotated, then XSTS refuses") << accepted << Setup([=](AuthBehaviour& b) {
        b.rotatedRefreshToken = rotated;
        b.xstsStatus = 401;
    }) << kXboxRefused << rotated << QStringList{kToken, kUser, kXsts};
    QTest::newRow("rotated token too large to keep") << accepted << Setup([](AuthBehaviour& b) {
        b.rotatedRefreshToken = QByteArray(2561, 'r');
    }) << kCannotStore << accepted << QStringList{kToken};
}

void TestAuth::silentRefresh()
{
    QFETCH(QByteArray, stored);
    QFETCH(Setup, setup);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, storedAfter);
    QFETCH(QStringList, paths);
    World world;
    world.services.change(setup);
    if (!stored.isEmpty())
        CredentialStore::write(world.clientId(), stored);
    Account signedIn;
    QCOMPARE(outcomeOf([&] { signedIn = signIn(world.context(), false); }), outcome);
    QCOMPARE(world.services.paths(), paths);
    QVERIFY2(world.violations().isEmpty(), qPrintable(world.violations()));
    QVERIFY2(CredentialStore::read(world.clientId()) == storedAfter,
             "the stored refresh token is not the expected one");
    if (outcome == kSuccess) {
        QCOMPARE(signedIn.name, QStringLiteral("Tarvik_Tester"));
        QCOMPARE(signedIn.clientId, world.clientId());
        QVERIFY(isSessionUsable(signedIn));
    }
}

// ---- Xbox, XSTS and Minecraft chain --------------------------------------------

void TestAuth::chainStops_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("paths");
    const QString hostFailure = QStringLiteral("Ověření účtu selhalo (HTTP %1, 127.0.0.1).");
    const QStringList toUser{kUser}, toXsts{kUser, kXsts}, toLogin{kUser, kXsts, kLogin};
    const QStringList all{kUser, kXsts, kLogin, kProfile};
    const auto row = [](const char* name, Setup setup, const QString& message,
                        const QStringList& paths) {
        QTest::newRow(name) << setup << message << paths;
    };
    row(
        "user token missing", [](AuthBehaviour& b) { b.userAuthIssuesToken = false; }, kXboxNoToken,
        toUser);
    row(
        "user authentication 500", [](AuthBehaviour& b) { b.userAuthStatus = 500; },
        hostFailure.arg(500), toUser);
    row(
        "XSTS with empty xui", [](AuthBehaviour& b) { b.xstsHasClaims = false; }, kXboxNoIdentity,
        toXsts);
    row(
        "XSTS without token", [](AuthBehaviour& b) { b.xstsIssuesToken = false; }, kXboxNoIdentity,
        toXsts);
    row(
        "XSTS 401", [](AuthBehaviour& b) { b.xstsStatus = 401; }, kXboxRefused, toXsts);
    row(
        "XSTS 503, any status", [](AuthBehaviour& b) { b.xstsStatus = 503; }, kXboxRefused, toXsts);
    row(
        "login 403", [](AuthBehaviour& b) { b.loginStatus = 403; }, kAppNotApproved, toLogin);
    row(
        "login 500 names the host", [](AuthBehaviour& b) { b.loginStatus = 500; },
        hostFailure.arg(500), toLogin);
    row(
        "login without token", [](AuthBehaviour& b) { b.loginIssuesToken = false; },
        kMinecraftNoToken, toLogin);
    row(
        "profile 404", [](AuthBehaviour& b) { b.profileStatus = 404; }, kNoProfile, all);
    row(
        "profile 500 is a service failure", [](AuthBehaviour& b) { b.profileStatus = 500; },
        hostFailure.arg(500), all);
    row(
        "profile 429 is a service failure", [](AuthBehaviour& b) { b.profileStatus = 429; },
        hostFailure.arg(429), all);
    row(
        "hyphenated id",
        [](AuthBehaviour& b) { b.profileId = "986dec87-b7ec-47ff-89ff-033fdb95c4b5"; }, kBadProfile,
        all);
    row(
        "31-digit id", [](AuthBehaviour& b) { b.profileId = "986dec87b7ec47ff89ff033fdb95c4b"; },
        kBadProfile, all);
    row(
        "id not hexadecimal",
        [](AuthBehaviour& b) { b.profileId = "g86dec87b7ec47ff89ff033fdb95c4b5"; }, kBadProfile,
        all);
    row(
        "17-character name", [](AuthBehaviour& b) { b.profileName = "Tarvik_Tester_177"; },
        kBadProfile, all);
    row(
        "name with a final line break", [](AuthBehaviour& b) { b.profileName = "Tarvik\n"; },
        kBadProfile, all);
    row(
        "id with a final line break",
        [](AuthBehaviour& b) { b.profileId = "986dec87b7ec47ff89ff033fdb95c4b5\n"; }, kBadProfile,
        all);
    row(
        "empty name", [](AuthBehaviour& b) { b.profileName.clear(); }, kBadProfile, all);
}

void TestAuth::chainStops()
{
    QFETCH(Setup, setup);
    QFETCH(QString, message);
    QFETCH(QStringList, paths);
    World world;
    world.services.change(setup);
    const QByteArray microsoftToken = world.services.issueMicrosoftAccessToken();
    QCOMPARE(outcomeOf([&] { exchangeMicrosoftToken(world.context(), microsoftToken); }), message);
    QCOMPARE(world.services.paths(), paths);
    QVERIFY2(world.violations().isEmpty(), qPrintable(world.violations()));
}

void TestAuth::chainSession_data()
{
    QTest::addColumn<QJsonValue>("expiresIn");
    QTest::addColumn<QString>("xuid");
    QTest::addColumn<qint64>("lifetime");
    QTest::newRow("missing: one hour")
        << QJsonValue(QJsonValue::Undefined) << "2535412345678901" << 3600LL;
    QTest::newRow("a day") << QJsonValue(86400) << "2535412345678901" << 86400LL;
    QTest::newRow("100000: a day") << QJsonValue(100000) << "2535412345678901" << 86400LL;
    QTest::newRow("beyond 32 bits: a day") << QJsonValue(1e12) << "2535412345678901" << 86400LL;
    QTest::newRow("2 stays 2") << QJsonValue(2) << "2535412345678901" << 2LL;
    QTest::newRow("1: 1") << QJsonValue(1) << "2535412345678901" << 1LL;
    QTest::newRow("0: 1") << QJsonValue(0) << "2535412345678901" << 1LL;
    QTest::newRow("negative: 1") << QJsonValue(-60) << "2535412345678901" << 1LL;
    QTest::newRow("text: one hour, no xid claim") << QJsonValue("600") << "" << 3600LL;
}

void TestAuth::chainSession()
{
    QFETCH(QJsonValue, expiresIn);
    QFETCH(QString, xuid);
    QFETCH(qint64, lifetime);
    World world;
    world.services.change([&](AuthBehaviour& b) {
        b.loginExpiresIn = expiresIn;
        b.xuid = xuid;
    });
    const QByteArray microsoftToken = world.services.issueMicrosoftAccessToken();
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const Account signedIn = exchangeMicrosoftToken(world.context(), microsoftToken);
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QVERIFY2(world.violations().isEmpty(), qPrintable(world.violations()));
    QVERIFY2(
        signedIn.expiresAt >= before.addSecs(lifetime) &&
            signedIn.expiresAt <= after.addSecs(lifetime),
        qPrintable(
            QStringLiteral("expiry %1 s after the call").arg(before.secsTo(signedIn.expiresAt))));
    QCOMPARE(signedIn.xuid, xuid);
    QCOMPARE(signedIn.uuid, QStringLiteral("986dec87b7ec47ff89ff033fdb95c4b5"));
    QVERIFY2(signedIn.accessToken == AuthTokens::minecraftToken(), "wrong token in the account");
}

// ---- credential store -----------------------------------------------------------

void TestAuth::storeRoundTrip_data()
{
    QTest::addColumn<QByteArray>("token");
    QByteArray longest(2560, Qt::Uninitialized);
    for (int i = 0; i < longest.size(); ++i)
        longest[i] = static_cast<char>('a' + i % 26);
    QTest::newRow("1 byte") << QByteArray("x");
    QTest::newRow("2560 bytes") << longest;
    QTest::newRow("any bytes") << QByteArray("\0\xff\n\r=+/%", 9);
}

void TestAuth::storeRoundTrip()
{
    QFETCH(QByteArray, token);
    ScopedDataDir data;
    const QString id = QStringLiteral("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    QVERIFY2(CredentialStore::read(id).isEmpty(), "a fresh store must hold nothing");
    CredentialStore::write(id, token);
    QVERIFY2(CredentialStore::read(id) == token, "the stored bytes differ from the written ones");
}

void TestAuth::storeRefuses_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("2561 bytes") << QByteArray(2561, 'x');
}

void TestAuth::storeRefuses()
{
    QFETCH(QByteArray, token);
    ScopedDataDir data;
    QCOMPARE(outcomeOf([&] { CredentialStore::write("fresh", token); }), kCannotStore);
    QVERIFY2(!QFileInfo::exists(CredentialStore::folder()) ||
                 listFiles(CredentialStore::folder()).isEmpty(),
             "a refused token must leave nothing behind");
    CredentialStore::write("kept", "earlier");
    QCOMPARE(outcomeOf([&] { CredentialStore::write("kept", token); }), kCannotStore);
    QVERIFY2(CredentialStore::read("kept") == "earlier", "a refused write replaced the entry");
}

void TestAuth::storeOverwritesAndRemoves()
{
    ScopedDataDir data;
    QCOMPARE(outcomeOf([] { CredentialStore::remove("id"); }), kSuccess); // no folder yet
    CredentialStore::write("id", "first");
    CredentialStore::write("id", "second");
    QVERIFY2(CredentialStore::read("id") == "second", "the second write must win");
    QCOMPARE(listFiles(CredentialStore::folder()).size(), 1); // no temporary file left
    CredentialStore::remove("id");
    QVERIFY2(CredentialStore::read("id").isEmpty(), "a removed entry must read as nothing");
    QCOMPARE(listFiles(CredentialStore::folder()), QStringList());
    QCOMPARE(outcomeOf([] { CredentialStore::remove("id"); }), kSuccess);
}

void TestAuth::storeKeepsEntriesApart()
{
    ScopedDataDir data;
    const QStringList ids{"a", "A", "a/../b", "b", "../../escape", "", "a%2F", QString(300, 'l')};
    for (const QString& id : ids)
        CredentialStore::write(id, "token of " + id.toUtf8());
    for (const QString& id : ids) {
        QVERIFY2(CredentialStore::read(id) == "token of " + id.toUtf8(),
                 qPrintable("entry of id '" + id.left(20) + "' mixed up"));
    }
    QCOMPARE(listFiles(CredentialStore::folder()).size(), ids.size());
    // Nothing outside the store's folder.
    const QString folder = QDir(data.root()).relativeFilePath(CredentialStore::folder());
    for (const QString& file : listFiles(data.root()))
        QVERIFY2(file.startsWith(folder + '/'), qPrintable(file + " lies outside the store"));
    CredentialStore::remove("a/../b");
    QVERIFY(CredentialStore::read("a/../b").isEmpty());
    QVERIFY2(CredentialStore::read("b") == "token of b", "removing one id removed another");
}

void TestAuth::storeIsPrivate()
{
#ifdef Q_OS_UNIX
    ScopedDataDir data;
    const mode_t previous = ::umask(0); // a permissive umask must not loosen anything
    CredentialStore::write("id", "secret");
    ::umask(previous);
    const auto modeOf = [](const QString& path) {
        struct stat info = {};
        ::lstat(QFile::encodeName(path).constData(), &info);
        return info.st_mode & 07777;
    };
    const QString folder = CredentialStore::folder();
    const QStringList files = listFiles(folder);
    QCOMPARE(files.size(), 1);
    QCOMPARE(modeOf(folder), mode_t(0700));
    QCOMPARE(modeOf(folder + '/' + files.first()), mode_t(0600));

    // A folder left open by someone else is closed again on the next write.
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    CredentialStore::write("id", "again");
    QCOMPARE(modeOf(folder), mode_t(0700));
#else
    QSKIP("file modes are a POSIX matter");
#endif
}

void TestAuth::storeReadsForeignEntriesAsNothing_data()
{
    QTest::addColumn<QString>("tampering");
    QTest::newRow("entry grown past 2560 bytes") << "oversized";
    QTest::newRow("entry replaced by a symbolic link") << "linked entry";
    QTest::newRow("folder replaced by a symbolic link") << "linked folder";
    QTest::newRow("entry replaced by a FIFO") << "fifo";
    QTest::newRow("entry replaced by a folder") << "folder";
}

void TestAuth::storeReadsForeignEntriesAsNothing()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, tampering);
    ScopedDataDir data;
    CredentialStore::write("id", "secret");
    const QString folder = CredentialStore::folder();
    const QString entry = folder + '/' + listFiles(folder).value(0);
    const QByteArray entryPath = QFile::encodeName(entry);
    const QString elsewhere = data.root() + "/elsewhere";
    QVERIFY(writeBytes(elsewhere + "/target", "secret"));
    if (tampering == "oversized") {
        QVERIFY(writeBytes(entry, QByteArray(2561, 's')));
    } else if (tampering == "linked entry") {
        QVERIFY(QFile::remove(entry));
        QVERIFY(QFile::link(elsewhere + "/target", entry));
    } else if (tampering == "linked folder") {
        QVERIFY(QFile::copy(entry, elsewhere + '/' + QFileInfo(entry).fileName()));
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(QFile::link(elsewhere, folder));
    } else if (tampering == "fifo") {
        QVERIFY(QFile::remove(entry));
        QVERIFY(::mkfifo(entryPath.constData(), 0600) == 0);
    } else {
        QVERIFY(QFile::remove(entry));
        QVERIFY(QDir().mkpath(entry));
    }
    QVERIFY2(CredentialStore::read("id").isEmpty(),
             "an entry the store did not write itself must read as nothing");
    if (tampering == "linked folder") {
        QCOMPARE(outcomeOf([] { CredentialStore::write("id", "new"); }),
                 QStringLiteral("Úložiště pověření odmítlo uložení přihlášení."));
        QVERIFY2(listFiles(elsewhere).size() == 2, "wrote through a linked folder");
    }
#else
    QSKIP("links, FIFOs and file modes are a POSIX matter");
#endif
}

QTEST_GUILESS_MAIN(TestAuth)
#include "tst_auth.moc"
