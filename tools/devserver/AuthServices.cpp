#include "devserver/AuthServices.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QRandomGenerator>
#include <QSet>

#include <mutex>

namespace tarvik::dev {

namespace {

using Fields = QList<QPair<QString, QString>>;

// The production relying parties, written out here rather than taken from
// the launcher's configuration, so that a wrong compiled-in value is noticed.
const QString kXboxRelyingParty = QStringLiteral("http://auth.xboxlive.com");
const QString kMinecraftRelyingParty = QStringLiteral("rp://api.minecraftservices.com/");

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes one percent-encoded name or value strictly: unreserved characters
// as themselves, everything else as "%" and two hex digits, nothing else
// (no "+" for a blank, no encoded unreserved character).
std::optional<QString> decodeStrictly(const QByteArray& text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (isUnreserved(c)) {
            bytes += c;
            continue;
        }
        if (c != '%' || i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text.at(i + 1));
        const int low = hexValue(text.at(i + 2));
        if (high < 0 || low < 0)
            return std::nullopt;
        const char decoded = static_cast<char>(high * 16 + low);
        if (isUnreserved(decoded))
            return std::nullopt;
        bytes += decoded;
        i += 2;
    }
    const QString result = QString::fromUtf8(bytes);
    if (result.toUtf8() != bytes)
        return std::nullopt;
    return result;
}

// The form's fields in order, or nothing when the body is not a strictly
// encoded form.
std::optional<Fields> parseForm(const QByteArray& body)
{
    Fields fields;
    for (const QByteArray& pair : body.split('&')) {
        const QList<QByteArray> parts = pair.split('=');
        if (parts.size() != 2)
            return std::nullopt;
        const auto name = decodeStrictly(parts.at(0));
        const auto value = decodeStrictly(parts.at(1));
        if (!name || !value)
            return std::nullopt;
        fields.append({*name, *value});
    }
    return fields;
}

QByteArray jsonBody(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

Reply jsonReply(int status, const QJsonObject& object)
{
    Reply reply = Reply::withStatus(status, jsonBody(object));
    reply.header("Content-Type", "application/json");
    return reply;
}

// A user code as a person may type it: without blanks and hyphens, in
// upper case.
QString normalizedCode(const QString& code)
{
    QString result;
    for (const QChar c : code) {
        if (!c.isSpace() && c != QLatin1Char('-'))
            result.append(c.toUpper());
    }
    return result;
}

// Eight letters and digits that cannot be mistaken for each other.
QString randomUserCode()
{
    static const QString alphabet = QStringLiteral("BCDFGHJKLMNPQRSTVWXZ23456789");
    QString code;
    for (int i = 0; i < 8; ++i)
        code.append(alphabet.at(QRandomGenerator::system()->bounded(int(alphabet.size()))));
    return code;
}

QString randomDeviceCode()
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                          bytes.size() / 4);
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

class AuthServices::State
{
public:
    std::mutex mutex;
    AuthBehaviour behaviour;
    QString serverHost;
    int polls = 0;
    int issued = 0;
    QSet<QByteArray> microsoftTokens;
    QStringList violations;

    // The latest device code of awaitApproval and what became of it.
    enum class Approval { None, Pending, Approved, Declined, Redeemed };
    QString issuedDeviceCode;
    QString issuedUserCode;
    QElapsedTimer issuedAt;
    Approval approval = Approval::None;

    // Decides a waiting code typed by a person (caller holds the mutex).
    bool settle(const QString& typedCode, Approval outcome)
    {
        if (approval != Approval::Pending || normalizedCode(typedCode).isEmpty() ||
            normalizedCode(typedCode) != normalizedCode(issuedUserCode))
            return false;
        approval = outcome;
        return true;
    }

