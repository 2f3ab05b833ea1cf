#include "StopRequest.h"

#include <system_error>

namespace tarnwick_watch {
namespace {

StopRequest* consoleStop = nullptr;

}  // namespace

// Stops on Ctrl+C, Ctrl+Break, and the console closing or the session ending.
StopRequest::StopRequest()
{
    woken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    consoleStop = this;
    if (woken == nullptr || !::SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        const DWORD error = ::GetLastError();
        // No destructor runs for a constructor that throws.
        if (woken != nullptr) ::CloseHandle(woken);
        throw std::system_error(static_cast<int>(error), std::system_category());
    }
}

StopRequest::~StopRequest()
{
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
    ::CloseHandle(woken);
}

BOOL WINAPI StopRequest::onConsoleControl(DWORD) noexcept
{
    // Runs on a thread the system starts; main does the teardown.
    consoleStop->end(0);
    return TRUE;
}

void StopRequest::wake() noexcept
{
    ::SetEvent(woken);
}

std::optional<int> StopRequest::wait(Clock::time_point until)
{
    const int milliseconds = millisecondsUntil(until);
    if (::WaitForSingleObject(woken, milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds)) == WAIT_TIMEOUT) {
        return std::nullopt;
    }
    return status.load();
}

}  // namespace tarnwick_watch
