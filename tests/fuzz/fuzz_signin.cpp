// The sign-in replies (device code, token poll, Xbox user token, XSTS,
// Minecraft login and profile); the input is read as each of them.
// Properties: a device code that may be shown has a user code, a lifetime of
// 1 to 1800 seconds and an HTTPS address whose host, as the player reads it
// and as it is parsed again, is the Microsoft domain or below it; intervals
// and lifetimes stay in their bounds; an accepted profile has a name and id
// that can go on the game's command line as they are.
#include "FuzzSupport.h"

#include "auth/MicrosoftSignIn.h"
#include "auth/XboxSignIn.h"

#include <QRegularExpression>

using namespace tarvik;

namespace {

const QString kDomain = QStringLiteral("microsoft.com");

bool hostIsDomain(const QString& host)
{
    return host == kDomain || host.endsWith(QLatin1Char('.') + kDomain);
}

void checkDeviceCode(const QJsonObject& reply)
{
    const int interval = detail::initialPollInterval(reply.value(QLatin1String("interval")));
    FUZZ_CHECK(interval >= 1 && interval <= 30);
    FUZZ_CHECK(detail::slowedPollInterval(interval) <= 60);
    try {
        const detail::DeviceCodeOffer offer = detail::readDeviceCodeOffer(reply, kDomain);
        FUZZ_CHECK(!offer.deviceCode.isEmpty() && !offer.shown.code.isEmpty());
        FUZZ_CHECK(offer.shown.expires >= 1 && offer.shown.expires <= 1800);
        FUZZ_CHECK(offer.shown.url.scheme() == QLatin1String("https"));
        FUZZ_CHECK(hostIsDomain(offer.shown.url.host(QUrl::FullyDecoded)));
        // The text the window shows, opened again by the browser.
        const QUrl again(offer.shown.url.toString(), QUrl::TolerantMode);
        FUZZ_CHECK(hostIsDomain(again.host(QUrl::FullyDecoded)));
    } catch (const Error&) {
    }
}

void checkChain(const QJsonObject& reply)
{
    try {
        FUZZ_CHECK(detail::readPollAnswer(reply) != detail::PollAnswer::Tokens ||
                   !reply.contains(QLatin1String("error")) ||
                   reply.value(QLatin1String("error")).toString().isEmpty());
    } catch (const Error&) {
    }
    try {
        FUZZ_CHECK(!detail::readUserToken(reply).isEmpty());
    } catch (const Error&) {
    }
    try {
        const detail::XstsIdentity identity = detail::readXstsReply(reply);
        FUZZ_CHECK(!identity.userHash.isEmpty() && !identity.token.isEmpty());
    } catch (const Error&) {
    }
    try {
        FUZZ_CHECK(!detail::readLoginToken(reply).isEmpty());
    } catch (const Error&) {
    }
    const qint64 lifetime =
        detail::sessionLifetimeSeconds(reply.value(QLatin1String("expires_in")));
    FUZZ_CHECK(lifetime >= 1 && lifetime <= 86400);
    try {
        const Account account = detail::readProfile(reply);
        static const QRegularExpression name(QStringLiteral("\\A[A-Za-z0-9_]{1,16}\\z"));
        static const QRegularExpression uuid(QStringLiteral("\\A[0-9a-fA-F]{32}\\z"));
        FUZZ_CHECK(name.match(account.name).hasMatch() && uuid.match(account.uuid).hasMatch());
    } catch (const Error&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::optional<QJsonObject> reply = fuzz::jsonObject(data, size);
    if (!reply)
        return 0;
    checkDeviceCode(*reply);
    checkChain(*reply);
    return 0;
}
