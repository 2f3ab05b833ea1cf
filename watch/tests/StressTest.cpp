// Stress: many watchers, slow callbacks and teardown at awkward moments.
// Every case checks that nothing is lost and nothing leaks.
#include "TestSupport.h"
#include "WatchedTree.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace watch_test {
namespace {

using filewatch::DirectoryWatcher;

std::string numbered(const char* prefix, int i)
{
    return prefix + std::to_string(10000 + i);  // fixed width: sorts as made
}

TEST(Stress, TwoThousandWatchersComeAndGoWhileTheFolderIsWritten)
{
    WatchedTree t;
    std::thread([] {}).join();  // a sanitizer's own thread, before counting
    keepSpareInstance();
    const auto descriptors = openHandles();
    const auto threads = runningThreads();
    std::atomic<bool> writing = true;
    std::thread writer([&] {
        for (int i = 0; writing; ++i) {
            writeFile(t.tree / ("f" + std::to_string(i % 50)), "data");
        }
    });
    std::atomic<long> delivered = 0;
    for (int cycle = 0; cycle < 2000; ++cycle) {
        DirectoryWatcher watcher(t.tree.native(), [&](const PathString&, Event) { ++delivered; });
    }
    writing = false;
    writer.join();
    EXPECT_GT(delivered.load(), 0) << "the watchers saw the writes";
    Signal never;
    EXPECT_TRUE(waitUntil(never, [&] { return runningThreads() == threads; })) << runningThreads();
    EXPECT_EQ(openHandles(), descriptors);
}

TEST(Stress, ASlowCallbackUnderABurstGetsEveryChangeInOrder)
{
    WatchedTree t;
    Recorder recorder;
    auto record = recorder.callback();
    DirectoryWatcher watcher(t.tree.native(), [&](const PathString& path, Event kind) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // a consumer slower than the system
        record(path, kind);
    });
    constexpr int files = 2000;
    for (int i = 0; i < files; ++i) {
        writeFile(t.tree / numbered("burst-", i), "");
    }
    makeSentinel(t.tree);
    std::vector<Change> added;
    for (const auto& change : recorder.before(sentinel)) {
        if (change.kind == Event::added) added.push_back(change);
    }
    ASSERT_EQ(added.size(), static_cast<std::size_t>(files));
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(added[static_cast<std::size_t>(i)], Change(numbered("burst-", i), Event::added));
    }
}

TEST(Stress, TeardownDuringABatchFinishesTheBatchAndCallsNothingAfter)
{
    WatchedTree t;
    Signal signal;
    bool inside = false;
    bool released = false;
    std::atomic<bool> destroyed = false;
    std::atomic<int> callsAfterTeardown = 0;
    std::atomic<int> calls = 0;
    auto watcher = std::make_unique<DirectoryWatcher>(t.tree.native(), [&](const PathString&, Event) {
        if (destroyed) ++callsAfterTeardown;
        if (calls++ == 0) {
            std::unique_lock lock(signal.mutex);
            inside = true;
            signal.changed.notify_all();
            signal.changed.wait(lock, [&] { return released; });
        }
    });
    for (int i = 0; i < 100; ++i) {
        writeFile(t.tree / numbered("f", i), "");
    }
    ASSERT_TRUE(waitUntil(signal, [&] { return inside; }));
    std::thread destroyer([&] {
        watcher.reset();
        destroyed = true;
    });
    {
        std::lock_guard lock(signal.mutex);
        released = true;
        signal.changed.notify_all();
    }
    destroyer.join();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(callsAfterTeardown.load(), 0);
}

TEST(Stress, AFolderDeletedAndMadeAgainCanBeWatchedAgain)
{
    WatchedTree t;
    const fs::path folder = t.tree / "maps";
    fs::create_directory(folder);
    Recorder first;
    auto watcher = std::make_unique<DirectoryWatcher>(folder.native(), first.callback());
    fs::remove_all(folder);
    fs::create_directory(folder);
    writeFile(folder / "after", "x");
    watcher.reset();  // the old watch ended quietly; teardown still works

    Recorder second;
    DirectoryWatcher again(folder.native(), second.callback());
    writeFile(folder / "again", "x");
    EXPECT_TRUE(second.waitFor(Change("again", Event::added)));
}

}  // namespace
}  // namespace watch_test