    // A poll of the code that waits for a person.
    Reply approvalPoll(const QString& deviceCode)
    {
        if (deviceCode != issuedDeviceCode || approval == Approval::Redeemed ||
            approval == Approval::None)
            return jsonReply(400, {{QStringLiteral("error"), QStringLiteral("expired_token")}});
        if (approval == Approval::Pending && behaviour.autoApproveAfterMs >= 0 &&
            issuedAt.hasExpired(behaviour.autoApproveAfterMs))
            approval = Approval::Approved;
        switch (approval) {
        case Approval::Approved:
            approval = Approval::Redeemed;
            return issueTokens(behaviour.deviceRefreshToken);
        case Approval::Declined:
            approval = Approval::Redeemed;
            return jsonReply(400,
                             {{QStringLiteral("error"), QStringLiteral("authorization_declined")}});
        default:
            return jsonReply(400,
                             {{QStringLiteral("error"), QStringLiteral("authorization_pending")}});
        }
    }

    // Records a fault (caller holds the mutex) and answers it with 422.
    Reply refuse(const QString& fault)
    {
        violations.append(fault);
        return jsonReply(422, {{QStringLiteral("violation"), fault}});
    }

    // Checks the method, content type and the absence of a bearer header.
    std::optional<QString> checkHead(const RecordedRequest& request, const QByteArray& method,
                                     const QByteArray& contentType, const QString& step)
    {
        if (request.method != method)
            return step + QStringLiteral(": method is not ") + QString::fromLatin1(method);
        if (request.header("Content-Type") != contentType) {
            return step + QStringLiteral(": Content-Type is not ") +
                   QString::fromLatin1(contentType);
        }
        if (method == "POST" && request.hasHeader("Authorization"))
            return step + QStringLiteral(": carries an Authorization header");
        return std::nullopt;
    }

    // The request's body as the one compact JSON object `expected`.
    std::optional<QString> checkJson(const RecordedRequest& request, const QJsonObject& expected,
                                     const QString& step)
    {
        if (auto fault = checkHead(request, "POST", "application/json", step))
            return fault;
        const QJsonDocument document = QJsonDocument::fromJson(request.body);
        if (!document.isObject())
            return step + QStringLiteral(": body is not a JSON object");
        if (jsonBody(document.object()) != request.body)
            return step + QStringLiteral(": body is not compact JSON");
        if (document.object() != expected)
            return step + QStringLiteral(": body differs from the expected document");
        return std::nullopt;
    }

    QByteArray issueMicrosoftToken()
    {
        const QByteArray token = "EwAoA+msa/access=" + QByteArray::number(++issued);
        microsoftTokens.insert(token);
        return token;
    }

    Reply issueTokens(const QByteArray& refreshToken)
    {
        QJsonObject reply{
            {QStringLiteral("token_type"), QStringLiteral("Bearer")},
            {QStringLiteral("scope"), QStringLiteral("XboxLive.signin offline_access")},
            {QStringLiteral("expires_in"), 3600},
            {QStringLiteral("access_token"), QString::fromUtf8(issueMicrosoftToken())}};
        if (!refreshToken.isEmpty())
            reply.insert(QStringLiteral("refresh_token"), QString::fromUtf8(refreshToken));
        return jsonReply(200, reply);
    }

    Reply deviceCode(const RecordedRequest& request)
    {
        const std::lock_guard lock(mutex);
        const QString step = QStringLiteral("device authorisation");
        if (auto fault = checkHead(request, "POST", "application/x-www-form-urlencoded", step))
            return refuse(*fault);
        const Fields expected{
            {QStringLiteral("client_id"), behaviour.clientId},
            {QStringLiteral("scope"), QStringLiteral("XboxLive.signin offline_access")}};
        if (parseForm(request.body) != expected)
            return refuse(step + QStringLiteral(": form differs from client_id, scope"));
        if (behaviour.deviceCodeReply)
            return *behaviour.deviceCodeReply;
        QString deviceCode = behaviour.deviceCode;
        QString userCode = behaviour.userCode;
        if (behaviour.awaitApproval) {
            issuedDeviceCode = deviceCode = randomDeviceCode();
            issuedUserCode = userCode = randomUserCode();
            issuedAt.start();
            approval = Approval::Pending;
        }
        QJsonObject reply{{QStringLiteral("device_code"), deviceCode},
                          {QStringLiteral("user_code"), userCode},
                          {QStringLiteral("verification_uri"), behaviour.verificationUri},
                          {QStringLiteral("message"),
                           QStringLiteral("To sign in, open the page and enter the code.")}};
        if (!behaviour.expiresIn.isUndefined())
            reply.insert(QStringLiteral("expires_in"), behaviour.expiresIn);
        if (!behaviour.interval.isUndefined())
            reply.insert(QStringLiteral("interval"), behaviour.interval);
        return jsonReply(200, reply);
    }

