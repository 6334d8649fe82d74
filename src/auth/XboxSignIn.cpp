#include "auth/XboxSignIn.h"

#include "auth/AuthLog.h"
#include "fs/SafeFiles.h"
#include "net/Endpoints.h"
#include "net/Http.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>

namespace tarvik {

namespace {

const QByteArray kJson = QByteArrayLiteral("application/json");

QUrl userAuthUrl(const Endpoints& e)
{
    return endpointUrl(e.xboxUserAuth, QStringLiteral("/user/authenticate"));
}

QUrl xstsUrl(const Endpoints& e)
{
    return endpointUrl(e.xsts, QStringLiteral("/xsts/authorize"));
}

QUrl loginUrl(const Endpoints& e)
{
    return endpointUrl(e.minecraftServices, QStringLiteral("/authentication/login_with_xbox"));
}

QUrl profileUrl(const Endpoints& e)
{
    return endpointUrl(e.minecraftServices, QStringLiteral("/minecraft/profile"));
}

// Two addresses name the same endpoint when they agree in every part; the
// comparison ignores only how they were written (encoding, default port).
bool sameEndpoint(const QUrl& a, const QUrl& b)
{
    return a.adjusted(QUrl::NormalizePathSegments) == b.adjusted(QUrl::NormalizePathSegments);
}

// The first element of "DisplayClaims" -> "xui", or an empty object.
QJsonObject firstUserClaim(const QJsonObject& reply)
{
    const QJsonArray xui = reply.value(QLatin1String("DisplayClaims"))
                               .toObject()
                               .value(QLatin1String("xui"))
                               .toArray();
    return xui.isEmpty() ? QJsonObject() : xui.first().toObject();
}

QString stringOf(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString();
}

} // namespace

QJsonObject postAccountJson(const AuthContext& context, const QUrl& endpoint,
                            const QJsonObject& body)
{
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const HttpResponse response =
        context.http.request(endpoint, QByteArrayLiteral("POST"), payload, {}, kJson);
    qCDebug(lcAuth) << "POST" << endpoint.host() << endpoint.path() << "status" << response.status;
    if (response.status == 200)
        return parseJsonObject(response.body);

    const Endpoints endpoints = Endpoints::current();
    if (response.status == 403 && sameEndpoint(endpoint, loginUrl(endpoints))) {
        throw Error(QStringLiteral("Minecraft odmítl registraci aplikace. Správce musí ověřit "
                                   "schválení Application ID pro Minecraft API."));
    }
    if (sameEndpoint(endpoint, xstsUrl(endpoints))) {
        throw Error(QStringLiteral(
            "Xbox nepovolil přihlášení. Ověřte Xbox profil a nastavení rodinného účtu."));
    }
    throw Error(QStringLiteral("Ověření účtu selhalo (HTTP %1, %2).")
                    .arg(response.status)
                    .arg(endpoint.host(QUrl::FullyDecoded)));
}

Account exchangeMicrosoftToken(const AuthContext& context, const QByteArray& microsoftAccessToken)
{
    const Endpoints endpoints = Endpoints::current();

    // 1. Xbox Live user authentication.
    const QJsonObject userReply = postAccountJson(
        context, userAuthUrl(endpoints),
        QJsonObject{
            {QStringLiteral("Properties"),
             QJsonObject{
                 {QStringLiteral("AuthMethod"), QStringLiteral("RPS")},
                 {QStringLiteral("SiteName"), endpoints.xboxUserAuth.host(QUrl::FullyDecoded)},
                 {QStringLiteral("RpsTicket"),
                  QString(QStringLiteral("d=") + QString::fromUtf8(microsoftAccessToken))},
             }},
            {QStringLiteral("RelyingParty"), endpoints.xboxRelyingParty},
            {QStringLiteral("TokenType"), QStringLiteral("JWT")},
        });
    const QString userToken = detail::readUserToken(userReply);

    // 2. XSTS for the Minecraft services relying party.
    const QJsonObject xstsReply =
        postAccountJson(context, xstsUrl(endpoints),
                        QJsonObject{
                            {QStringLiteral("Properties"),
                             QJsonObject{
                                 {QStringLiteral("SandboxId"), QStringLiteral("RETAIL")},
                                 {QStringLiteral("UserTokens"), QJsonArray{userToken}},
                             }},
                            {QStringLiteral("RelyingParty"), endpoints.minecraftRelyingParty},
                            {QStringLiteral("TokenType"), QStringLiteral("JWT")},
                        });
    const detail::XstsIdentity identity = detail::readXstsReply(xstsReply);

    // 3. Minecraft services login.
    const QJsonObject loginReply =
        postAccountJson(context, loginUrl(endpoints),
                        QJsonObject{{QStringLiteral("identityToken"),
                                     QString(QStringLiteral("XBL3.0 x=") + identity.userHash +
                                             QLatin1Char(';') + identity.token)}});
    const QByteArray accessToken = detail::readLoginToken(loginReply);

    // 4. The Java profile.
    const QUrl profile = profileUrl(endpoints);
    const HttpResponse response =
        context.http.request(profile, QByteArrayLiteral("GET"), {}, accessToken, kJson);
    qCDebug(lcAuth) << "GET" << profile.host() << profile.path() << "status" << response.status;
    // 404 is the service's answer for an account without a Java profile; any
    // other status (an outage, a rate limit) is a failure of the service.
    if (response.status == 404) {
        throw Error(QStringLiteral("Účet nemá vytvořený Minecraft Java profil. Dokončete jej "
                                   "nejprve na ") +
                    endpoints.minecraftWebsite + QLatin1Char('.'));
    }
    if (response.status != 200) {
        throw Error(QStringLiteral("Ověření účtu selhalo (HTTP %1, %2).")
                        .arg(response.status)
                        .arg(profile.host(QUrl::FullyDecoded)));
    }
    const QJsonObject profileReply = parseJsonObject(response.body);

    // 5. The account, 6. validated.
    Account account = detail::readProfile(profileReply);
    account.xuid = identity.xuid;
    account.clientId = context.clientId;
    account.accessToken = accessToken;
    account.expiresAt = QDateTime::currentDateTimeUtc().addSecs(
        detail::sessionLifetimeSeconds(loginReply.value(QLatin1String("expires_in"))));
    qCDebug(lcAuth) << "signed in, token lifetime until" << account.expiresAt;
    return account;
}

namespace detail {

QString readUserToken(const QJsonObject& reply)
{
    const QString token = stringOf(reply, "Token");
    if (token.isEmpty())
        throw Error(QStringLiteral("Xbox nevrátil přihlašovací token."));
    return token;
}

XstsIdentity readXstsReply(const QJsonObject& reply)
{
    const QJsonObject claim = firstUserClaim(reply);
    XstsIdentity identity{stringOf(claim, "uhs"), stringOf(reply, "Token"), stringOf(claim, "xid")};
    if (identity.userHash.isEmpty() || identity.token.isEmpty())
        throw Error(QStringLiteral("Xbox nevrátil platnou identitu."));
    return identity;
}

QByteArray readLoginToken(const QJsonObject& reply)
{
    const QByteArray token = stringOf(reply, "access_token").toUtf8();
    if (token.isEmpty())
        throw Error(QStringLiteral("Minecraft nevrátil přihlašovací token."));
    return token;
}

Account readProfile(const QJsonObject& reply)
{
    Account account;
    account.name = stringOf(reply, "name");
    account.uuid = stringOf(reply, "id");
    if (!isValidProfile(account.uuid, account.name))
        throw Error(QStringLiteral("Neplatný Minecraft profil."));
    return account;
}

qint64 sessionLifetimeSeconds(const QJsonValue& expiresIn)
{
    // A number that is not a whole number (or not a number at all) reads as
    // the default, as any lenient read does.
    const qint64 seconds = expiresIn.toInteger(3600);
    if (seconds < 2)
        return 1;
    return std::min<qint64>(seconds, 86400);
}

bool isValidProfile(const QString& uuid, const QString& name)
{
    // anchoredPattern: a plain "$" would also accept a final line break,
    // which must never reach the game's command line.
    static const QRegularExpression uuidPattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-fA-F]{32}")));
    static const QRegularExpression namePattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_]{1,16}")));
    return uuidPattern.match(uuid).hasMatch() && namePattern.match(name).hasMatch();
}

} // namespace detail

} // namespace tarvik
