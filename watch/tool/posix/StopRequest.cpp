#include "StopRequest.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tarnwick_watch {

// SIGINT and SIGTERM are blocked before the watcher starts, so its threads
// inherit the mask and the signals are read here instead of killing the
// process.
StopRequest::StopRequest()
{
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (const int error = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); error != 0) {
        throw std::system_error(error, std::system_category());
    }
    signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    const int signalsError = errno;
    woken = ::eventfd(0, EFD_CLOEXEC);
    const int wokenError = errno;
    if (signals < 0 || woken < 0) {
        // No destructor runs for a constructor that throws.
        closeDescriptors();
        throw std::system_error(signals < 0 ? signalsError : wokenError, std::system_category());
    }
}

StopRequest::~StopRequest()
{
    closeDescriptors();
}

void StopRequest::closeDescriptors() noexcept
{
    for (const int fd : {signals, woken}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void StopRequest::wake() noexcept
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(woken, &one, sizeof one);
}

std::optional<int> StopRequest::wait(Clock::time_point until)
{
    pollfd waitFor[2] = {{signals, POLLIN, 0}, {woken, POLLIN, 0}};
    // EINTR: a stop and continue (SIGSTOP, SIGCONT) ends the poll early.
    int ready;
    while ((ready = ::poll(waitFor, 2, millisecondsUntil(until))) < 0 && errno == EINTR) {
    }
    if (ready == 0) {
        return std::nullopt;
    }
    settle(ready < 0 ? 1 : 0);
    return status.load();
}

}  // namespace tarnwick_watch
