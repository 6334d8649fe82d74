// Link refusal: whether a path is a symbolic link, junction or mount point.
// Free function without state, safe on any thread.
#pragma once

#include <string>

namespace tarvik::platform {

// True exactly when the file system returns attributes for the path and they
// mark a reparse point (Windows) or a symbolic link (POSIX, dangling links
// included). A path that does not exist is not one. The path is UTF-8 on
// POSIX and UTF-16 on Windows.
#ifdef _WIN32
bool isReparsePoint(const std::wstring& path);
#else
bool isReparsePoint(const std::string& path);
#endif

} // namespace tarvik::platform
