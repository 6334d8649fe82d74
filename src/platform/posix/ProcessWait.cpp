#include "platform/ProcessWait.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace tarvik::platform {

namespace {

ProcessWaitResult pollWithKill(pid_t pid, int timeoutMs)
{
    // kill(pid, 0) only asks whether the process exists; EPERM means it does.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool first = true;
    for (;;) {
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            return first ? ProcessWaitResult::NoSuchProcess : ProcessWaitResult::Ended;
        first = false;
        if (std::chrono::steady_clock::now() >= deadline)
            return ProcessWaitResult::TimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace

ProcessWaitResult waitForProcessExit(std::uint32_t pid, int timeoutMs)
{
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX))
        return ProcessWaitResult::NoSuchProcess;
    if (timeoutMs < 0)
        timeoutMs = 0;
    const auto target = static_cast<pid_t>(pid);
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, target, 0);
    if (fd < 0) {
        if (errno == ESRCH)
            return ProcessWaitResult::NoSuchProcess;
        return pollWithKill(target, timeoutMs); // kernel without pidfd_open
    }
    pollfd watched{static_cast<int>(fd), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int ready = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        ready = ::poll(&watched, 1, static_cast<int>(left > 0 ? left : 0));
        if (ready >= 0 || errno != EINTR)
            break;
    }
    ::close(static_cast<int>(fd));
    return ready > 0 ? ProcessWaitResult::Ended : ProcessWaitResult::TimedOut;
#else
    return pollWithKill(target, timeoutMs);
#endif
}

} // namespace tarvik::platform
