// Times watchers from a save to the line they print, with nothing in the way:
// one thread, which makes each save itself and then sleeps in poll() on the
// tool's output until the line arrives. A timestamp taken anywhere else (a
// reader thread of an interpreter, a second process) adds its own wake-up to
// every tool alike, and every ratio drifts towards 1.
//
//   tarnwick-bench-latency SAMPLES WORK TOOL... where TOOL is
//     --tool NAME READY COMMAND ARG... (each "{root}" in the arguments is the
//     tool's own folder; READY is what it prints on standard error once armed)
//
// Each tool watches WORK/NAME, which holds maps/Target Map.upk. The tools
// take turns in a shuffled order; a save appends one byte (open, write,
// close). Prints one JSON object: per tool the latencies in microseconds and
// the saves it never reported within two seconds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The watchers started so far, stopped on the way out however it goes.
std::vector<pid_t> started;

void stopAll()
{
    for (const pid_t pid : started) ::kill(pid, SIGTERM);
    for (const pid_t pid : started) ::waitpid(pid, nullptr, 0);
    started.clear();
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "tarnwick-bench-latency: %s: %s\n", what.c_str(), std::strerror(errno));
    stopAll();
    std::exit(1);
}

constexpr std::string_view targetName = "Target Map.upk";

struct Tool {
    std::string name;
    std::string ready;
    std::vector<std::string> command;
    fs::path root;
    pid_t pid = -1;
    int output = -1;
    int errors = -1;
    std::string pending;  // output after the last complete line
    std::vector<double> latencies;
    int missed = 0;
};

void start(Tool& tool)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (auto& argument : tool.command) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (const int error = posix_spawnp(&tool.pid, argv[0], &actions, nullptr, argv.data(), environ); error != 0) {
        errno = error;
        fail("start " + tool.name);
    }
    started.push_back(tool.pid);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    tool.output = out[0];
    tool.errors = err[0];
}

// Reads what `fd` has within `timeout`; false when the time is up first.
bool readSome(int fd, std::string& into, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) return false;
        pollfd descriptor{fd, POLLIN, 0};
        const int ready = ::poll(&descriptor, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) fail("poll");
        if (ready == 0) return false;
        char buffer[65536];
        const ssize_t length = ::read(fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) {
            errno = length == 0 ? EPIPE : errno;
            fail("the watcher's output ended");
        }
        into.append(buffer, static_cast<std::size_t>(length));
        return true;
    }
}

void waitUntilArmed(Tool& tool)
{
    if (tool.ready == "-") {
        // Says nothing once armed: ask with probe files until one is seen.
        for (int probe = 0; probe < 200; ++probe) {
            const std::string name = ".probe-" + std::to_string(probe);
            std::FILE* file = std::fopen((tool.root / name).c_str(), "w");
            if (file == nullptr) fail("create a probe file");
            std::fclose(file);
            const auto deadline = Clock::now() + std::chrono::milliseconds(300);
            while (readSome(tool.output, tool.pending, deadline)) {
                if (tool.pending.find(name + "\n") != std::string::npos) {
                    fs::remove(tool.root / name);
                    return;
                }
            }
        }
        std::fprintf(stderr, "tarnwick-bench-latency: %s never reported a probe file\n", tool.name.c_str());
        stopAll();
        std::exit(1);
    }
    std::string said;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (said.find(tool.ready) == std::string::npos) {
        if (!readSome(tool.errors, said, deadline)) {
            std::fprintf(stderr, "tarnwick-bench-latency: %s did not arm: %s\n", tool.name.c_str(), said.c_str());
            stopAll();
            std::exit(1);
        }
    }
}

// Takes the complete lines off `pending`; true if one names the target.
bool takeLines(std::string& pending)
{
    bool named = false;
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        named = named || std::string_view(pending).substr(0, end).ends_with(targetName);
        pending.erase(0, end + 1);
    }
    return named;
}

void drain(Tool& tool, std::chrono::milliseconds quiet)
{
    while (readSome(tool.output, tool.pending, Clock::now() + quiet)) {
    }
    takeLines(tool.pending);
}

void save(const fs::path& file)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) fail("open " + file.string());
    if (::write(fd, "x", 1) != 1) fail("write");
    ::close(fd);
}

void sample(Tool& tool)
{
    const fs::path file = tool.root / "maps" / targetName;
    const auto saved = Clock::now();
    save(file);
    const auto deadline = saved + std::chrono::seconds(2);
    for (;;) {
        if (!readSome(tool.output, tool.pending, deadline)) {
            ++tool.missed;
            break;
        }
        const auto arrived = Clock::now();
        if (takeLines(tool.pending)) {
            tool.latencies.push_back(std::chrono::duration<double, std::micro>(arrived - saved).count());
            break;
        }
    }
    // The same pause for every tool: the close's own events drain.
    drain(tool, std::chrono::milliseconds(20));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fputs("Usage: tarnwick-bench-latency SAMPLES WORK --tool NAME READY COMMAND ARG... ...\n", stderr);
        return 2;
    }
    const int samples = std::atoi(argv[1]);
    const fs::path work = argv[2];
    std::vector<Tool> tools;
    for (int i = 3; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--tool" && i + 3 < argc) {
            Tool& tool = tools.emplace_back();
            tool.name = argv[i + 1];
            tool.ready = argv[i + 2];
            tool.root = work / argv[i + 1];
            i += 2;
        } else if (!tools.empty()) {
            tools.back().command.push_back(argv[i]);
        }
    }
    for (auto& tool : tools) {
        fs::create_directories(tool.root / "maps");
        std::FILE* map = std::fopen((tool.root / "maps" / targetName).c_str(), "w");
        if (map == nullptr) fail("create the map");
        std::fclose(map);
        for (auto& argument : tool.command) {
            for (auto at = argument.find("{root}"); at != std::string::npos; at = argument.find("{root}")) {
                argument.replace(at, 6, tool.root.string());
            }
        }
        start(tool);
        waitUntilArmed(tool);
        drain(tool, std::chrono::milliseconds(200));
    }

    std::mt19937 shuffle(12345);
    std::vector<Tool*> order;
    for (auto& tool : tools) order.push_back(&tool);
    for (int i = 0; i < samples; ++i) {
        std::shuffle(order.begin(), order.end(), shuffle);
        for (Tool* tool : order) sample(*tool);
    }

    stopAll();
    std::printf("{");
    for (std::size_t t = 0; t < tools.size(); ++t) {
        const Tool& tool = tools[t];
        std::printf("%s\"%s\": {\"missed\": %d, \"latency_us\": [", t ? ", " : "", tool.name.c_str(), tool.missed);
        for (std::size_t s = 0; s < tool.latencies.size(); ++s) {
            std::printf("%s%.1f", s ? ", " : "", tool.latencies[s]);
        }
        std::printf("]}");
    }
    std::printf("}\n");
    return 0;
}
