#include "auth/CredentialStore.h"

#include "fs/Error.h"

namespace tarvik {

QString CredentialStore::targetName(const QString& clientId)
{
    return QStringLiteral("TarvikClient/Microsoft/") + clientId;
}

namespace detail {

// Shared by both stores: refuses what no store accepts before anything is
// written.
void checkStorableToken(const QByteArray& token)
{
    if (token.isEmpty() || token.size() > kMaxStoredTokenSize)
        throw Error(QStringLiteral("Přihlašovací token nelze bezpečně uložit."));
}

} // namespace detail

} // namespace tarvik
