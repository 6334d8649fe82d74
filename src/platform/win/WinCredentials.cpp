#include "platform/WinCredentials.h"

// windows.h first: the other Windows headers depend on it.
#include <windows.h>

#include <wincred.h>

#include <cstring>

namespace tarvik::platform::win {

bool readGenericCredential(const std::wstring& target, std::string& blob)
{
    PCREDENTIALW credential = nullptr;
    if (!::CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential))
        return false;
    blob.assign(reinterpret_cast<const char*>(credential->CredentialBlob),
                credential->CredentialBlobSize);
    ::CredFree(credential);
    return true;
}

bool writeGenericCredential(const std::wstring& target, const std::wstring& userName,
                            const std::string& blob)
{
    CREDENTIALW credential;
    std::memset(&credential, 0, sizeof credential);
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<LPWSTR>(target.c_str());
    credential.UserName = const_cast<LPWSTR>(userName.c_str());
    credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
    credential.CredentialBlob = reinterpret_cast<LPBYTE>(const_cast<char*>(blob.data()));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    return ::CredWriteW(&credential, 0) != FALSE;
}

unsigned long deleteGenericCredential(const std::wstring& target)
{
    if (::CredDeleteW(target.c_str(), CRED_TYPE_GENERIC, 0))
        return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_NOT_FOUND ? 0 : error;
}

} // namespace tarvik::platform::win
