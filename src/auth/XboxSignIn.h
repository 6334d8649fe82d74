// The second half of the sign-in: a Microsoft access token exchanged, in four
// fixed requests, for an Xbox Live user token, an XSTS token for the Minecraft
// services, a Minecraft access token and the player's profile. Free functions
// without state; they run on the job's thread with the job's Http.
#pragma once

#include "auth/Account.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QUrl>

namespace tarvik {

// Posts the object as compact JSON ("application/json", no bearer token) to
// the full endpoint address and returns the reply object of a 200 answer.
// Other statuses throw, by endpoint: the Minecraft login with 403 the
// application-approval message, XSTS with any status the Xbox refusal,
// otherwise "Ověření účtu selhalo (HTTP <status>, <host>).".
QJsonObject postAccountJson(const AuthContext& context, const QUrl& endpoint,
                            const QJsonObject& body);

// User authentication, XSTS, Minecraft login and profile, in this order; the
// first failure ends the chain with its Error and no later request is sent.
// Returns a complete, validated Account.
Account exchangeMicrosoftToken(const AuthContext& context, const QByteArray& microsoftAccessToken);

namespace detail {

// The replies of the chain, read leniently and checked; each throws the
// chain's Error for its step.
// The user token of the user-authentication reply ("Token").
QString readUserToken(const QJsonObject& reply);
// What the XSTS reply yields: the user hash and Xbox user id of the first
// "xui" claim, and the token.
struct XstsIdentity
{
    QString userHash;
    QString token;
    // Empty when the claim has none.
    QString xuid;
};
XstsIdentity readXstsReply(const QJsonObject& reply);
// The Minecraft access token of the login reply.
QByteArray readLoginToken(const QJsonObject& reply);
// An Account with the profile's name and id, both checked by isValidProfile.
Account readProfile(const QJsonObject& reply);
// Lifetime in seconds of a Minecraft token from the login reply's
// "expires_in": 3600 when missing or not a number, at most 86400, 1 below 2.
qint64 sessionLifetimeSeconds(const QJsonValue& expiresIn);
// The profile rules: a 32-digit hexadecimal id and a 1-16 character name of
// letters, digits and "_", matched as a whole (no trailing line break).
bool isValidProfile(const QString& uuid, const QString& name);
} // namespace detail

} // namespace tarvik
