// What the Windows backend adds to the system's behaviour: reads that fail
// to start, overflows, a missing read event, several records per read.
#include "WatchedTree.h"

#include <atomic>
#include <system_error>

namespace filewatch::tests {
namespace {

using filewatch::win32::WindowsBackend;
using filewatch::win32::WindowsTuning;

// Buffer lengths of the reads the backend tried to issue.
struct ReadLog {
    Signal signal;
    std::vector<DWORD> lengths;

    std::size_t count()
    {
        std::lock_guard lock(signal.mutex);
        return lengths.size();
    }
};

WindowsTuning failingReads(ReadLog& log, std::function<DWORD(std::size_t attempt, DWORD length)> failure)
{
    WindowsTuning tuning;
    tuning.readFailure = [&log, failure](DWORD length) {
        std::lock_guard lock(log.signal.mutex);
        log.lengths.push_back(length);
        log.signal.changed.notify_all();
        return failure(log.lengths.size(), length);
    };
    return tuning;
}

TEST(ReadFailingToStart, InvalidParameterIsRetriedOnceWithTheNetworkBufferSize)
{
    WatchedTree t;
    ReadLog log;
    Recorder recorder;
    // As a network share answers a read of more than 64 KiB.
    const auto watcher = makeWatcher(t.tree, recorder.callback(), failingReads(log, [](std::size_t, DWORD length) {
        return length > WindowsBackend::networkBufferSize ? DWORD{ERROR_INVALID_PARAMETER} : DWORD{0};
    }));
    writeFile(t.tree / "a", "");
    writeFile(t.tree / "b", "");
    EXPECT_TRUE(recorder.waitFor({"b", Event::added}));
    // Both records may come in one read; the read after it is issued once
    // they are handed over.
    ASSERT_TRUE(waitUntil([&] { return log.count() >= 3; })) << log.count();
    std::lock_guard lock(log.signal.mutex);
    EXPECT_EQ(log.lengths[0], 262144u);
    EXPECT_EQ(std::count(log.lengths.begin() + 1, log.lengths.end(), 65536u), log.lengths.size() - 1);
}

TEST(ReadFailingToStart, FirstReadFailureIsRaisedByTheConstructorAndLeavesNothingRunning)
{
    WatchedTree t;
    const std::size_t threads = runningThreads();
    const std::size_t handles = openHandles();
    struct Case {
        DWORD readFailure;
        DWORD readEventFailure;
        std::size_t readsIssued;  // invalid parameter is retried once, at 64 KiB; nothing else is
    };
    for (const Case c : {Case{ERROR_INVALID_PARAMETER, 0, 2}, Case{ERROR_ACCESS_DENIED, 0, 1},
                         // Without its event no read could ever complete.
                         Case{0, ERROR_NOT_ENOUGH_MEMORY, 0}}) {
        ReadLog log;
        auto tuning = failingReads(log, [&c](std::size_t, DWORD) { return c.readFailure; });
        if (c.readEventFailure != 0) {
            tuning.readEventFailure = [&c] { return c.readEventFailure; };
        }
        const DWORD expected = c.readFailure != 0 ? c.readFailure : c.readEventFailure;
        try {
            makeWatcher(t.tree, {}, tuning);
            ADD_FAILURE() << "construction succeeded";
        } catch (const std::system_error& failure) {
            EXPECT_EQ(failure.code(), std::error_code(static_cast<int>(expected), std::system_category()));
        }
        EXPECT_EQ(log.count(), c.readsIssued);
    }
    EXPECT_TRUE(waitUntil([&] { return runningThreads() == threads; })) << runningThreads();
    EXPECT_EQ(openHandles(), handles);
}

// As a read of a network share that has gone fails.
TEST(ReadFailingToStart, LaterFailureEndsTheMonitorWithoutSpinningTellsTheOwnerAndTeardownWorks)
{
    WatchedTree t;
    ReadLog log;
    Recorder recorder;
    const std::size_t threadsBefore = runningThreads();
    auto watcher = makeWatcher(t.tree, recorder.callback(), failingReads(log, [](std::size_t attempt, DWORD) {
        return attempt == 2 ? DWORD{ERROR_NETNAME_DELETED} : DWORD{0};
    }), recorder.options());
    writeFile(t.tree / "first", "");
    EXPECT_TRUE(recorder.waitFor({"first", Event::added}));
    const auto warning = recorder.waitForWarning(filewatch::WarningKind::stopped);
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->error, std::error_code(ERROR_NETNAME_DELETED, std::system_category()));
    // The monitor thread ends; the delivery thread waits on.
    EXPECT_TRUE(waitUntil([&] { return runningThreads() == threadsBefore + 1; })) << runningThreads();
    EXPECT_EQ(log.count(), 2u);
    const auto start = std::chrono::steady_clock::now();
    watcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, defaultDeadline);
}

