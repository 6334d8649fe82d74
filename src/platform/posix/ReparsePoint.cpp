#include "platform/ReparsePoint.h"

#include <sys/stat.h>

namespace tarvik::platform {

bool isReparsePoint(const std::string& path)
{
    struct stat st
    {
    };
    // lstat does not follow the link, so a dangling link is still seen.
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISLNK(st.st_mode);
}

} // namespace tarvik::platform
