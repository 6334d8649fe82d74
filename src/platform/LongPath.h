// The long form of Windows paths ("\\?\C:\...", "\\?\UNC\server\share\..."),
// which the system accepts beyond 260 characters. Every path that the Windows
// layer hands to the system goes through it. Qt-free; no state.
#pragma once

#ifdef _WIN32
#include <string>

namespace tarvik::platform {

// The path made absolute and normalised (separators, "." and "..") by the
// system's own rules, with the long-form prefix; a path already in that
// form, or a device path ("\\.\"), is returned unchanged. Empty stays empty.
std::wstring longPath(const std::wstring& path);

} // namespace tarvik::platform
#endif
