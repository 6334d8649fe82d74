#include "platform/ProcessWait.h"

#include <windows.h>

namespace tarvik::platform {

ProcessWaitResult waitForProcessExit(std::uint32_t pid, int timeoutMs)
{
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        // The process no longer exists: its id is no valid parameter.
        return ::GetLastError() == ERROR_INVALID_PARAMETER ? ProcessWaitResult::NoSuchProcess
                                                           : ProcessWaitResult::OpenFailed;
    }
    const DWORD result =
        ::WaitForSingleObject(process, static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs));
    ::CloseHandle(process);
    return result == WAIT_OBJECT_0 ? ProcessWaitResult::Ended : ProcessWaitResult::TimedOut;
}

} // namespace tarvik::platform
