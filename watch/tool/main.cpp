// tarnwick-watch: prints what the directory watcher reports, one line per
// change, until interrupted.
#include "ChangeLine.h"

#include <filewatch/DirectoryWatcher.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

#include <cstdio>
#include <cstring>
#include <memory>
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
    "  --help   print this text\n";

template <std::size_t N>
PathString nativeText(const char (&text)[N])
{
    return PathString(text, text + N - 1);
}

std::string printable(const PathString& text)
{
#ifdef _WIN32
    return tarnwick_watch::utf8(text);
#else
    return text;
#endif
}

#ifdef _WIN32
HANDLE stopRequested = nullptr;

BOOL WINAPI onConsoleControl(DWORD) noexcept
{
    // Runs on a thread the system starts; main does the teardown.
    ::SetEvent(stopRequested);
    return TRUE;
}

// Stops on Ctrl+C, Ctrl+Break, and the console closing or the session ending.
class StopRequest {
public:
    StopRequest()
    {
        stopRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (stopRequested == nullptr || !::SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
            throw std::system_error(static_cast<int>(::GetLastError()), std::system_category());
        }
    }
    void wait() { ::WaitForSingleObject(stopRequested, INFINITE); }
};
#else
class StopRequest {
public:
    // Blocked before the watcher starts, so its threads inherit the mask and
    // the signals wait for sigwait below instead of killing the process.
    StopRequest()
    {
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        if (const int error = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); error != 0) {
            throw std::system_error(error, std::system_category());
        }
    }
    void wait()
    {
        int received = 0;
        sigwait(&stopSignals, &received);
    }

private:
    sigset_t stopSignals;
};
#endif

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

    std::unique_ptr<StopRequest> stop;
    std::unique_ptr<filewatch::DirectoryWatcher> watcher;
    try {
        stop = std::make_unique<StopRequest>();
        watcher = std::make_unique<filewatch::DirectoryWatcher>(
            *path, [format](const PathString& changedPath, filewatch::Event kind) {
                const std::string line = tarnwick_watch::formatChange(changedPath, kind, format);
                std::fwrite(line.data(), 1, line.size(), stdout);
                std::fflush(stdout);
            });
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tarnwick-watch: %s: %s\n", printable(*path).c_str(), error.what());
        return 1;
    }
    std::fprintf(stderr, "watching %s\n", printable(*path).c_str());
    stop->wait();
    watcher.reset();
    return 0;
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
