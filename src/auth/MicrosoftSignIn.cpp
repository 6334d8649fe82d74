#include "auth/MicrosoftSignIn.h"

#include "auth/AuthLog.h"
#include "auth/CredentialStore.h"
#include "auth/XboxSignIn.h"
#include "fs/SafeFiles.h"
#include "net/Endpoints.h"
#include "net/Http.h"

#include <algorithm>

namespace tarvik {

Q_LOGGING_CATEGORY(lcAuth, "tarvik.auth", QtInfoMsg)

namespace {

const QString kClientId = QStringLiteral("client_id");
const QString kGrantType = QStringLiteral("grant_type");

// Reads "access_token" and "refresh_token" of the last token reply, stores a
// refresh token that came back (before the chain, so that a rotated token is
// kept even when a later step fails) and runs the Xbox and Minecraft chain.
Account finishWithTokens(const AuthContext& context, const QJsonObject& reply)
{
    const QByteArray accessToken = reply.value(QLatin1String("access_token")).toString().toUtf8();
    const QByteArray refreshToken = reply.value(QLatin1String("refresh_token")).toString().toUtf8();
    if (accessToken.isEmpty())
        throw Error(QStringLiteral("Přihlášení nebylo dokončeno. Zkuste nový kód."));
    if (!refreshToken.isEmpty()) {
        CredentialStore::write(context.clientId, refreshToken);
        qCDebug(lcAuth) << "refresh token stored";
    }
    return exchangeMicrosoftToken(context, accessToken);
}

Account refreshSilently(const AuthContext& context)
{
    const QByteArray stored = CredentialStore::read(context.clientId);
    if (stored.isEmpty())
        throw Error(QStringLiteral("Přihlaste se ke svému Microsoft účtu."));
    const QJsonObject reply =
        postMicrosoftForm(context, QStringLiteral("token"),
                          {{kClientId, context.clientId},
                           {kGrantType, QStringLiteral("refresh_token")},
                           {QStringLiteral("refresh_token"), QString::fromUtf8(stored)}});
    // Whatever its value: a refused refresh never counts as tokens.
    if (reply.contains(QLatin1String("error")))
        throw Error(QStringLiteral("Uložené přihlášení vypršelo. Přihlaste se znovu."));
    return finishWithTokens(context, reply);
}

Account runDeviceCodeFlow(const AuthContext& context, const DeviceCodeCallback& onDeviceCode,
                          const detail::PollTiming& timing)
{
    const QJsonObject offer = postMicrosoftForm(
        context, QStringLiteral("devicecode"),
        {{kClientId, context.clientId},
         {QStringLiteral("scope"), QStringLiteral("XboxLive.signin offline_access")}});
    const detail::DeviceCodeOffer checked =
        detail::readDeviceCodeOffer(offer, Endpoints::current().microsoftDomain);
    const QString& deviceCode = checked.deviceCode;
    const qint64 expiresIn = checked.shown.expires;
    qCDebug(lcAuth) << "device code issued for" << checked.shown.url.host() << "lifetime"
                    << expiresIn;
    if (onDeviceCode)
        onDeviceCode(checked.shown);

    const QDateTime deadline = timing.now().addSecs(expiresIn);
    int interval = detail::initialPollInterval(offer.value(QLatin1String("interval")));
    QJsonObject reply;
    while (timing.now() < deadline) {
        timing.sleep(interval * 1000, context.cancel);
        reply = postMicrosoftForm(
            context, QStringLiteral("token"),
            {{kClientId, context.clientId},
             {kGrantType, QStringLiteral("urn:ietf:params:oauth:grant-type:device_code")},
             {QStringLiteral("device_code"), deviceCode}});
        const detail::PollAnswer answer = detail::readPollAnswer(reply);
        if (answer == detail::PollAnswer::Tokens)
            break;
        if (answer == detail::PollAnswer::SlowDown)
            interval = detail::slowedPollInterval(interval);
    }
    // After the deadline the last reply holds no access token, which
    // finishWithTokens reports as an unfinished sign-in.
    return finishWithTokens(context, reply);
}

} // namespace

QJsonObject postMicrosoftForm(const AuthContext& context, const QString& suffix,
                              const FormFields& fields)
{
    const QUrl url = endpointUrl(Endpoints::current().microsoftLogin,
                                 QStringLiteral("/consumers/oauth2/v2.0/") + suffix);
    const HttpResponse response =
        context.http.request(url, QByteArrayLiteral("POST"), detail::formEncode(fields), {},
                             QByteArrayLiteral("application/x-www-form-urlencoded"));
    qCDebug(lcAuth) << "POST" << url.host() << url.path() << "status" << response.status;
    if (response.status != 200 && response.status != 400)
        throw Error(QStringLiteral("Microsoft přihlášení selhalo (HTTP %1).").arg(response.status));
    return parseJsonObject(response.body);
}

Account signIn(const AuthContext& context, bool interactive, const DeviceCodeCallback& onDeviceCode)
{
    return detail::signIn(context, interactive, onDeviceCode, {});
}

namespace detail {

DeviceCodeOffer readDeviceCodeOffer(const QJsonObject& offer, const QString& domain)
{
    const QString deviceCode = offer.value(QLatin1String("device_code")).toString();
    const QString userCode = offer.value(QLatin1String("user_code")).toString();
    const qint64 expiresIn = offer.value(QLatin1String("expires_in")).toInteger(0);
    const QUrl url(offer.value(QLatin1String("verification_uri")).toString(), QUrl::TolerantMode);
    // An empty user code is refused as well: the player would have nothing
    // to type in and the flow could only run out its deadline.
    if (deviceCode.isEmpty() || userCode.isEmpty() || expiresIn < 1 || expiresIn > 1800 ||
        !isVerificationAddress(url, domain)) {
        throw Error(QStringLiteral("Microsoft nevrátil platný přihlašovací kód. Ověřte nastavení "
                                   "veřejné desktopové aplikace."));
    }
    return {deviceCode, DeviceCode{userCode, url, static_cast<qint32>(expiresIn)}};
}

PollAnswer readPollAnswer(const QJsonObject& reply)
{
    const QString error = reply.value(QLatin1String("error")).toString();
    qCDebug(lcAuth) << "poll answered" << (error.isEmpty() ? QStringLiteral("tokens") : error);
    if (error.isEmpty())
        return PollAnswer::Tokens;
    if (error == QLatin1String("slow_down"))
        return PollAnswer::SlowDown;
    if (error == QLatin1String("authorization_pending"))
        return PollAnswer::Pending;
    if (error == QLatin1String("authorization_declined"))
        throw Error(QStringLiteral("Přihlášení bylo odmítnuto."));
    throw Error(QStringLiteral("Přihlašovací kód vypršel nebo registrace aplikace "
                               "nepovoluje přihlášení."));
}

Account signIn(const AuthContext& context, bool interactive, const DeviceCodeCallback& onDeviceCode,
               const PollTiming& timing)
{
    if (context.clientId.isEmpty()) {
        throw Error(QStringLiteral("Správce zatím nenastavil Microsoft Application ID. Registrace "
                                   "aplikace je zdarma; přihlášení bude dostupné po jejím "
                                   "dokončení."));
    }
    if (!interactive)
        return refreshSilently(context);
    PollTiming effective = timing;
    if (!effective.sleep)
        effective.sleep = [](int ms, const CancelFlag& cancel) {
            tarvik::sleepCancellable(ms, cancel);
        };
    if (!effective.now)
        effective.now = [] { return QDateTime::currentDateTimeUtc(); };
    return runDeviceCodeFlow(context, onDeviceCode, effective);
}

QByteArray formEncode(const FormFields& fields)
{
    QByteArray body;
    for (const auto& [name, value] : fields) {
        if (!body.isEmpty())
            body += '&';
        // QByteArray's percent-encoding keeps exactly the unreserved
        // characters: ASCII letters, digits and "-._~".
        body += name.toUtf8().toPercentEncoding();
        body += '=';
        body += value.toUtf8().toPercentEncoding();
    }
    return body;
}

int initialPollInterval(const QJsonValue& interval)
{
    return static_cast<int>(std::clamp<qint64>(interval.toInteger(5), 1, 30));
}

int slowedPollInterval(int seconds)
{
    return std::min(seconds + 5, 60);
}

bool isVerificationAddress(const QUrl& url, const QString& domain)
{
    if (!url.isValid() || url.scheme() != QLatin1String("https") || domain.isEmpty())
        return false;
    const QString host = url.host(QUrl::FullyDecoded);
    return host == domain || host.endsWith(QLatin1Char('.') + domain);
}

} // namespace detail

} // namespace tarvik
