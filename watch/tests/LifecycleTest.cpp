// Starting, failing to start and stopping: what must not leak or hang.
#include "WatchedTree.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <atomic>
#include <system_error>
#include <thread>

namespace filewatch::tests {
namespace {

using filewatch::DirectoryWatcher;

// Descriptors (handles on Windows) and threads the process has now; join and close are done
// before a watcher's destructor returns, but the kernel may take a moment
// to drop an ended thread from /proc.
struct ResourceCount {
    // Runtime threads and the kept inotify instance exist before counting.
    bool warmedUp = (warmUpThreads(), keepSpareInstance(), true);
    std::size_t descriptors = openHandles();
    std::size_t threads = runningThreads();

    void expectUnchanged() const
    {
        EXPECT_TRUE(waitUntil([&] { return runningThreads() == threads; })) << runningThreads();
        EXPECT_EQ(openHandles(), descriptors);
    }
};

std::system_error constructionError(const std::function<std::unique_ptr<DirectoryWatcher>()>& construct)
{
    try {
        construct();
    } catch (const std::system_error& error) {
        return error;
    }
    ADD_FAILURE() << "construction succeeded";
    return std::system_error(0, std::system_category());
}

TEST(ConstructionError, CarriesTheSystemCodeAndLeavesNothingRunning)
{
    WatchedTree t;
    writeFile(t.tree / "file");
    const ResourceCount before;
    struct Case {
        fs::path path;
        int code;
    };
#ifdef _WIN32
    const std::initializer_list<Case> cases{{t.tree / "missing", ERROR_FILE_NOT_FOUND},
                                            {t.tree / "missing" / "deeper", ERROR_PATH_NOT_FOUND},
                                            {t.tree / "file" / "child", ERROR_PATH_NOT_FOUND},
                                            {"", ERROR_PATH_NOT_FOUND}};
#else
    const std::initializer_list<Case> cases{{t.tree / "missing", ENOENT},
                                            {t.tree / "missing" / "deeper", ENOENT},
                                            {t.tree / "file" / "child", ENOTDIR},
                                            {"", ENOENT}};
#endif
    for (const auto& [path, code] : cases) {
        const auto error = constructionError([&path = path] { return makeWatcher(path, {}); });
        EXPECT_EQ(error.code(), std::error_code(code, std::system_category())) << path;
        EXPECT_STREQ(error.what(), std::system_category().message(code).c_str());
    }
    before.expectUnchanged();
}

#ifndef _WIN32
TEST(ConstructionError, UnreadableDirectory)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    WatchedTree t;
    fs::create_directory(t.tree / "locked");
    fs::permissions(t.tree / "locked", fs::perms::none);
    const ResourceCount before;
    const auto error = constructionError([&] { return makeWatcher(t.tree / "locked" / "f", {}); });
    EXPECT_EQ(error.code(), std::error_code(EACCES, std::system_category()));
    before.expectUnchanged();
    fs::permissions(t.tree / "locked", fs::perms::owner_all);
}

TEST(ConstructionError, WatchLimitNamesTheSettingToRaise)
{
    WatchedTree t;
    for (const char* sub : {"a", "b", "c"}) {
        fs::create_directory(t.tree / sub);
    }
    const ResourceCount before;
    // Reached by the monitor thread while it arms, after both threads started.
    const auto error = constructionError([&] { return makeWatcher(t.tree, {}, withWatchLimit(2)); });
    EXPECT_EQ(error.code(), std::error_code(ENOSPC, std::system_category()));
    EXPECT_NE(std::string(error.what()).find("/proc/sys/fs/inotify/max_user_watches (now "), std::string::npos)
        << error.what();
    before.expectUnchanged();
}

TEST(ConstructionError, InstanceLimitNamesTheSettingToRaise)
{
    WatchedTree t;
    const ResourceCount before;
    // Sanitizer runtimes open files to check an object's type the first time
    // they meet it: let them meet every type beforehand.
    fs::create_directory(t.outside / "sub");
    constructionError([&] { return makeWatcher(t.outside, {}, withWatchLimit(1)); });
    // Holds the kept instance, so that the next watcher needs a new one.
    auto holder = makeWatcher(t.outside, {});
    auto backend = filewatch::inotify::makeInotifyBackend();
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    // Only this process's own limit: inotify_init1 now fails with EMFILE.
    rlimit lowered = original;
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const auto error = constructionError([&] {
        return filewatch::detail::WatcherFactory::make(t.tree.native(), {}, std::move(backend));
    });
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    EXPECT_EQ(error.code(), std::error_code(EMFILE, std::system_category()));
    EXPECT_NE(std::string(error.what()).find("/proc/sys/fs/inotify/max_user_instances (now "), std::string::npos)
        << error.what();
    holder.reset();
    before.expectUnchanged();
}

// Teardown keeps an emptied instance for the next watcher: it must carry
// nothing of the watcher before it, neither a watch nor an unread event.
TEST(Lifecycle, TheNextWatcherReportsNothingOfThePreviousTree)
{
    WatchedTree first;
    WatchedTree second;
    for (const char* sub : {"a", "a/b", "c"}) {
        fs::create_directory(first.tree / sub);
    }
    keepSpareInstance();
    {
        Recorder recorder;
        auto watcher = makeWatcher(first.tree, recorder.callback());
        EXPECT_EQ(inotifyInstances(), std::vector<std::size_t>{4}) << "the kept instance was taken";
        writeFile(first.tree / "a" / "b" / "seen");
        ASSERT_TRUE(recorder.waitFor({"a/b/seen", Event::added}));
        // Left unread in the kernel's queue at teardown.
        for (int i = 0; i < 50; ++i) {
            writeFile(first.tree / "c" / ("unread" + std::to_string(i)));
        }
    }
    EXPECT_EQ(inotifyInstances(), std::vector<std::size_t>{0}) << "one instance kept, emptied";

    Recorder recorder;
    auto watcher = makeWatcher(second.tree, recorder.callback());
    EXPECT_EQ(inotifyInstances(), std::vector<std::size_t>{1});
    writeFile(first.tree / "a" / "b" / "ignored");
    writeFile(first.tree / "c" / "ignored");
    makeSentinel(second.tree);
    EXPECT_EQ(recorder.before(sentinel), std::vector<Change>{});
}

TEST(Lifecycle, AWatcherOfAManyFolderTreeClosesItsInstance)
{
    WatchedTree t;
    for (int i = 0; i < 150; ++i) {
        fs::create_directory(t.tree / ("folder" + std::to_string(i)));
    }
    keepSpareInstance();
    auto small = makeWatcher(t.outside, {});
    auto large = makeWatcher(t.tree, {});
    large.reset();
    EXPECT_EQ(inotifyInstances(), std::vector<std::size_t>{1}) << "only the small watcher's instance is left";
    small.reset();
    EXPECT_EQ(inotifyInstances(), std::vector<std::size_t>{0});
}

#endif

// Idle, and while the folder is written so that teardown meets changes in
// flight. One test each: under Wine a cycle takes tens of milliseconds.
class CreateDestroyCycles : public testing::TestWithParam<std::pair<bool, int>> {};

TEST_P(CreateDestroyCycles, LeakNothing)
{
    const auto [written, cycles] = GetParam();
    WatchedTree t;
    fs::create_directories(t.tree / "a" / "b");
    const ResourceCount before;
    std::atomic<bool> writing = written;
    std::thread writer([&] {
        for (int i = 0; writing; ++i) {
            writeFile(t.tree / ("f" + std::to_string(i % 50)), "data");
        }
    });
    std::atomic<long> delivered = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        DirectoryWatcher watcher(t.tree.native(), [&](const PathString&, Event) { ++delivered; });
    }
    writing = false;
    writer.join();
    EXPECT_EQ(delivered.load() > 0, written);
    before.expectUnchanged();
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, CreateDestroyCycles,
                         testing::Values(std::pair{false, 1000}, std::pair{true, 2000}),
                         [](const auto& info) { return info.param.first ? "Written" : "Idle"; });

