// Stand-ins for the services of the sign-in, on one HttpsServer: the
// Microsoft identity platform (device authorisation with a scripted poll
// state machine, the device-code and refresh-token grants), Xbox Live user
// authentication, XSTS, and the Minecraft services login and profile.
//
// Each stand-in checks what it receives the way the real service would
// reject it and more strictly: form fields in order and percent-encoded
// (letters, digits and "-._~" only as themselves), compact JSON bodies equal
// to the expected document, content types, the bearer header on the profile
// and its absence elsewhere, and that each token was issued by the step
// before. A request that breaks a rule is answered with HTTP 422 and its
// fault is kept in violations(), so that a wrong request fails the test even
// when the code under test copes with the answer.
//
// Usage:
//     HttpsServer server(identity);
//     AuthServices services(server);
//     ScopedEndpoints endpoints(server.baseUrl());
//     services.change([](AuthBehaviour& b) { b.xstsStatus = 401; });
//     ... signIn(...) ...
//     QVERIFY2(services.violations().isEmpty(), qPrintable(services.violations().join('\n')));
//
// The routes' handlers run on the server's thread; the behaviour, the issued
// tokens and the violations are shared under a mutex, so every member may be
// called from any thread. The object may be destroyed before the server.
#pragma once

#include "devserver/HttpsServer.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace tarvik::dev {

// What the stand-ins answer. The defaults sign a player in at once.
struct AuthBehaviour
{
    // The application id that every Microsoft request must carry.
    QString clientId = QStringLiteral("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");

    // -- Identity platform: device authorisation ("devicecode").
    // Chosen so that a form value that is not percent-encoded is noticed.
    QString deviceCode = QStringLiteral("DAQAB+dc/Ž=~._-x y");
    QString userCode = QStringLiteral("TRVK4242");
    QString verificationUri = QStringLiteral("https://www.microsoft.com/link");
    // An undefined value leaves the member out of the reply.
    QJsonValue expiresIn = 900;
    QJsonValue interval = 1;
    // Replaces the whole device authorisation answer.
    std::optional<Reply> deviceCodeReply;

    // -- Approval by a person (the stand-in world). When set, every device
    // authorisation issues a fresh random device code and user code (the two
    // above are unused), and the polls for it answer "authorization_pending"
    // until approve() or decline() is called with its user code, or until
    // autoApproveAfterMs have passed since it was issued (negative: never).
    // A code that is not the latest one, or whose tokens were already
    // issued, is answered with "expired_token". `polls` is unused then.
    bool awaitApproval = false;
    int autoApproveAfterMs = -1;

    // -- Identity platform: device-code polls ("token"). The Nth poll gets
    // the Nth "error" value, the last one repeats; an empty value issues the
    // tokens. Errors are answered with HTTP 400, as the platform does.
    QStringList polls = {QString()};
    // Refresh token issued with the device-code tokens; empty: none.
    QByteArray deviceRefreshToken = "M.R3_BAY.dev+/ice=refresh";

    // -- Identity platform: refresh grant ("token"). Only this refresh token
    // is accepted (empty: none is); others get 400 "invalid_grant".
    QByteArray acceptedRefreshToken = "M.R3_BAY.stored+/=refresh";
    // Issued with the refreshed tokens; empty: the reply has no
    // "refresh_token".
    QByteArray rotatedRefreshToken;
    // Replaces every "token" answer (polls and refreshes alike).
    std::optional<Reply> tokenReply;

    // -- Xbox Live user authentication. SiteName that the request must carry
    // (empty: the server's host).
    QString siteName;
    int userAuthStatus = 200;
    bool userAuthIssuesToken = true;

    // -- XSTS.
    int xstsStatus = 200;
    bool xstsIssuesToken = true;
    // False: "xui" is an empty array.
    bool xstsHasClaims = true;
    QString userHash = QStringLiteral("4242424242424242424");
    // Empty: the claim has no "xid".
    QString xuid = QStringLiteral("2535412345678901");

    // -- Minecraft services login.
    int loginStatus = 200;
    bool loginIssuesToken = true;
    // An undefined value leaves "expires_in" out.
    QJsonValue loginExpiresIn = 86400;

    // -- Minecraft profile.
    int profileStatus = 200;
    QString profileId = QStringLiteral("986dec87b7ec47ff89ff033fdb95c4b5");
    QString profileName = QStringLiteral("Tarvik_Tester");
};

// Tokens that the stand-ins issue, for comparisons (never print them).
struct AuthTokens
{
    static QByteArray userToken() { return "xbl-user-token.A1"; }
    static QByteArray xstsToken() { return "xsts-token.B2"; }
    static QByteArray minecraftToken() { return "eyJraWQiOiJtYy1hY2Nlc3MiLCJhbGciOiJSUzI1NiJ9.C3"; }
};

class AuthServices
{
public:
    // The paths of the stand-ins' routes.
    static QString deviceCodePath() { return QStringLiteral("/consumers/oauth2/v2.0/devicecode"); }
    static QString tokenPath() { return QStringLiteral("/consumers/oauth2/v2.0/token"); }
    static QString userAuthPath() { return QStringLiteral("/user/authenticate"); }
    static QString xstsPath() { return QStringLiteral("/xsts/authorize"); }
    static QString loginPath() { return QStringLiteral("/authentication/login_with_xbox"); }
    static QString profilePath() { return QStringLiteral("/minecraft/profile"); }

    // Registers the routes on the server.
    explicit AuthServices(HttpsServer& server, const AuthBehaviour& behaviour = {});
    ~AuthServices();
    AuthServices(const AuthServices&) = delete;
    AuthServices& operator=(const AuthServices&) = delete;

    AuthBehaviour behaviour() const;
    // Replaces the behaviour and starts the poll script again.
    void setBehaviour(const AuthBehaviour& behaviour);
    void change(const std::function<void(AuthBehaviour&)>& edit);

    // A Microsoft access token that the Xbox stand-in accepts, as if the
    // identity platform had issued it.
    QByteArray issueMicrosoftAccessToken();

    // Faults found in the requests so far, one sentence each, without any
    // token in them.
    QStringList violations() const;
    // Paths of the requests that reached the server, in order.
    QStringList paths() const;
    // Device-code polls answered so far.
    int pollCount() const;

    // With awaitApproval: approves or declines the latest device code when
    // `typedCode` is its user code (compared ignoring letter case, blanks and
    // hyphens) and it is still waiting. Returns whether it was.
    bool approve(const QString& typedCode);
    bool decline(const QString& typedCode);
    // With awaitApproval: the user code waiting for a person, or empty.
    QString pendingUserCode() const;

    class State;

private:
    HttpsServer& m_server;
    std::shared_ptr<State> m_state;
};

} // namespace tarvik::dev