    Reply token(const RecordedRequest& request)
    {
        const std::lock_guard lock(mutex);
        const QString step = QStringLiteral("token request");
        if (auto fault = checkHead(request, "POST", "application/x-www-form-urlencoded", step))
            return refuse(*fault);
        const auto fields = parseForm(request.body);
        if (!fields || fields->size() != 3 || fields->at(0).first != QLatin1String("client_id") ||
            fields->at(1).first != QLatin1String("grant_type")) {
            return refuse(step + QStringLiteral(": form is not client_id, grant_type, ..."));
        }
        if (fields->at(0).second != behaviour.clientId)
            return refuse(step + QStringLiteral(": wrong client_id"));
        const QString grant = fields->at(1).second;
        if (grant == QLatin1String("urn:ietf:params:oauth:grant-type:device_code") &&
            behaviour.awaitApproval) {
            if (fields->at(2).first != QLatin1String("device_code"))
                return refuse(step + QStringLiteral(": third field is not device_code"));
            ++polls;
            return approvalPoll(fields->at(2).second);
        }
        if (grant == QLatin1String("urn:ietf:params:oauth:grant-type:device_code")) {
            if (fields->at(2).first != QLatin1String("device_code") ||
                fields->at(2).second != behaviour.deviceCode) {
                return refuse(step + QStringLiteral(": third field is not the issued device_code"));
            }
            const QString error =
                behaviour.polls.isEmpty()
                    ? QString()
                    : behaviour.polls.at(std::min<qsizetype>(polls, behaviour.polls.size() - 1));
            ++polls;
            if (behaviour.tokenReply)
                return *behaviour.tokenReply;
            if (!error.isEmpty())
                return jsonReply(400, {{QStringLiteral("error"), error},
                                       {QStringLiteral("error_description"),
                                        QStringLiteral("AADSTS70016: scripted answer")}});
            return issueTokens(behaviour.deviceRefreshToken);
        }
        if (grant == QLatin1String("refresh_token")) {
            if (fields->at(2).first != QLatin1String("refresh_token"))
                return refuse(step + QStringLiteral(": third field is not refresh_token"));
            if (behaviour.tokenReply)
                return *behaviour.tokenReply;
            if (behaviour.acceptedRefreshToken.isEmpty() ||
                fields->at(2).second.toUtf8() != behaviour.acceptedRefreshToken) {
                return jsonReply(400, {{QStringLiteral("error"), QStringLiteral("invalid_grant")},
                                       {QStringLiteral("error_description"),
                                        QStringLiteral("AADSTS70000: refresh token refused")}});
            }
            return issueTokens(behaviour.rotatedRefreshToken);
        }
        return refuse(step + QStringLiteral(": unknown grant_type"));
    }

