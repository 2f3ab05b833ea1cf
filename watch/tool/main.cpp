// tarnwick-watch: prints what the directory watcher reports, one line per
// change, until interrupted.
#include "ChangeLine.h"

#include <filewatch/DirectoryWatcher.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace {

using filewatch::PathString;

const char usage[] =
    "Usage: tarnwick-watch [--json] PATH\n"
    "\n"
    "Watches PATH and everything below it and prints one line per change,\n"
    "\"<kind>\\t<path relative to PATH>\", kind being added, removed, modified,\n"
    "renamed_old_name or renamed_new_name. If PATH is a file, watches its\n"
    "folder and reports only changes to entries of that name.\n"
    "\n"
    "The line \"overflow\\t\" (empty path) says that the system dropped changes:\n"
    "look at PATH afresh. A line break in a name is written as \\n or \\r\n"
    "(\\u2028, \\u2029 on Windows); --json gives every name exactly. A folder\n"
    "that cannot be watched is named on standard error, with the reason.\n"
    "\n"
#ifdef _WIN32
    "Prints \"watching PATH\" to standard error once watching runs, and stops\n"
    "on Ctrl+C, Ctrl+Break or when its console closes. Paths are printed as\n"
    "UTF-8.\n"
    "\n"
    "  --json   print JSON Lines: {\"kind\":\"added\",\"path\":\"a\\\\b\"}. A lone\n"
    "           surrogate in a name is written as its \\uXXXX escape.\n"
#else
    "Prints \"watching PATH\" to standard error once watching runs, and stops\n"
    "on Ctrl+C (SIGINT) or SIGTERM.\n"
    "\n"
    "  --json   print JSON Lines: {\"kind\":\"added\",\"path\":\"a/b\"}. A byte\n"
    "           that is not UTF-8 is written as \\udcXX (XX its hex value).\n"
#endif
    "  --help   print this text\n"
    "\n"
    "Exit status: 0 when stopped, 1 when PATH cannot be watched, is deleted or\n"
    "moved away, or the output cannot be written, 2 for wrong arguments.\n";

template <std::size_t N>
PathString nativeText(const char (&text)[N])
{
    return PathString(text, text + N - 1);
}

#ifdef _WIN32
const char* const separator = "\\";
#else
const char* const separator = "/";
#endif

std::string printable(const PathString& text)
{
#ifdef _WIN32
    return tarnwick_watch::utf8(text);
#else
    return text;
#endif
}

// What main waits for: a stop request from the user (exit status 0), or a
// failure on the watcher's delivery thread (its status). The first wins.
class StopRequest {
public:
    StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // Any thread.
    void end(int exitStatus) noexcept
    {
        settle(exitStatus);
        wake();
    }
    // Blocks until the user asks to stop or end is called; the exit status.
    int wait();

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
    sigset_t stopSignals;
    int signals = -1;
    int woken = -1;
#endif
};

#ifdef _WIN32
StopRequest* consoleStop = nullptr;

// Stops on Ctrl+C, Ctrl+Break, and the console closing or the session ending.
StopRequest::StopRequest()
{
    woken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    consoleStop = this;
    if (woken == nullptr || !::SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category());
    }
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

int StopRequest::wait()
{
    ::WaitForSingleObject(woken, INFINITE);
    return status.load();
}
#else
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
    woken = ::eventfd(0, EFD_CLOEXEC);
    if (signals < 0 || woken < 0) {
        throw std::system_error(errno, std::system_category());
    }
}

void StopRequest::wake() noexcept
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(woken, &one, sizeof one);
}

int StopRequest::wait()
{
    pollfd waitFor[2] = {{signals, POLLIN, 0}, {woken, POLLIN, 0}};
    // EINTR: a stop and continue (SIGSTOP, SIGCONT) ends the poll early.
    int ready;
    while ((ready = ::poll(waitFor, 2, -1)) < 0 && errno == EINTR) {
    }
    settle(ready < 0 ? 1 : 0);
    return status.load();
}
#endif

// Standard output, one whole line per write, from the delivery thread. The
// first failed write ends the program with a message; once stopping,
// nothing more is written.
class Output {
public:
    explicit Output(StopRequest& stop) : stop(stop) {}

