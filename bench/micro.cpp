// Microbenchmarks: the scan through the plugin against a bare walk, record
// walking, hand-over and delivery, idle teardown, memory per watcher and the
// auto-reload delay. TARNWICK_BENCH_QUICK=1 shortens the runs. One file, one
// benchmark program: the cases share their trees and set-up.
#include "bench_host.h"
#include "synthetic_tree.h"

#include "linux/InotifyRecords.h"
#include "src/Backend.h"

#include <filewatch/DirectoryWatcher.h>
#include <tarnwick/host/Host.h>

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool quick()
{
    const char* value = std::getenv("TARNWICK_BENCH_QUICK");
    return value != nullptr && std::strcmp(value, "0") != 0;
}

// One temporary folder for the whole run, removed at exit.
const fs::path& scratch()
{
    static const fs::path root = [] {
        std::string text = (fs::temp_directory_path() / "tarnwick-bench-micro-XXXXXX").string();
        if (::mkdtemp(text.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        return fs::path(text);
    }();
    return root;
}

const fs::path& scanTree(std::size_t entries)
{
    static std::map<std::size_t, fs::path> trees;
    auto& tree = trees[entries];
    if (tree.empty()) {
        tree = scratch() / ("scan-" + std::to_string(entries));
        tarnwick_bench::makeScanTree(tree, entries);
    }
    return tree;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// The host with the real plugin, shared by the scan benchmarks; a manual
// clock, so no timer of the plugin runs between scans.
struct PluginHost {
    PluginHost()
    {
        hostFolder = scratch() / "host";
        host = std::make_unique<tarnwick::host::Host>(tarnwick_bench::benchHostOptions(hostFolder, console));
        host->loadPlugin(TARNWICK_PLUGIN_PATH);
    }

    static PluginHost& instance()
    {
        static PluginHost shared;
        return shared;
    }

    fs::path hostFolder;
    std::ostringstream console;
    std::unique_ptr<tarnwick::host::Host> host;
};

void pluginScan(benchmark::State& state, std::size_t entries)
{
    const fs::path& tree = scanTree(entries);
    auto& plugin = PluginHost::instance();
    plugin.host->execute("tw_workshop \"" + tree.string() + "/\"");
    for (auto _ : state) {
        plugin.host->execute("tw_scan");
    }
    if (!plugin.host->events("error").empty()) {
        state.SkipWithError("the plugin reported an error");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * entries));
}

void bareWalk(benchmark::State& state, std::size_t entries)
{
    const fs::path& tree = scanTree(entries);
    for (auto _ : state) {
        std::size_t regularFiles = 0;
        for (const auto& entry : fs::recursive_directory_iterator(tree)) {
            if (entry.is_regular_file()) {
                ++regularFiles;
            }
        }
        benchmark::DoNotOptimize(regularFiles);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * entries));
}

void recordWalking(benchmark::State& state)
{
    // A read's worth of the records a save produces, laid out as the kernel
    // lays them out: names NUL-padded to a multiple of 16.
    std::vector<std::byte> buffer;
    std::size_t records = 0;
    while (buffer.size() < 65536) {
        const std::string name = "Map " + std::to_string(records) + ".upk";
        const std::size_t padded = (name.size() / 16 + 1) * 16;
        inotify_event header{};
        header.wd = static_cast<int>(records % 64 + 1);
        header.mask = records % 2 == 0 ? IN_MODIFY : IN_CLOSE_WRITE;
        header.len = static_cast<std::uint32_t>(padded);
        const std::size_t start = buffer.size();
        buffer.resize(start + sizeof header + padded);
        std::memcpy(buffer.data() + start, &header, sizeof header);
        std::memcpy(buffer.data() + start + sizeof header, name.data(), name.size());
        ++records;
    }
    for (auto _ : state) {
        auto walked = filewatch::inotify::walkRecords(buffer);
        benchmark::DoNotOptimize(walked.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
}

// A backend that hands the watcher `batches` reads of the same changes as
// fast as the monitor asks, then waits for the stop signal.
class BurstBackend final : public filewatch::detail::Backend {
public:
    using Changes = std::vector<std::pair<filewatch::PathString, filewatch::Event>>;

    BurstBackend(const Changes& batch, std::size_t batches) : batch(batch), remaining(batches) {}

    bool open(const filewatch::PathString&) override { return true; }
    void arm(filewatch::detail::Batch&) override {}
    bool collect(filewatch::detail::Batch& into) override
    {
        if (remaining == 0) {
            std::unique_lock lock(mutex);
            stopCondition.wait(lock, [this] { return stopped; });
            return false;
        }
        --remaining;
        for (const auto& [path, kind] : batch) {
            if (into.keeps(path)) {
                into.add(path, kind);
            }
        }
        return true;
    }
    void disarm() noexcept override {}
    void signalStop() noexcept override
    {
        {
            std::lock_guard lock(mutex);
            stopped = true;
        }
        stopCondition.notify_all();
    }
    void close() noexcept override {}

private:
    const Changes& batch;
    std::size_t remaining;
    std::mutex mutex;
    std::condition_variable stopCondition;
    bool stopped = false;
};

// Changes per second from the backend's read to the owner's callback: the
// filter, the hand-over between the two threads and the delivery.
void handOverAndDelivery(benchmark::State& state)
{
    const auto batchSize = static_cast<std::size_t>(state.range(0));
    const std::size_t total = 65536;
    BurstBackend::Changes batch;
    for (std::size_t i = 0; i < batchSize; ++i) {
        batch.emplace_back("Maps/Folder " + std::to_string(i % 16) + "/Map " + std::to_string(i) + ".upk",
                           filewatch::Event::modified);
    }
    for (auto _ : state) {
        std::atomic<std::size_t> delivered{0};
        std::promise<void> allDelivered;
        const auto start = Clock::now();
        auto watcher = filewatch::detail::WatcherFactory::make(
            "/", [&](const filewatch::PathString&, filewatch::Event) {
                if (delivered.fetch_add(1) + 1 == total) {
                    allDelivered.set_value();
                }
            },
            std::make_unique<BurstBackend>(batch, total / batchSize));
        allDelivered.get_future().wait();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        watcher.reset();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * total));
}

fs::path smallTree(const std::string& name)
{
    const fs::path root = scratch() / name;
    for (const char* folder : {"a", "b/c", "d"}) {
        fs::create_directories(root / folder);
        std::ofstream(root / folder / "Map.upk") << "x";
    }
    return root;
}

void idleTeardown(benchmark::State& state)
{
    const fs::path root = smallTree("teardown");
    std::vector<double> microseconds;
    for (auto _ : state) {
        state.PauseTiming();
        auto watcher = std::make_unique<filewatch::DirectoryWatcher>(
            root.native(), [](const filewatch::PathString&, filewatch::Event) {});
        // Idle: both threads have reached their waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state.ResumeTiming();
        const auto start = Clock::now();
        watcher.reset();
        microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["p50_us"] = percentile(microseconds, 0.50);
    state.counters["p99_us"] = percentile(microseconds, 0.99);
    state.counters["max_us"] = percentile(microseconds, 1.0);
}

// The floor for teardown: two bare threads, one blocked in poll on an
// eventfd, one on a condition variable, signalled and joined. What remains
// is the scheduler's time to run them.
void threadTeardownFloor(benchmark::State& state)
{
    std::vector<double> microseconds;
    for (auto _ : state) {
        state.PauseTiming();
        const int stopFd = ::eventfd(0, EFD_CLOEXEC);
        std::mutex mutex;
        std::condition_variable condition;
        bool stop = false;
        std::thread poller([&] {
            pollfd descriptor{stopFd, POLLIN, 0};
            ::poll(&descriptor, 1, -1);
        });
        std::thread waiter([&] {
            std::unique_lock lock(mutex);
            condition.wait(lock, [&] { return stop; });
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state.ResumeTiming();
        const auto start = Clock::now();
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stopFd, &one, sizeof one);
        condition.notify_all();
        poller.join();
        waiter.join();
        microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        ::close(stopFd);
    }
    state.counters["p50_us"] = percentile(microseconds, 0.50);
    state.counters["p99_us"] = percentile(microseconds, 0.99);
    state.counters["max_us"] = percentile(microseconds, 1.0);
}

// What closing an inotify instance with the same watches costs on its own:
// the kernel waits for its notification marks to be released (an SRCU grace
// period), whoever closes it. The watcher's teardown avoids the close by
// emptying its instance and keeping it for the next watcher.
void inotifyCloseFloor(benchmark::State& state)
{
    const fs::path root = smallTree("teardown");
    std::vector<fs::path> folders{root};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory()) {
            folders.push_back(entry.path());
        }
    }
    std::vector<double> microseconds;
    for (auto _ : state) {
        state.PauseTiming();
        const int fd = ::inotify_init1(IN_CLOEXEC);
        for (const auto& folder : folders) {
            ::inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_DELETE | IN_MODIFY | IN_ONLYDIR);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state.ResumeTiming();
        const auto start = Clock::now();
        ::close(fd);
        microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["p50_us"] = percentile(microseconds, 0.50);
    state.counters["p99_us"] = percentile(microseconds, 0.99);
    state.counters["max_us"] = percentile(microseconds, 1.0);
}

std::size_t residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

// Run in a process of its own (--benchmark_filter=MemoryPerWatcher), so the
// baseline is what the process holds before its first watcher.
void memoryPerWatcher(benchmark::State& state)
{
    const std::size_t watchers = 64;
    std::vector<fs::path> roots;
    for (std::size_t i = 0; i < watchers; ++i) {
        roots.push_back(smallTree("memory-" + std::to_string(i)));
    }
    double perWatcher = 0.0;
    double firstWatcher = 0.0;
    for (auto _ : state) {
        const auto baseline = static_cast<double>(residentKiB());
        std::vector<std::unique_ptr<filewatch::DirectoryWatcher>> running;
        for (const auto& root : roots) {
            running.push_back(std::make_unique<filewatch::DirectoryWatcher>(
                root.native(), [](const filewatch::PathString&, filewatch::Event) {}));
            if (running.size() == 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                firstWatcher = static_cast<double>(residentKiB()) - baseline;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        perWatcher = (static_cast<double>(residentKiB()) - baseline) / static_cast<double>(watchers);
    }
    state.counters["KiB_per_watcher"] = perWatcher;
    state.counters["KiB_first_watcher"] = firstWatcher;
}

// From the end of a save to the plugin's load_workshop command, through the
// real host loop on a real clock.
void autoReload(benchmark::State& state)
{
    const fs::path root = scratch() / "reload";
    fs::create_directories(root / "maps");
    const fs::path map = root / "maps" / "Reload Map.upk";
    std::ofstream(map) << "map";

    std::ostringstream console;
    // The real clock: the reload's second is what is measured.
    auto options = tarnwick_bench::benchHostOptions(root / "host", console);
    options.clock = tarnwick::host::ClockMode::real;
    tarnwick::host::Host host(options);
    host.loadPlugin(TARNWICK_PLUGIN_PATH);
    host.execute("tw_watching 1");
    host.startMapLoad(map.string());
    host.runFor(std::chrono::milliseconds(50));

    auto reloads = [&] {
        std::size_t count = 0;
        for (const auto& command : host.events("command")) {
            if (command.value("from", "") == "plugin" &&
                command.value("text", "").rfind("load_workshop", 0) == 0) {
                ++count;
            }
        }
        return count;
    };
    std::vector<double> lateMs;
    for (auto _ : state) {
        const std::size_t before = reloads();
        {
            std::ofstream save(map, std::ios::binary | std::ios::trunc);
            save << "saved map";
        }
        const auto saved = Clock::now();
        if (!host.runUntil([&] { return reloads() > before; }, std::chrono::seconds(5))) {
            state.SkipWithError("no reload within 5 s");
            break;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - saved).count();
        state.SetIterationTime(seconds);
        lateMs.push_back((seconds - 1.0) * 1000.0);
        // The reload re-arms the watcher on the game's next turn.
        host.runFor(std::chrono::milliseconds(50));
    }
    state.counters["late_p50_ms"] = percentile(lateMs, 0.50);
    state.counters["late_p99_ms"] = percentile(lateMs, 0.99);
    host.unloadPlugin();
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const bool shortRun = quick();
    // Plugin and floor side by side at each size, so load drifts hit both.
    for (std::size_t entries : {1000u, 10000u, 100000u}) {
        benchmark::RegisterBenchmark(("Scan/plugin/" + std::to_string(entries)).c_str(), pluginScan, entries)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(shortRun ? 0.2 : 1.0);
        benchmark::RegisterBenchmark(("Scan/bare_walk/" + std::to_string(entries)).c_str(), bareWalk, entries)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(shortRun ? 0.2 : 1.0);
    }
    benchmark::RegisterBenchmark("RecordWalking", recordWalking)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("HandOverAndDelivery", handOverAndDelivery)
        ->Arg(1)
        ->Arg(64)
        ->Arg(4096)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    // Interleaved with the watcher's teardown in rounds, so load hits both.
    for (int round = 0; round < 2; ++round) {
        benchmark::RegisterBenchmark("IdleTeardown", idleTeardown)
            ->Iterations(shortRun ? 100 : 500)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("TeardownFloor", threadTeardownFloor)
            ->Iterations(shortRun ? 100 : 500)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("InotifyCloseFloor", inotifyCloseFloor)
            ->Iterations(shortRun ? 100 : 500)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("MemoryPerWatcher", memoryPerWatcher)->Iterations(1);
    benchmark::RegisterBenchmark("AutoReload", autoReload)
        ->Iterations(shortRun ? 5 : 30)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(scratch(), ignored);
    return 0;
}