    Reply userAuth(const RecordedRequest& request)
    {
        const std::lock_guard lock(mutex);
        const QString step = QStringLiteral("Xbox user authentication");
        if (auto fault = checkHead(request, "POST", "application/json", step))
            return refuse(*fault);
        // The ticket must be one that the identity platform issued.
        const QJsonObject sent = QJsonDocument::fromJson(request.body).object();
        const QString ticket = sent.value(QLatin1String("Properties"))
                                   .toObject()
                                   .value(QLatin1String("RpsTicket"))
                                   .toString();
        if (!ticket.startsWith(QLatin1String("d=")) ||
            !microsoftTokens.contains(ticket.mid(2).toUtf8())) {
            return refuse(step + QStringLiteral(": RpsTicket is not d= and an issued token"));
        }
        const QString siteName = behaviour.siteName.isEmpty() ? serverHost : behaviour.siteName;
        const QJsonObject expected{
            {QStringLiteral("Properties"),
             QJsonObject{{QStringLiteral("AuthMethod"), QStringLiteral("RPS")},
                         {QStringLiteral("SiteName"), siteName},
                         {QStringLiteral("RpsTicket"), ticket}}},
            {QStringLiteral("RelyingParty"), kXboxRelyingParty},
            {QStringLiteral("TokenType"), QStringLiteral("JWT")}};
        if (auto fault = checkJson(request, expected, step))
            return refuse(*fault);
        if (behaviour.userAuthStatus != 200)
            return Reply::withStatus(behaviour.userAuthStatus);
        QJsonObject reply{
            {QStringLiteral("IssueInstant"), QStringLiteral("2020-12-07T19:52:08.4463796Z")},
            {QStringLiteral("NotAfter"), QStringLiteral("2020-12-21T19:52:08.4463796Z")},
            {QStringLiteral("DisplayClaims"),
             QJsonObject{
                 {QStringLiteral("xui"),
                  // Another hash than XSTS answers with: the one in the
                  // identity token must be XSTS's.
                  QJsonArray{QJsonObject{{QStringLiteral("uhs"),
                                          QString(QStringLiteral("1") + behaviour.userHash)}}}}}}};
        if (behaviour.userAuthIssuesToken)
            reply.insert(QStringLiteral("Token"), QString::fromUtf8(AuthTokens::userToken()));
        return jsonReply(200, reply);
    }

    Reply xsts(const RecordedRequest& request)
    {
        const std::lock_guard lock(mutex);
        const QJsonObject expected{
            {QStringLiteral("Properties"),
             QJsonObject{{QStringLiteral("SandboxId"), QStringLiteral("RETAIL")},
                         {QStringLiteral("UserTokens"),
                          QJsonArray{QString::fromUtf8(AuthTokens::userToken())}}}},
            {QStringLiteral("RelyingParty"), kMinecraftRelyingParty},
            {QStringLiteral("TokenType"), QStringLiteral("JWT")}};
        if (auto fault = checkJson(request, expected, QStringLiteral("XSTS")))
            return refuse(*fault);
        if (behaviour.xstsStatus == 401) {
            // A real refusal: an account without an Xbox profile.
            return jsonReply(401,
                             {{QStringLiteral("Identity"), QStringLiteral("0")},
                              {QStringLiteral("XErr"), 2148916233.0},
                              {QStringLiteral("Message"), QString()},
                              {QStringLiteral("Redirect"),
                               QStringLiteral("https://start.ui.xboxlive.com/CreateAccount")}});
        }
        if (behaviour.xstsStatus != 200)
            return Reply::withStatus(behaviour.xstsStatus);
        QJsonObject claim{{QStringLiteral("uhs"), behaviour.userHash}};
        if (!behaviour.xuid.isEmpty())
            claim.insert(QStringLiteral("xid"), behaviour.xuid);
        QJsonObject reply{
            {QStringLiteral("IssueInstant"), QStringLiteral("2020-12-07T19:52:09.2345095Z")},
            {QStringLiteral("NotAfter"), QStringLiteral("2020-12-08T11:52:09.2345095Z")},
            {QStringLiteral("DisplayClaims"),
             QJsonObject{{QStringLiteral("xui"),
                          behaviour.xstsHasClaims ? QJsonArray{claim} : QJsonArray{}}}}};
        if (behaviour.xstsIssuesToken)
            reply.insert(QStringLiteral("Token"), QString::fromUtf8(AuthTokens::xstsToken()));
        return jsonReply(200, reply);
    }

    Reply login(const RecordedRequest& request)
    {
        const std::lock_guard lock(mutex);
        const QJsonObject expected{
            {QStringLiteral("identityToken"),
             QString(QStringLiteral("XBL3.0 x=") + behaviour.userHash + QLatin1Char(';') +
                     QString::fromUtf8(AuthTokens::xstsToken()))}};
        if (auto fault = checkJson(request, expected, QStringLiteral("Minecraft login")))
            return refuse(*fault);
        if (behaviour.loginStatus != 200)
            return Reply::withStatus(behaviour.loginStatus);
        QJsonObject reply{{QStringLiteral("username"), QStringLiteral("some uuid")},
                          {QStringLiteral("roles"), QJsonArray{}},
                          {QStringLiteral("token_type"), QStringLiteral("Bearer")}};
        if (behaviour.loginIssuesToken) {
            reply.insert(QStringLiteral("access_token"),
                         QString::fromUtf8(AuthTokens::minecraftToken()));
        }
        if (!behaviour.loginExpiresIn.isUndefined())
            reply.insert(QStringLiteral("expires_in"), behaviour.loginExpiresIn);
        return jsonReply(200, reply);
    }

