#include "Platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/host/Host.h"

namespace tarnwick::host::app {

std::filesystem::path executablePath()
{
    return std::filesystem::read_symlink("/proc/self/exe");
}

bool standardInputIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

bool isTerminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

std::optional<std::filesystem::path> systemDataFolder()
{
    return std::nullopt;
}

namespace {

// Blocks signals in this thread and in the threads it starts from now on;
// the mask comes back on destruction.
class BlockedSignals {
public:
    explicit BlockedSignals(std::initializer_list<int> signals)
    {
        sigemptyset(&blocked);
        for (const int signal : signals) sigaddset(&blocked, signal);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    }
    ~BlockedSignals() { ::pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
    BlockedSignals(const BlockedSignals&) = delete;
    BlockedSignals& operator=(const BlockedSignals&) = delete;

    // Unblocks them in the calling thread only.
    void unblockHere() const { ::pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr); }

private:
    sigset_t blocked{};
    sigset_t saved{};
};

std::vector<int> stopSignals(bool editorTakesInterrupt)
{
    std::vector<int> signals{SIGTERM, SIGHUP, SIGPIPE};
    if (!editorTakesInterrupt) signals.push_back(SIGINT);
    return signals;
}

}  // namespace

// Set up in the order of declaration and undone in reverse: the thread is
// joined first, then the handlers go, then the mask.
struct SessionSignals::State {
    State(bool editorTakesInterrupt, StopCallback onStop)
        : caught(stopSignals(editorTakesInterrupt)), onStop(std::move(onStop))
    {
    }

    void forwardStops();

    // Signals sent to the process go to the one thread that does not block
    // them, the one below, rather than interrupting a call of the plugin's
    // threads. SIGPIPE belongs to the thread whose write failed and stays
    // unblocked everywhere.
    BlockedSignals blocked{SIGTERM, SIGHUP, SIGINT, SIGWINCH};
    SignalPipe caught;
    Pipe stop{0, "cannot create the pipe that stops the signal thread"};
    StopCallback onStop;
    std::thread thread;
};

void SessionSignals::State::forwardStops()
{
    blocked.unblockHere();
    // poll, unlike read, is left by a signal even with SA_RESTART, and
    // ThreadSanitizer runs handlers at once only in calls such as poll.
    for (;;) {
        pollfd watched[] = {{caught.readEnd(), POLLIN, 0}, {stop.readEnd(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) return;
        if (watched[1].revents != 0) return;
        while (const auto signal = caught.next()) onStop(*signal);
    }
}

SessionSignals::SessionSignals(bool editorTakesInterrupt, StopCallback onStop)
{
    // For the whole run: a write past RLIMIT_FSIZE must fail like a write to
    // a full disk, so the file being written is cleaned up and reported
    // instead of the program dying half-way through it.
    ::signal(SIGXFSZ, SIG_IGN);
    state = std::make_unique<State>(editorTakesInterrupt, std::move(onStop));
    state->thread = std::thread([&s = *state] { s.forwardStops(); });
}

SessionSignals::~SessionSignals()
{
    state->stop.notify();
    state->thread.join();
}

ConsoleTextOutput::ConsoleTextOutput() = default;

ConsoleTextOutput::~ConsoleTextOutput() = default;

LineReader::LineReader(const std::optional<std::filesystem::path>& script, std::optional<std::string> prompt)
    : name(script ? "script " + script->string() : "standard input"), prompt(std::move(prompt))
{
    if (script) {
        input = ::open(script->c_str(), O_RDONLY | O_CLOEXEC);
        if (input < 0) {
            throw std::system_error(errno, std::system_category(), fmt::format("cannot open {}", name));
        }
        ownsInput = true;
    } else {
        input = STDIN_FILENO;
    }
    // A folder opens, but every read of it fails: say so before anything runs.
    struct stat status = {};
    if (::fstat(input, &status) == 0 && S_ISDIR(status.st_mode)) {
        if (ownsInput) ::close(input);
        throw std::system_error(EISDIR, std::system_category(), fmt::format("cannot read {}", name));
    }
}

void LineReader::start(LineCallback onLine, EndCallback onEnd)
{
    this->onLine = std::move(onLine);
    this->onEnd = std::move(onEnd);
    stopPipe.emplace(0, "cannot create the input reader's stop pipe");
    thread = std::thread([this] { read(); });
}

void LineReader::stop()
{
    if (!thread.joinable()) return;
    stopPipe->notify();
    thread.join();
}

bool LineReader::failed() const
{
    return readFailed;
}

LineReader::~LineReader()
{
    stop();
    if (ownsInput) ::close(input);
}

void LineReader::read()
{
    std::string pending;
    const auto deliverLines = [&] {
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            onLine(std::move(line));
        }
        // One long line leaves a buffer as long: keep nothing nobody reads.
        if (pending.capacity() > 64 * 1024 && pending.size() < pending.capacity() / 4) pending.shrink_to_fit();
    };
    const auto fail = [&](std::string_view what) {
        const int code = errno;
        readFailed = true;
        std::cerr << "tarnwick-host: " << what << " " << consoleText(name) << " failed: " << std::strerror(code)
                  << '\n';
        onEnd();
    };
    for (;;) {
        if (prompt) std::cout << *prompt << std::flush;
        bool haveLine = false;
        while (!haveLine) {
            pollfd watched[2] = {{input, POLLIN, 0}, {stopPipe->readEnd(), POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR) continue;
                fail("waiting for");
                return;
            }
            if (watched[1].revents != 0) return;
            char buffer[4096];
            const ssize_t count = ::read(input, buffer, sizeof buffer);
            if (count < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                fail("reading");
                return;
            }
            if (count == 0) {
                // A last line without a line break still counts.
                if (!pending.empty()) onLine(std::exchange(pending, {}));
                onEnd();
                return;
            }
            pending.append(buffer, static_cast<std::size_t>(count));
            // Only the new bytes: everything before them had no line break.
            haveLine = std::memchr(buffer, '\n', static_cast<std::size_t>(count)) != nullptr;
        }
        deliverLines();
    }
}

}  // namespace tarnwick::host::app

int main(int argc, char** argv)
{
    return tarnwick::host::app::hostMain(argc, argv);
}
