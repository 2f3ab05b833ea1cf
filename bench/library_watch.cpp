// The watcher library as its own owners use it by default: changes handed
// from the reading thread to a delivery thread, whose callback writes one
// line per change, "<kind>\t<relative path>". Beside tarnwick-watch, which
// runs its callback on the reading thread, it shows what the hand-over costs
// and what the queue's bound holds a stalled owner to.
//
//   tarnwick-bench-library PATH
#include <filewatch/DirectoryWatcher.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: tarnwick-bench-library PATH\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    // Blocked before the watcher's threads start, which inherit the mask.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    filewatch::DirectoryWatcher::Options options;
    options.onWarning = [](const filewatch::Warning& warning) {
        if (warning.kind == filewatch::WarningKind::overflow) {
            const std::string line = "overflow\t\n";
            [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, line.data(), line.size());
        }
    };
    filewatch::DirectoryWatcher watcher(
        argv[1],
        [](const filewatch::PathString& path, filewatch::Event kind) {
            const std::string line = std::string(toString(kind)) + "\t" + path + "\n";
            [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, line.data(), line.size());
        },
        options);
    std::fprintf(stderr, "watching %s\n", argv[1]);
    int signal = 0;
    sigwait(&stop, &signal);
    // A callback blocked on a reader that has gone would hold up the join.
    std::_Exit(0);
}
