// Waiting for another process to end, by process id (the updater waits for
// the launcher that started it). Qt-free; safe on any thread.
#pragma once

#include <cstdint>

namespace tarvik::platform {

enum class ProcessWaitResult {
    // The process ended within the time-out.
    Ended,
    // No process has this id (any more).
    NoSuchProcess,
    // Still running when the time-out passed, or the wait itself failed.
    TimedOut,
    // The process exists but cannot be watched (e.g. access denied).
    OpenFailed,
};

inline constexpr int kProcessWaitTimeoutMs = 120000;

// Windows: OpenProcess(SYNCHRONIZE) + WaitForSingleObject, where
// ERROR_INVALID_PARAMETER from OpenProcess means the process is gone.
// POSIX: pidfd_open + poll, falling back to kill(pid, 0) every 100 ms where
// pidfd_open is unavailable; ESRCH means the process is gone.
ProcessWaitResult waitForProcessExit(std::uint32_t pid, int timeoutMs = kProcessWaitTimeoutMs);

} // namespace tarvik::platform
