// The signed-in player and what the sign-in routines receive from their job.
// Plain values: an Account lives in memory only (the Controller keeps one,
// jobs get copies) and is never written to disk.
#pragma once

#include "fs/Error.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace tarvik {

class Http;

// The signed-in player, returned by value from the sign-in chain. An empty
// Account (empty strings and token, invalid expiresAt) stands for a player who
// is not signed in. Safe to copy across threads.
struct Account
{
    // Minecraft player name, "^[A-Za-z0-9_]{1,16}$".
    QString name;
    // Minecraft profile id, 32 hexadecimal digits without hyphens.
    QString uuid;
    // Xbox user id; empty when the XSTS reply had no claim for it.
    QString xuid;
    // The Microsoft application id with which the sign-in was made.
    QString clientId;
    // Bearer token for the Minecraft services and the game. Never log it.
    QByteArray accessToken;
    // When accessToken lapses (UTC).
    QDateTime expiresAt;
};

// What the sign-in routines receive from the background job that runs them:
// the job's Http (used on the job's thread only), the catalog's Microsoft
// application id (may be empty) and the job's cancel flag. Built by the job,
// valid while the job runs.
struct AuthContext
{
    Http& http;
    QString clientId;
    CancelFlag cancel;
};

// Seconds before expiry below which a Minecraft token is not used any more.
inline constexpr int kSessionMarginSeconds = 120;

// True when the account has a token that lapses strictly later than now plus
// 120 seconds (exactly 120 seconds is not usable). Reads only its argument and
// the clock; any thread.
bool isSessionUsable(const Account& account);

namespace detail {
// isSessionUsable against a given moment instead of the clock.
bool isSessionUsable(const Account& account, const QDateTime& nowUtc);
} // namespace detail

} // namespace tarvik
