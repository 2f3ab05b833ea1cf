#include "Pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

namespace tarnwick::host::app {
namespace {

// Where each signal's handler writes: the one way out of a handler. Two
// SignalPipes (the session's and the line editor's) take different signals.
std::atomic<int> writeEndOf[NSIG];
static_assert(std::atomic<int>::is_always_lock_free, "a handler may only touch lock-free atomics");

void onSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto written = ::write(writeEndOf[signal].load(), &byte, 1);
    errno = saved;
}

}  // namespace

Pipe::Pipe(int flags, const char* failure)
{
    if (::pipe2(ends, O_CLOEXEC | flags) != 0) throw std::system_error(errno, std::system_category(), failure);
}

Pipe::~Pipe()
{
    ::close(ends[0]);
    ::close(ends[1]);
}

void Pipe::notify() const
{
    const char byte = 0;
    while (::write(ends[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

void Pipe::drain() const
{
    char bytes[64];
    while (::read(ends[0], bytes, sizeof bytes) > 0) {
    }
}

// A handler never blocks: a full pipe has said enough.
SignalPipe::SignalPipe(std::vector<int> caught)
    : pipe(O_NONBLOCK, "cannot create the pipe for signals"), signals(std::move(caught)), saved(signals.size())
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    // A call that a signal interrupts goes on; poll returns all the same.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < signals.size(); ++i) {
        writeEndOf[signals[i]] = pipe.writeEnd();
        ::sigaction(signals[i], &action, &saved[i]);
    }
}

SignalPipe::~SignalPipe()
{
    for (std::size_t i = 0; i < signals.size(); ++i) {
        ::sigaction(signals[i], &saved[i], nullptr);
        writeEndOf[signals[i]] = -1;
    }
}

std::optional<int> SignalPipe::next() const
{
    unsigned char byte = 0;
    if (::read(pipe.readEnd(), &byte, 1) != 1) return std::nullopt;
    return byte;
}

}  // namespace tarnwick::host::app
