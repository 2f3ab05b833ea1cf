#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace tarnwick_watch {

using Clock = std::chrono::steady_clock;

// What main waits for: a stop request from the user (exit status 0), or a
// failure reported by the watcher's callback (its status). The first wins.
class StopRequest {
public:
    StopRequest();
    ~StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // Any thread.
    void end(int exitStatus) noexcept
    {
        settle(exitStatus);
        wake();
    }
    // Blocks until the user asks to stop or end is called, and gives the
    // exit status; or until `until` (max: no end), and gives nothing.
    std::optional<int> wait(Clock::time_point until);

private:
    void settle(int exitStatus) noexcept
    {
        int unsettled = -1;
        status.compare_exchange_strong(unsettled, exitStatus);
    }
    void wake() noexcept;

    std::atomic<int> status{-1};
#ifdef _WIN32
    HANDLE woken = nullptr;
    static BOOL WINAPI onConsoleControl(DWORD) noexcept;
#else
    void closeDescriptors() noexcept;

    sigset_t stopSignals;
    int signals = -1;
    int woken = -1;
#endif
};

// For the system's timed waits: -1 for no end; rounded up, so as not to
// wake before `until`.
inline int millisecondsUntil(Clock::time_point until)
{
    if (until == Clock::time_point::max()) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, std::numeric_limits<int>::max()));
}

}  // namespace tarnwick_watch
