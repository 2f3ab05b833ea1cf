// The watcher on a real file system: what it reports for each kind of change.
#include "WatchedTree.h"

#include <sys/inotify.h>
#include <sys/time.h>

#include <fstream>
#include <functional>

namespace {

using namespace watch_test;
using filewatch::DirectoryWatcher;

const Change sentinel{"zz-sentinel", Event::added};

void makeSentinel(const fs::path& tree)
{
    writeFile(tree / "zz-sentinel", "");
}

void setTimes(const fs::path& file, timespec access, timespec modification)
{
    const timespec times[2] = {access, modification};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// One scripted case: the tree before watching, what is done while watching,
// and everything the watcher must report for it, in order, and nothing else.
struct Script {
    const char* name;
    std::function<void(WatchedTree&)> before;
    std::function<void(WatchedTree&)> act;
    std::vector<Change> expected;
    // Also right: the kernel merges identical events queued back to back, so
    // writes made before the monitor reads count as one.
    std::vector<Change> alsoRight = {};

    friend void PrintTo(const Script& script, std::ostream* out) { *out << script.name; }
};

const Script scripts[] = {
    {"write_reports_first_write_and_close",
     [](WatchedTree& t) { writeFile(t.tree / "f", "old"); },
     [](WatchedTree& t) {
         const int fd = ::open((t.tree / "f").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
         for (int i = 0; i < 3; ++i) {
             ASSERT_EQ(::write(fd, "abc", 3), 3);
         }
         ::close(fd);
     },
     {{"f", Event::modified}, {"f", Event::modified}},
     {{"f", Event::modified}}},
    {"large_save_in_small_writes_is_two_reports",
     [](WatchedTree& t) { writeFile(t.tree / "map.upk", "old"); },
     [](WatchedTree& t) {
         const std::string block(4096, 'm');
         const int fd = ::open((t.tree / "map.upk").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
         for (int i = 0; i < 50 * 256; ++i) {
             ASSERT_EQ(::write(fd, block.data(), block.size()), 4096);
         }
         ::close(fd);
     },
     {{"map.upk", Event::modified}, {"map.upk", Event::modified}}},
    {"touch_is_one_report",
     [](WatchedTree& t) { writeFile(t.tree / "f"); },
     [](WatchedTree& t) {
         // As touch(1) does it: open for writing, set both times, close.
         const int fd = ::open((t.tree / "f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
         ASSERT_EQ(::futimens(fd, nullptr), 0);
         ::close(fd);
     },
     {{"f", Event::modified}}},
    // Linux reports an access-time-only change as IN_ACCESS, exactly as it
    // reports a read, and reads must never count.
    {"access_time_alone_looks_like_a_read_and_is_not_reported",
     [](WatchedTree& t) { writeFile(t.tree / "f"); },
     [](WatchedTree& t) {
         // As touch -a does it.
         const int fd = ::open((t.tree / "f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
         const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
         ASSERT_EQ(::futimens(fd, times), 0);
         ::close(fd);
     },
     {}},
    {"modification_time_set_explicitly_is_modified",
     [](WatchedTree& t) { writeFile(t.tree / "f"); },
     [](WatchedTree& t) { setTimes(t.tree / "f", {0, UTIME_OMIT}, {1000, 0}); },
     {{"f", Event::modified}}},
    {"chmod_is_modified",
     [](WatchedTree& t) { writeFile(t.tree / "f"); },
     [](WatchedTree& t) { ASSERT_EQ(::chmod((t.tree / "f").c_str(), 0600), 0); },
     {{"f", Event::modified}}},
    {"reading_is_not_a_change",
     [](WatchedTree& t) { writeFile(t.tree / "f", "content"); },
     [](WatchedTree& t) {
         std::ifstream in(t.tree / "f");
         std::string content;
         in >> content;
         ASSERT_EQ(content, "content");
     },
     {}},
    {"create_with_content",
     {},
     [](WatchedTree& t) { writeFile(t.tree / "n", "abc"); },
     {{"n", Event::added}, {"n", Event::modified}}},
    {"rename_within_folder",
     [](WatchedTree& t) { writeFile(t.tree / "f"); },
     [](WatchedTree& t) { fs::rename(t.tree / "f", t.tree / "g"); },
     {{"f", Event::renamed_old_name}, {"g", Event::renamed_new_name}}},
    {"rename_across_folders",
     [](WatchedTree& t) {
         writeFile(t.tree / "f");
         fs::create_directory(t.tree / "sub");
     },
     [](WatchedTree& t) { fs::rename(t.tree / "f", t.tree / "sub" / "f"); },
     {{"f", Event::removed}, {"sub/f", Event::added}}},
    {"move_out",
     [](WatchedTree& t) { writeFile(t.tree / "f"); },
     [](WatchedTree& t) { fs::rename(t.tree / "f", t.outside / "f"); },
     {{"f", Event::removed}}},
    {"move_in",
     [](WatchedTree& t) { writeFile(t.outside / "f"); },
     [](WatchedTree& t) { fs::rename(t.outside / "f", t.tree / "f"); },
     {{"f", Event::added}}},
    {"delete_and_create_again",
     [](WatchedTree& t) { writeFile(t.tree / "f"); },
     [](WatchedTree& t) {
         fs::remove(t.tree / "f");
         writeFile(t.tree / "f", "");
     },
     {{"f", Event::removed}, {"f", Event::added}}},
    {"directory_created_and_removed",
     {},
     [](WatchedTree& t) {
         fs::create_directory(t.tree / "d");
         fs::remove(t.tree / "d");
     },
     {{"d", Event::added}, {"d", Event::removed}}},
    {"relative_paths_below_the_root",
     [](WatchedTree& t) { fs::create_directories(t.tree / "sub" / "deeper"); },
     [](WatchedTree& t) { writeFile(t.tree / "sub" / "deeper" / "f", ""); },
     {{"sub/deeper/f", Event::added}}},
    {"directory_renamed_inside_keeps_watching_under_new_name",
     [](WatchedTree& t) { fs::create_directories(t.tree / "sub" / "deeper"); },
     [](WatchedTree& t) {
         fs::rename(t.tree / "sub", t.tree / "moved");
         writeFile(t.tree / "moved" / "deeper" / "x", "");
     },
     {{"sub", Event::renamed_old_name}, {"moved", Event::renamed_new_name}, {"moved/deeper/x", Event::added}}},
    {"subdirectory_moved_out_then_written_to",
     [](WatchedTree& t) {
         fs::create_directories(t.tree / "sub" / "deeper");
         writeFile(t.tree / "sub" / "deeper" / "f");
     },
     [](WatchedTree& t) {
         fs::rename(t.tree / "sub", t.outside / "sub");
         writeFile(t.outside / "sub" / "deeper" / "f", "changed");
         writeFile(t.outside / "sub" / "new", "");
     },
     {{"sub", Event::removed}}},
    {"link_to_a_directory_is_not_followed",
     [](WatchedTree& t) {
         fs::create_directory(t.outside / "target");
         fs::create_directory_symlink(t.outside / "target", t.tree / "old-link");
     },
     [](WatchedTree& t) {
         fs::create_directory_symlink(t.outside / "target", t.tree / "new-link");
         writeFile(t.outside / "target" / "x", "");
     },
     {{"new-link", Event::added}}},
    {"names_with_a_line_break_are_dropped",
     {},
     [](WatchedTree& t) {
         writeFile(t.tree / "bad\nname", "");
         writeFile(t.tree / "bad\rname", "");
         writeFile(t.tree / "back\\slash", "");
     },
     {{"back\\slash", Event::added}}},
};

class EveryKindOfChange : public testing::TestWithParam<Script> {};

TEST_P(EveryKindOfChange, IsReportedAsScripted)
{
    const Script& script = GetParam();
    WatchedTree t;
    if (script.before) {
        script.before(t);
    }
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree, recorder.callback());
    script.act(t);
    makeSentinel(t.tree);
    const auto reported = recorder.before(sentinel);
    if (script.alsoRight.empty() || reported != script.alsoRight) {
        EXPECT_EQ(reported, script.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, EveryKindOfChange, testing::ValuesIn(scripts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SingleFile, ReportsOnlyItsExactNameInAnyFolder)
{
    WatchedTree t;
    writeFile(t.tree / "target.txt");
    fs::create_directory(t.tree / "sub");
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree / "target.txt", recorder.callback());
    writeFile(t.tree / "other.txt", "");
    writeFile(t.tree / "Target.txt", "");
    writeFile(t.tree / "target.txt.bak", "");
    writeFile(t.tree / "sub" / "target.txt", "");
    ASSERT_EQ(::chmod((t.tree / "target.txt").c_str(), 0600), 0);
    EXPECT_EQ(recorder.before({"target.txt", Event::modified}),
              (std::vector<Change>{{"sub/target.txt", Event::added}}));
}

TEST(SingleFile, PathWithoutSeparatorWatchesTheCurrentDirectory)
{
    WatchedTree t;
    writeFile(t.tree / "target");
    const fs::path previous = fs::current_path();
    fs::current_path(t.tree);
    Recorder recorder;
    try {
        const auto watcher = makeWatcher("target", recorder.callback());
        writeFile(t.tree / "other", "");
        ASSERT_EQ(::chmod((t.tree / "target").c_str(), 0600), 0);
        EXPECT_EQ(recorder.before({"target", Event::modified}), std::vector<Change>{});
    } catch (...) {
        fs::current_path(previous);
        throw;
    }
    fs::current_path(previous);
}

TEST(SingleFile, BackslashIsAnOrdinaryNameCharacterOnLinux)
{
    WatchedTree t;
    writeFile(t.tree / "map\\name.upk");
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree / "map\\name.upk", recorder.callback());
    writeFile(t.tree / "name.upk", "");
    ASSERT_EQ(::chmod((t.tree / "map\\name.upk").c_str(), 0600), 0);
    EXPECT_EQ(recorder.before({"map\\name.upk", Event::modified}), std::vector<Change>{});
}

TEST(NewFolders, FileCreatedRightAfterItsFoldersIsNeverMissed)
{
    WatchedTree t;
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree, recorder.callback());
    for (int round = 0; round < 20; ++round) {
        const std::string top = "p" + std::to_string(round);
        fs::create_directories(t.tree / top / "a" / "b" / "c");
        writeFile(t.tree / top / "a" / "b" / "c" / "f", "");
        for (const auto& path : {top, top + "/a", top + "/a/b", top + "/a/b/c", top + "/a/b/c/f"}) {
            EXPECT_TRUE(recorder.waitFor({path, Event::added})) << path;
        }
    }
    // And the new folders stay watched.
    writeFile(t.tree / "p0" / "a" / "b" / "c" / "g", "");
    EXPECT_TRUE(recorder.waitFor({"p0/a/b/c/g", Event::added}));
}

TEST(NewFolders, ThoseBeyondTheWatchLimitLeaveExistingWatchesWorking)
{
    WatchedTree t;
    fs::create_directory(t.tree / "sub");
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree, recorder.callback(), withWatchLimit(2));
    fs::create_directory(t.tree / "new");
    ASSERT_TRUE(recorder.waitFor({"new", Event::added}));
    writeFile(t.tree / "new" / "unseen", "");
    writeFile(t.tree / "sub" / "seen", "");
    makeSentinel(t.tree);
    EXPECT_EQ(recorder.before(sentinel), (std::vector<Change>{{"new", Event::added}, {"sub/seen", Event::added}}));
}

TEST(NewFolders, DeepPathsAreReportedWhole)
{
    WatchedTree t;
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree, recorder.callback());
    PathString relative;
    for (int level = 0; level < 14; ++level) {
        relative += (level ? "/" : "") + std::string(250, static_cast<char>('a' + level));
    }
    fs::create_directories(t.tree / relative);
    writeFile(t.tree / relative / "f", "");
    EXPECT_TRUE(recorder.waitFor({relative + "/f", Event::added}));
}

TEST(Ordering, RecordsOfABurstArriveInTheOrderMade)
{
    WatchedTree t;
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree, recorder.callback());
    std::vector<Change> made;
    for (int i = 0; i < 300; ++i) {
        made.push_back({"f" + std::to_string(i), Event::added});
        writeFile(t.tree / made.back().path, "");
    }
    makeSentinel(t.tree);
    EXPECT_EQ(recorder.before(sentinel), made);
}

TEST(Overflow, GivesNothingForTheLostStretchAndWatchingGoesOn)
{
    long queueLimit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLimit;
    if (queueLimit <= 0 || queueLimit > 1'000'000) {
        GTEST_SKIP() << "max_queued_events is " << queueLimit;
    }
    WatchedTree t;
    writeFile(t.tree / "a");
    writeFile(t.tree / "b");
    Signal signal;
    bool monitorMayRead = false;
    int overflows = 0;
    filewatch::inotify::InotifyTuning tuning;
    tuning.beforeWait = [&] {
        // Hold the monitor back so the kernel's queue fills up.
        waitUntil(signal, [&] { return monitorMayRead; }, std::chrono::seconds(60));
    };
    tuning.onOverflow = [&] {
        std::lock_guard lock(signal.mutex);
        ++overflows;
        signal.changed.notify_all();
    };
    Recorder recorder;
    const auto watcher = makeWatcher(t.tree, recorder.callback(), tuning);

    // Alternating names, because the kernel merges an event identical to the
    // one queued just before it.
    for (long i = 0; i <= queueLimit; ++i) {
        setTimes(t.tree / (i % 2 ? "a" : "b"), {0, UTIME_NOW}, {0, UTIME_NOW});
    }
    // Made while events are being lost: found again when watches resync.
    fs::create_directory(t.tree / "lost-folder");
    {
        std::lock_guard lock(signal.mutex);
        monitorMayRead = true;
        signal.changed.notify_all();
    }
    ASSERT_TRUE(waitUntil(signal, [&] { return overflows > 0; }));
    writeFile(t.tree / "lost-folder" / "after", "");
    EXPECT_TRUE(recorder.waitFor({"lost-folder/after", Event::added}));
}

TEST(Callback, StandardErrorIsSwallowedAndTheNextChangeDelivered)
{
    WatchedTree t;
    Recorder recorder;
    auto record = recorder.callback();
    const auto watcher = makeWatcher(t.tree, [&](const PathString& path, Event kind) {
        record(path, kind);
        if (path == "first") {
            throw std::runtime_error("owner failed");
        }
    });
    writeFile(t.tree / "first", "");
    writeFile(t.tree / "second", "");
    EXPECT_TRUE(recorder.waitFor({"second", Event::added}));
}

TEST(Callback, NonStandardErrorEndsDeliveryButNotTeardown)
{
    WatchedTree t;
    Signal signal;
    int calls = 0;
    auto watcher = makeWatcher(t.tree, [&](const PathString&, Event) {
        {
            std::lock_guard lock(signal.mutex);
            ++calls;
            signal.changed.notify_all();
        }
        throw 42;
    });
    writeFile(t.tree / "first", "");
    ASSERT_TRUE(waitUntil(signal, [&] { return calls == 1; }));
    writeFile(t.tree / "second", "");
    writeFile(t.tree / "third", "");
    watcher.reset();
    EXPECT_EQ(calls, 1);
}

TEST(Callback, WhileItBlocksChangesQueueUpAndArriveInOrder)
{
    WatchedTree t;
    Recorder recorder;
    auto record = recorder.callback();
    Signal gate;
    bool released = false;
    const auto watcher = makeWatcher(t.tree, [&](const PathString& path, Event kind) {
        waitUntil(gate, [&] { return released; }, std::chrono::seconds(60));
        record(path, kind);
    });
    std::vector<Change> made;
    for (int i = 0; i < 50; ++i) {
        made.push_back({"f" + std::to_string(i), Event::added});
        writeFile(t.tree / made.back().path, "");
    }
    makeSentinel(t.tree);
    {
        std::lock_guard lock(gate.mutex);
        released = true;
        gate.changed.notify_all();
    }
    EXPECT_EQ(recorder.before(sentinel), made);
}

TEST(Callback, EmptyCallableDropsChanges)
{
    WatchedTree t;
    auto watcher = makeWatcher(t.tree, DirectoryWatcher::Callback{});
    for (int i = 0; i < 20; ++i) {
        writeFile(t.tree / ("f" + std::to_string(i)), "x");
    }
    watcher.reset();
}

TEST(TwoWatchers, OnOnePathEachReportEveryChange)
{
    WatchedTree t;
    Recorder first;
    Recorder second;
    const auto one = std::make_unique<DirectoryWatcher>(t.tree.native(), first.callback());
    const auto two = std::make_unique<DirectoryWatcher>(t.tree.native(), second.callback());
    makeSentinel(t.tree);
    EXPECT_EQ(first.before(sentinel), std::vector<Change>{});
    EXPECT_EQ(second.before(sentinel), std::vector<Change>{});
}

TEST(WatchedDirectory, RemovedEndsReportsQuietly)
{
    WatchedTree t;
    fs::create_directory(t.tree / "sub");
    writeFile(t.tree / "sub" / "f");
    Recorder recorder;
    auto watcher = makeWatcher(t.tree, recorder.callback());
    fs::remove_all(t.tree);
    EXPECT_TRUE(recorder.waitFor({"sub/f", Event::removed}));
    EXPECT_TRUE(recorder.waitFor({"sub", Event::removed}));
    fs::create_directory(t.tree);
    writeFile(t.tree / "f", "");
    watcher.reset();
}

}  // namespace
