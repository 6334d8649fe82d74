#include "platform/ReparsePoint.h"

#include "platform/LongPath.h"

#include <windows.h>

namespace tarvik::platform {

bool isReparsePoint(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace tarvik::platform
