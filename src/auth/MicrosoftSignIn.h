// The first half of the sign-in: the Microsoft identity platform's device
// authorisation grant (interactive) and refresh-token grant (silent), ending
// in the Xbox and Minecraft chain of XboxSignIn.h. Free functions without
// state; they run on a background job's thread with the job's Http.
#pragma once

#include "auth/Account.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>

namespace tarvik {

// The code that the player types in at the verification address, shown while
// the device-code flow polls. A plain value handed to the user interface.
struct DeviceCode
{
    // "user_code" of the reply, shown as received.
    QString code;
    // "verification_uri", already checked to be an HTTPS address of the
    // Microsoft corporate domain.
    QUrl url;
    // Lifetime of the code in seconds, 1 to 1800.
    qint32 expires = 0;
};

// Receives the device code once, on the job's thread.
using DeviceCodeCallback = std::function<void(const DeviceCode&)>;

// Ordered form fields of a request to the identity platform.
using FormFields = QList<QPair<QString, QString>>;

// POSTs the form-encoded fields to the identity platform's consumer OAuth
// endpoint + `suffix` ("devicecode" or "token"). Statuses 200 and 400 are
// answers and return the reply object ("Server poslal neplatný JSON." when it
// is not one); any other status throws
// "Microsoft přihlášení selhalo (HTTP <status>).".
QJsonObject postMicrosoftForm(const AuthContext& context, const QString& suffix,
                              const FormFields& fields);

// Signs in with the context's application id: `interactive` runs the device-
// code flow (onDeviceCode, when set, receives the code), otherwise the silent
// refresh with the stored refresh token. A refresh token that comes back is
// stored before the Xbox chain runs. Returns the complete Account or throws
// Error; "Operace byla zrušena." as soon as the cancel flag is seen while
// waiting between polls (slices of at most 100 ms).
Account signIn(const AuthContext& context, bool interactive,
               const DeviceCodeCallback& onDeviceCode = {});

namespace detail {

// The device authorisation reply, checked: a device code, a non-empty user
// code, a lifetime of 1 to 1800 seconds and a verification address of
// `domain`; otherwise throws the invalid-code Error.
struct DeviceCodeOffer
{
    QString deviceCode;
    DeviceCode shown;
};
DeviceCodeOffer readDeviceCodeOffer(const QJsonObject& offer, const QString& domain);

// What a poll of the token endpoint answered: tokens (no "error"), still
// pending, or slow down; a refusal or any other error is thrown.
enum class PollAnswer { Tokens, Pending, SlowDown };
PollAnswer readPollAnswer(const QJsonObject& reply);

// The form body: pairs joined by "&", names and values percent-encoded except
// ASCII letters, digits and "-._~".
QByteArray formEncode(const FormFields& fields);

// First poll interval in seconds: "interval" of the device authorisation
// reply, 5 when missing or not a whole number, clamped to 1..30.
int initialPollInterval(const QJsonValue& interval);
// The interval after a "slow_down" answer: 5 seconds more, at most 60.
int slowedPollInterval(int seconds);

// Whether the verification address may be shown: scheme exactly "https" and a
// host that is `domain` itself or ends with "." + `domain`.
bool isVerificationAddress(const QUrl& url, const QString& domain);

// The waits and the clock of the device-code flow, replaceable so that long
// interval sequences and deadlines can be checked without waiting for them.
struct PollTiming
{
    // Waits the milliseconds, throwing "Operace byla zrušena." when the flag
    // is seen set (sleepCancellable by default).
    std::function<void(int milliseconds, const CancelFlag& cancel)> sleep;
    // The current UTC time (QDateTime::currentDateTimeUtc by default).
    std::function<QDateTime()> now;
};

// signIn with the given waits and clock; empty members use the defaults.
Account signIn(const AuthContext& context, bool interactive, const DeviceCodeCallback& onDeviceCode,
               const PollTiming& timing);

} // namespace detail

} // namespace tarvik
