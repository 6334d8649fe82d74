// Windows Credential Manager access for the stored sign-in, kept free of Qt
// (plain wide strings and bytes) so that it compiles with MinGW-w64 and can be
// exercised under Wine. Only built on Windows; the launcher's CredentialStore
// wraps it. Free functions without state.
#pragma once

#ifdef _WIN32

#include <string>

namespace tarvik::platform::win {

// Copies the generic credential's blob; false when CredReadW fails
// (a missing and an unreadable credential are the same: nothing stored).
bool readGenericCredential(const std::wstring& target, std::string& blob);

// Creates or replaces the generic credential `target` with the user name and
// blob, persisted for the local machine. Returns false when CredWriteW fails.
bool writeGenericCredential(const std::wstring& target, const std::wstring& userName,
                            const std::string& blob);

// Deletes the generic credential; an absent one (ERROR_NOT_FOUND) is success.
// Returns 0 on success, else the GetLastError code of CredDeleteW.
unsigned long deleteGenericCredential(const std::wstring& target);

} // namespace tarvik::platform::win

#endif
