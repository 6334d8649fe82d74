// The Windows store: generic credentials of the Credential Manager through
// the Qt-free functions of platform/WinCredentials.h.
#include "auth/CredentialStore.h"

#include "fs/Error.h"
#include "platform/WinCredentials.h"

#include <algorithm>
#include <string>

namespace tarvik {

namespace {

std::wstring wideTarget(const QString& clientId)
{
    return CredentialStore::targetName(clientId).toStdWString();
}

} // namespace

QString CredentialStore::folder()
{
    return {};
}

QByteArray CredentialStore::read(const QString& clientId)
{
    std::string blob;
    if (!platform::win::readGenericCredential(wideTarget(clientId), blob))
        return {};
    QByteArray token(blob.data(), static_cast<qsizetype>(blob.size()));
    std::fill(blob.begin(), blob.end(), '\0');
    return token;
}

void CredentialStore::write(const QString& clientId, const QByteArray& token)
{
    detail::checkStorableToken(token);
    std::string blob(token.constData(), static_cast<size_t>(token.size()));
    const bool written =
        platform::win::writeGenericCredential(wideTarget(clientId), L"Microsoft", blob);
    std::fill(blob.begin(), blob.end(), '\0');
    if (!written)
        throw Error(QStringLiteral("Windows Správce pověření odmítl uložení přihlášení."));
}

void CredentialStore::remove(const QString& clientId)
{
    // deleteGenericCredential already counts ERROR_NOT_FOUND as success.
    if (platform::win::deleteGenericCredential(wideTarget(clientId)) != 0)
        throw Error(QStringLiteral("Nelze odstranit uložené přihlášení."));
}

} // namespace tarvik
