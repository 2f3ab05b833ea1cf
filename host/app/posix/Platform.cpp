#include "Platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// The stop handler's only way out: a byte naming the signal.
int stopSignalWriteEnd = -1;

void onStopSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto written = ::write(stopSignalWriteEnd, &byte, 1);
    errno = saved;
}

}  // namespace

struct SessionSignals::State {
    int read = -1;
    int write = -1;
    std::vector<int> handled;
    std::vector<struct sigaction> saved;
    sigset_t savedMask{};
    StopCallback onStop;
    std::thread thread;
};

SessionSignals::SessionSignals(bool editorTakesInterrupt, StopCallback onStop) : state(std::make_unique<State>())
{
    auto& s = *state;
    s.onStop = std::move(onStop);
    // For the whole run: a write past RLIMIT_FSIZE must fail like a write to
    // a full disk, so the file being written is cleaned up and reported
    // instead of the program dying half-way through it.
    ::signal(SIGXFSZ, SIG_IGN);

    int ends[2];
    // A handler never blocks: a full pipe has said enough.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::system_category(), "cannot create the pipe for signals");
    }
    s.read = ends[0];
    s.write = ends[1];
    stopSignalWriteEnd = s.write;

    // Signals sent to the process go to the one thread that does not block
    // them, the one below, rather than interrupting a call of the plugin's
    // threads. SIGPIPE belongs to the thread whose write failed and stays
    // unblocked everywhere.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGWINCH}) sigaddset(&blocked, signal);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &s.savedMask);

    s.handled = {SIGTERM, SIGHUP, SIGPIPE};
    if (!editorTakesInterrupt) s.handled.push_back(SIGINT);
    s.saved.resize(s.handled.size());
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < s.handled.size(); ++i) ::sigaction(s.handled[i], &action, &s.saved[i]);

    s.thread = std::thread([&s, blocked] {
        ::pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
        // poll, unlike read, is left by a signal even with SA_RESTART, and
        // ThreadSanitizer runs handlers at once only in calls such as poll.
        for (;;) {
            pollfd watched{s.read, POLLIN, 0};
            if (::poll(&watched, 1, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            char bytes[16];
            const ssize_t count = ::read(s.read, bytes, sizeof bytes);
            if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (count <= 0) return;
            for (ssize_t i = 0; i < count; ++i) {
                if (bytes[i] == 0) return;  // the destructor's
                s.onStop(static_cast<unsigned char>(bytes[i]));
            }
        }
    });
}

SessionSignals::~SessionSignals()
{
    auto& s = *state;
    const char stop = 0;
    // Blocking here is fine: the thread drains the pipe.
    ::fcntl(s.write, F_SETFL, 0);
    while (::write(s.write, &stop, 1) < 0 && errno == EINTR) {
    }
    s.thread.join();
    for (std::size_t i = 0; i < s.handled.size(); ++i) ::sigaction(s.handled[i], &s.saved[i], nullptr);
    ::pthread_sigmask(SIG_SETMASK, &s.savedMask, nullptr);
    stopSignalWriteEnd = -1;
    ::close(s.write);
    ::close(s.read);
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
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::system_category(), "cannot create the input reader's stop pipe");
    }
    stopRead = pipe[0];
    stopWrite = pipe[1];
    thread = std::thread([this] { read(); });
}

bool LineReader::failed() const
{
    return readFailed;
}

LineReader::~LineReader()
{
    if (thread.joinable()) {
        const char stop = 0;
        while (::write(stopWrite, &stop, 1) < 0 && errno == EINTR) {
        }
        thread.join();
        ::close(stopWrite);
        ::close(stopRead);
    }
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
            pollfd watched[2] = {{input, POLLIN, 0}, {stopRead, POLLIN, 0}};
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