    Reply profile(const RecordedRequest& request)
    {
        const std::lock_guard lock(mutex);
        const QString step = QStringLiteral("Minecraft profile");
        if (auto fault = checkHead(request, "GET", "application/json", step))
            return refuse(*fault);
        if (request.header("Authorization") != "Bearer " + AuthTokens::minecraftToken())
            return refuse(step + QStringLiteral(": Authorization is not the issued bearer token"));
        if (!request.body.isEmpty())
            return refuse(step + QStringLiteral(": GET carries a body"));
        if (behaviour.profileStatus == 404) {
            return jsonReply(
                404,
                {{QStringLiteral("path"), profilePath()},
                 {QStringLiteral("errorType"), QStringLiteral("NOT_FOUND")},
                 {QStringLiteral("error"), QStringLiteral("NOT_FOUND")},
                 {QStringLiteral("errorMessage"),
                  QStringLiteral("The server has not found anything matching the request URI")}});
        }
        if (behaviour.profileStatus != 200)
            return Reply::withStatus(behaviour.profileStatus);
        return jsonReply(200, {{QStringLiteral("id"), behaviour.profileId},
                               {QStringLiteral("name"), behaviour.profileName},
                               {QStringLiteral("skins"), QJsonArray{}},
                               {QStringLiteral("capes"), QJsonArray{}}});
    }
};

AuthServices::AuthServices(HttpsServer& server, const AuthBehaviour& behaviour)
    : m_server(server), m_state(std::make_shared<State>())
{
    m_state->behaviour = behaviour;
    m_state->serverHost = server.baseUrl().host();
    // The handlers keep the state alive on their own, so the server may
    // outlive this object.
    const std::shared_ptr<State> state = m_state;
    server.on("POST", deviceCodePath(),
              [state](const RecordedRequest& r) { return state->deviceCode(r); });
    server.on("POST", tokenPath(), [state](const RecordedRequest& r) { return state->token(r); });
    server.on("POST", userAuthPath(),
              [state](const RecordedRequest& r) { return state->userAuth(r); });
    server.on("POST", xstsPath(), [state](const RecordedRequest& r) { return state->xsts(r); });
    server.on("POST", loginPath(), [state](const RecordedRequest& r) { return state->login(r); });
    server.on("GET", profilePath(),
              [state](const RecordedRequest& r) { return state->profile(r); });
}

AuthServices::~AuthServices() = default;

AuthBehaviour AuthServices::behaviour() const
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->behaviour;
}

void AuthServices::setBehaviour(const AuthBehaviour& behaviour)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->behaviour = behaviour;
    m_state->polls = 0;
}

void AuthServices::change(const std::function<void(AuthBehaviour&)>& edit)
{
    AuthBehaviour b = behaviour();
    edit(b);
    setBehaviour(b);
}

QByteArray AuthServices::issueMicrosoftAccessToken()
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->issueMicrosoftToken();
}

QStringList AuthServices::violations() const
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->violations;
}

QStringList AuthServices::paths() const
{
    QStringList result;
    for (const RecordedRequest& request : m_server.requests())
        result.append(request.path);
    return result;
}

bool AuthServices::approve(const QString& typedCode)
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->settle(typedCode, State::Approval::Approved);
}

bool AuthServices::decline(const QString& typedCode)
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->settle(typedCode, State::Approval::Declined);
}

QString AuthServices::pendingUserCode() const
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->approval == State::Approval::Pending ? m_state->issuedUserCode : QString();
}

int AuthServices::pollCount() const
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->polls;
}

} // namespace tarvik::dev
