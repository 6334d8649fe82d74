// The one sign-in secret that survives a restart: the Microsoft refresh
// token, one entry per application id under the target name
// "TarvikClient/Microsoft/" + id. On Windows a generic credential of the
// Credential Manager (platform/WinCredentials.h); elsewhere one file per
// target name in a private folder below dataDir() (folder 0700, file 0600,
// written atomically). Access tokens and the profile are never stored.
#pragma once

#include <QByteArray>
#include <QString>

namespace tarvik {

// Largest token that is stored (bytes of its UTF-8 form).
inline constexpr qsizetype kMaxStoredTokenSize = 2560;

// Stateless access to the stored refresh token. read and write run on job
// threads, remove on the GUI thread; the Controller never lets them overlap,
// so the store holds no lock.
class CredentialStore
{
public:
    // "TarvikClient/Microsoft/" + the application id, as given.
    static QString targetName(const QString& clientId);

    // The stored token, or an empty byte string when nothing is stored or the
    // entry cannot be read. Never throws.
    static QByteArray read(const QString& clientId);

    // Creates or replaces the entry. Throws
    // "Přihlašovací token nelze bezpečně uložit." for an empty token or one
    // longer than 2560 bytes (nothing is written), and the store's refusal
    // otherwise; a failed write leaves the earlier entry as it was.
    static void write(const QString& clientId, const QByteArray& token);

    // Deletes the entry; nothing stored is success. Throws
    // "Nelze odstranit uložené přihlášení." when the entry stays.
    static void remove(const QString& clientId);

    // The folder of the POSIX store (dataDir() + "/credentials"); empty on
    // Windows, where the Credential Manager holds the entries.
    static QString folder();
};

namespace detail {
// Throws "Přihlašovací token nelze bezpečně uložit." for a token that no store
// accepts (empty, or longer than kMaxStoredTokenSize).
void checkStorableToken(const QByteArray& token);
} // namespace detail

} // namespace tarvik