// Reads as the monitor completed them: record counts, 0 for an overflow.
struct CompletedReads {
    Signal signal;
    std::vector<std::size_t> records;

    WindowsTuning observe(WindowsTuning tuning = {})
    {
        tuning.afterRead = [this](std::size_t count) {
            std::lock_guard lock(signal.mutex);
            records.push_back(count);
            signal.changed.notify_all();
        };
        return tuning;
    }
};

TEST(Overflow, ReadTooSmallForItsRecordsGivesAWarningAndWatchingGoesOn)
{
    WatchedTree t;
    CompletedReads reads;
    Recorder recorder;
    WindowsTuning tuning;
    // Room for a record of a short name, not of a long one.
    tuning.bufferSize = 64;
    const auto watcher = makeWatcher(t.tree, recorder.callback(), reads.observe(tuning), recorder.options());
    writeFile(t.tree / std::string(40, 'n'), "");
    ASSERT_TRUE(waitUntil(reads.signal, [&] { return !reads.records.empty(); }));
    EXPECT_EQ(reads.records.front(), 0u);
    EXPECT_TRUE(recorder.waitForWarning(filewatch::WarningKind::overflow));
    writeFile(t.tree / "a", "");
    EXPECT_TRUE(recorder.waitFor({"a", Event::added}));
    EXPECT_EQ(recorder.snapshot().front(), Change("a", Event::added));
}

// Windows refuses a read of a folder pending deletion with access denied,
// and says that it is pending. Wine says neither (the folder lingers while
// the watch holds it), so both answers are fed in from the moment the
// folder is deleted. A refusal of a folder not being deleted is an error,
// as before.
TEST(WatchedFolderDeleted, TheReadWindowsRefusesEndsWatchingWithAWarning)
{
    for (const bool deleted : {true, false}) {
        SCOPED_TRACE(deleted ? "deleted" : "still there");
        WatchedTree t;
        writeFile(t.tree / "last", "");
        ReadLog log;
        Recorder recorder;
        std::atomic<bool> refuse{false};
        WindowsTuning tuning = failingReads(
            log, [&](std::size_t, DWORD) { return refuse.load() ? DWORD{ERROR_ACCESS_DENIED} : DWORD{0}; });
        tuning.deletePending = [deleted] { return deleted; };
        const std::size_t threadsBefore = runningThreads();
        auto watcher = makeWatcher(t.tree, recorder.callback(), tuning, recorder.options());
        // Any read after the change below is refused.
        refuse = true;
        if (deleted) {
            fs::remove_all(t.tree);
            EXPECT_TRUE(recorder.waitForWarning(filewatch::WarningKind::root_removed));
        } else {
            writeFile(t.tree / "more", "");
            // The monitor thread ends, and says why; the delivery thread waits on.
            const auto warning = recorder.waitForWarning(filewatch::WarningKind::stopped);
            ASSERT_TRUE(warning);
            EXPECT_EQ(warning->error, std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
            EXPECT_TRUE(waitUntil([&] { return runningThreads() == threadsBefore + 1; })) << runningThreads();
        }
        watcher.reset();
    }
}

TEST(SeveralRecordsInOneRead, AreDeliveredAsOneCallEachInOrder)
{
    WatchedTree t;
    CompletedReads reads;
    Recorder recorder;
    Signal gate;
    bool released = false;
    WindowsTuning tuning;
    tuning.beforeWait = [&] {
        // Held back while the changes are made: they queue up in the system.
        waitUntil(gate, [&] { return released; }, std::chrono::seconds(60));
    };
    const auto watcher = makeWatcher(t.tree, recorder.callback(), reads.observe(tuning));
    const auto made = makeNumberedFiles(t.tree, 20);
    release(gate, released);
    EXPECT_EQ(creations(recorder.before(sentinel)), made);
    std::lock_guard lock(reads.signal.mutex);
    EXPECT_NE(std::find_if(reads.records.begin(), reads.records.end(), [](std::size_t n) { return n > 1; }),
              reads.records.end())
        << testing::PrintToString(reads.records);
}

}  // namespace
}  // namespace filewatch::tests
