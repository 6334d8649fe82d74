#include "platform/ProcessExit.h"

#include <cstdio>

#include <windows.h>

namespace tarvik::platform {

void endProcess(int exitCode)
{
#ifdef __MINGW32__
    std::fflush(nullptr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitCode));
#else
    (void)exitCode;
#endif
}

} // namespace tarvik::platform
