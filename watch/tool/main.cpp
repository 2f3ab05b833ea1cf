// tarnwick-watch: prints what the directory watcher reports, one line per
// change, until interrupted.
#include "ChangeLine.h"

#include <filewatch/DirectoryWatcher.h>

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

namespace {

const char usage[] =
    "Usage: tarnwick-watch [--json] PATH\n"
    "\n"
    "Watches PATH and everything below it and prints one line per change,\n"
    "\"<kind>\\t<path relative to PATH>\", kind being added, removed, modified,\n"
    "renamed_old_name or renamed_new_name. If PATH is a file, watches its\n"
    "folder and reports only changes to entries of that name.\n"
    "Prints \"watching PATH\" to standard error once watching runs, and stops\n"
    "on Ctrl+C (SIGINT) or SIGTERM.\n"
    "\n"
    "  --json   print JSON Lines: {\"kind\":\"added\",\"path\":\"a/b\"}. A byte\n"
    "           that is not UTF-8 is written as \\udcXX (XX its hex value).\n"
    "  --help   print this text\n";

}  // namespace

int main(int argc, char** argv)
{
    using tarnwick_watch::OutputFormat;
    OutputFormat format = OutputFormat::text;
    const char* path = nullptr;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!optionsEnded && (argument == "--help" || argument == "-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (!optionsEnded && argument == "--json") {
            format = OutputFormat::jsonLines;
        } else if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            std::fprintf(stderr, "tarnwick-watch: unknown option %s\n%s", argv[i], usage);
            return 2;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            std::fprintf(stderr, "tarnwick-watch: one PATH only\n%s", usage);
            return 2;
        }
    }
    if (path == nullptr) {
        std::fputs(usage, stderr);
        return 2;
    }

    // Blocked before the watcher starts, so its threads inherit the mask and
    // the signals wait for sigwait below instead of killing the process.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (const int error = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); error != 0) {
        std::fprintf(stderr, "tarnwick-watch: %s\n", std::strerror(error));
        return 1;
    }

    std::unique_ptr<filewatch::DirectoryWatcher> watcher;
    try {
        watcher = std::make_unique<filewatch::DirectoryWatcher>(
            path, [format](const filewatch::PathString& changedPath, filewatch::Event kind) {
                const std::string line = tarnwick_watch::formatChange(changedPath, kind, format);
                std::fwrite(line.data(), 1, line.size(), stdout);
                std::fflush(stdout);
            });
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tarnwick-watch: %s: %s\n", path, error.what());
        return 1;
    }
    std::fprintf(stderr, "watching %s\n", path);

    int received = 0;
    sigwait(&stopSignals, &received);
    watcher.reset();
    return 0;
}