TEST(Lifecycle, TeardownDuringABatchFinishesTheBatchAndCallsNothingAfter)
{
    WatchedTree t;
    Signal signal;
    bool inside = false;
    bool released = false;
    std::atomic<int> running = 0;
    std::atomic<int> calls = 0;
    auto watcher = std::make_unique<DirectoryWatcher>(t.tree.native(), [&](const PathString&, Event) {
        ++running;
        if (calls++ == 0) {
            std::unique_lock lock(signal.mutex);
            inside = true;
            signal.changed.notify_all();
            signal.changed.wait(lock, [&] { return released; });
        }
        --running;
    });
    makeNumberedFiles(t.tree, 100);
    ASSERT_TRUE(waitUntil(signal, [&] { return inside; }));
    int runningAtReturn = -1;
    int callsAtReturn = -1;
    std::thread destroyer([&] {
        watcher.reset();
        runningAtReturn = running;
        callsAtReturn = calls;
    });
    release(signal, released);
    destroyer.join();
    EXPECT_EQ(runningAtReturn, 0) << "teardown returned during a call";
    EXPECT_EQ(calls.load(), callsAtReturn);
}

// How fast is the benchmarks' business (idle teardown); here, that it ends.
TEST(Lifecycle, IdleWatcherStops)
{
    WatchedTree t;
    auto watcher = std::make_unique<DirectoryWatcher>(t.tree.native(), DirectoryWatcher::Callback{});
    const auto start = std::chrono::steady_clock::now();
    watcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, defaultDeadline);
}

TEST(Lifecycle, StopsInTheMiddleOfABurstAndWithAMovePending)
{
    WatchedTree t;
    writeFile(t.tree / "moving");
    std::atomic<int> delivered = 0;
    auto watcher = std::make_unique<DirectoryWatcher>(t.tree.native(),
                                                      [&](const PathString&, Event) { ++delivered; });
    std::atomic<bool> writing = true;
    std::thread writer([&] {
        for (int i = 0; writing; ++i) {
            writeFile(t.tree / ("f" + std::to_string(i % 100)), "data");
        }
    });
    Signal signal;
    EXPECT_TRUE(waitUntil(signal, [&] { return delivered > 200; }));
    fs::rename(t.tree / "moving", t.outside / "moving");
    const auto start = std::chrono::steady_clock::now();
    watcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, defaultDeadline);
    writing = false;
    writer.join();
}

}  // namespace
}  // namespace filewatch::tests