    void write(const std::string& line)
    {
        {
            std::lock_guard lock(mutex);
            if (stopping || failed) {
                return;
            }
            writing = true;
        }
        errno = 0;
        const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
        const int error = errno;
        {
            std::lock_guard lock(mutex);
            writing = false;
            failed = !written;
        }
        if (!written) {
            std::fprintf(stderr, "tarnwick-watch: writing the output failed: %s\n",
                         std::generic_category().message(error).c_str());
            stop.end(1);
        }
    }

    // Lets no further write begin. False when one is under way: its reader
    // may have stopped reading, and then nothing can wait for it.
    bool stopWriting()
    {
        std::lock_guard lock(mutex);
        stopping = true;
        return !writing;
    }

private:
    StopRequest& stop;
    std::mutex mutex;
    bool stopping = false;
    bool writing = false;
    bool failed = false;
};

int run(const std::vector<PathString>& arguments)
{
#ifdef _WIN32
    // Lines end in "\n" as on every platform, for whatever reads them.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    using tarnwick_watch::OutputFormat;
    OutputFormat format = OutputFormat::text;
    const PathString* path = nullptr;
    bool optionsEnded = false;
    for (const auto& argument : arguments) {
        if (!optionsEnded && (argument == nativeText("--help") || argument == nativeText("-h"))) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (!optionsEnded && argument == nativeText("--json")) {
            format = OutputFormat::jsonLines;
        } else if (!optionsEnded && argument == nativeText("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            std::fprintf(stderr, "tarnwick-watch: unknown option %s\n%s", printable(argument).c_str(), usage);
            return 2;
        } else if (path == nullptr) {
            path = &argument;
        } else {
            std::fprintf(stderr, "tarnwick-watch: one PATH only\n%s", usage);
            return 2;
        }
    }
    if (path == nullptr) {
        std::fputs(usage, stderr);
        return 2;
    }

    const std::string shownPath = tarnwick_watch::textPath(*path);
    // Where a warning's folder is: PATH itself, or a folder below it.
    const auto below = [&](const PathString& relative) {
        if (relative.empty()) {
            return shownPath;
        }
        return shownPath + (shownPath.ends_with(separator) ? "" : separator) + tarnwick_watch::textPath(relative);
    };
    // Declared after what their callbacks use, so destroyed before it.
    std::unique_ptr<StopRequest> stop;
    std::unique_ptr<Output> output;
    std::unique_ptr<filewatch::DirectoryWatcher> watcher;
    try {
        stop = std::make_unique<StopRequest>();
        output = std::make_unique<Output>(*stop);
        filewatch::DirectoryWatcher::Options options;
        options.reportLineBreakNames = true;
        options.onWarning = [&, format](const filewatch::Warning& warning) {
            using filewatch::WarningKind;
            switch (warning.kind) {
            case WarningKind::overflow:
                output->write(tarnwick_watch::formatOverflow(format));
                std::fprintf(stderr, "tarnwick-watch: %s; look at %s afresh\n", warning.reason.c_str(),
                             shownPath.c_str());
                break;
            case WarningKind::not_watched:
                std::fprintf(stderr, "tarnwick-watch: not watching %s: %s\n", below(warning.path).c_str(),
                             warning.reason.c_str());
                break;
            case WarningKind::root_removed:
            case WarningKind::root_moved:
                // Watching on would report nothing, or report under paths
                // that are no longer below PATH.
                std::fprintf(stderr, "tarnwick-watch: %s: %s; stopping\n", shownPath.c_str(),
                             warning.reason.c_str());
                stop->end(1);
                break;
            }
        };
        watcher = std::make_unique<filewatch::DirectoryWatcher>(
            *path,
            [&, format](const PathString& changedPath, filewatch::Event kind) {
                output->write(tarnwick_watch::formatChange(changedPath, kind, format));
            },
            std::move(options));
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tarnwick-watch: %s: %s\n", shownPath.c_str(), error.what());
        return 1;
    }
    std::fprintf(stderr, "watching %s\n", shownPath.c_str());
    const int status = stop->wait();
    if (!output->stopWriting()) {
        // A write is blocked, or about to end: joining the watcher's threads
        // could wait forever, and the system releases everything they hold.
        std::fflush(stderr);
        std::_Exit(status);
    }
    watcher.reset();
    return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    return run(std::vector<PathString>(argv + 1, argv + argc));
}
