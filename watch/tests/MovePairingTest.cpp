#include "InotifyBytes.h"
#include "linux/InotifyRecords.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace filewatch::tests {
namespace {

using filewatch::inotify::EventTranslator;
using filewatch::inotify::InotifyRecord;
using namespace std::chrono_literals;
using Log = std::vector<std::string>;

// Feeds one read and logs each step as the backend applies it.
struct StepLog {
    // Stands in for the backend's watch and listing of a new directory.
    std::function<void(const filewatch::PathString&)> onNewDirectory;

    Log feed(EventTranslator& translator, const std::vector<InotifyRecord>& records,
             EventTranslator::Clock::time_point now)
    {
        translator.feed(records, now);
        Log log;
        filewatch::inotify::Step step;
        while (translator.next(now, step)) {
            for (const int wd : step.unwatch) {
                log.push_back("unwatch " + std::to_string(wd));
            }
            for (const auto& [path, kind] : step.changes) {
                log.push_back(std::string(toString(kind)) + " " + path);
            }
            if (step.newDirectory) {
                log.push_back("watch " + *step.newDirectory);
                if (onNewDirectory) {
                    onNewDirectory(*step.newDirectory);
                }
            }
            if (step.overflowed) {
                log.push_back("overflow");
            }
            if (step.rootGone) {
                log.push_back(*step.rootGone == filewatch::WarningKind::root_moved ? "root moved" : "root removed");
            }
        }
        return log;
    }
};

// Root (1) with "sub" (2) and "sub/deep" (3) watched.
class MovePairing : public testing::Test {
protected:
    MovePairing()
    {
        translator.addWatch(1, "");
        translator.addWatch(2, "sub");
        translator.addWatch(3, "sub/deep");
    }

    Log feed(std::vector<InotifyRecord> records, EventTranslator::Clock::duration at = 0s)
    {
        return sink.feed(translator, records, start + at);
    }

    const EventTranslator::Clock::time_point start{};
    EventTranslator translator;
    StepLog sink;
};

TEST_F(MovePairing, PairsMovesByCookieWithinAndAcrossDirectories)
{
    EXPECT_EQ(feed({{1, IN_MOVED_FROM, 5, "a"}, {1, IN_MOVED_TO, 5, "b"}}),
              (Log{"renamed_old_name a", "renamed_new_name b"}));
    EXPECT_EQ(feed({{1, IN_MOVED_FROM, 6, "b"}, {3, IN_MOVED_TO, 6, "b"}}), (Log{"removed b", "added sub/deep/b"}));
    EXPECT_FALSE(translator.nextDeadline());
}

TEST_F(MovePairing, RenameSplitAcrossTwoReads)
{
    std::vector<std::byte> first;
    std::vector<std::byte> second;
    appendRecord(first, 1, IN_CREATE, 0, "other");
    appendRecord(first, 1, IN_MOVED_FROM, 9, "old");
    appendRecord(second, 1, IN_MOVED_TO, 9, "new");
    appendRecord(second, 1, IN_DELETE, 0, "other");

    EXPECT_EQ(feed(filewatch::inotify::walkRecords(first)), (Log{"added other"}));
    ASSERT_TRUE(translator.nextDeadline());
    EXPECT_LE(*translator.nextDeadline() - start, 100ms);
    EXPECT_EQ(feed(filewatch::inotify::walkRecords(second), 30ms),
              (Log{"renamed_old_name old", "renamed_new_name new", "removed other"}));
    EXPECT_FALSE(translator.nextDeadline());
}

TEST_F(MovePairing, UnpairedMoveIsRemovedAfterTheGraceAndHoldsLaterRecordsInOrder)
{
    EXPECT_EQ(feed({{1, IN_MOVED_FROM, 4, "gone"}, {1, IN_CREATE, 0, "after"}}), Log{});
    EXPECT_EQ(feed({{2, IN_CREATE, 0, "later"}}, 50ms), Log{});
    EXPECT_EQ(feed({}, 100ms), (Log{"removed gone", "added after", "added sub/later"}));
    EXPECT_FALSE(translator.nextDeadline());
    // Its MOVED_TO after the grace is a move in.
    EXPECT_EQ(feed({{1, IN_MOVED_TO, 4, "back"}}, 150ms), (Log{"added back"}));
}

TEST_F(MovePairing, DirectoryMovedOutDropsItsWatchesAndTheirLaterRecords)
{
    EXPECT_EQ(feed({{1, IN_MOVED_FROM | IN_ISDIR, 8, "sub"}, {3, IN_MODIFY, 0, "f"}}), Log{});
    EXPECT_EQ(feed({{2, IN_CREATE, 0, "g"}, {1, IN_CREATE, 0, "kept"}}, 200ms),
              (Log{"unwatch 2", "unwatch 3", "removed sub", "added kept"}));
    EXPECT_EQ(translator.watches(), (std::map<int, filewatch::PathString>{{1, ""}}));
}

TEST_F(MovePairing, DirectoryRenamedInsideKeepsWatchingUnderItsNewName)
{
    EXPECT_EQ(feed({{1, IN_MOVED_FROM | IN_ISDIR, 3, "sub"}, {1, IN_MOVED_TO | IN_ISDIR, 3, "renamed"}}),
              (Log{"renamed_old_name sub", "renamed_new_name renamed"}));
    EXPECT_EQ(feed({{3, IN_CREATE, 0, "f"}}), (Log{"added renamed/deep/f"}));
    // A rename of a directory that has no watch yet gives it one.
    EXPECT_EQ(feed({{1, IN_MOVED_FROM | IN_ISDIR, 4, "young"}, {1, IN_MOVED_TO | IN_ISDIR, 4, "grown"}}),
              (Log{"renamed_old_name young", "renamed_new_name grown", "watch grown"}));
}

TEST_F(MovePairing, NewAndMovedInDirectoriesAreWatched)
{
    EXPECT_EQ(feed({{2, IN_CREATE | IN_ISDIR, 0, "new"}, {1, IN_MOVED_TO | IN_ISDIR, 3, "in"}}),
              (Log{"added sub/new", "watch sub/new", "added in", "watch in"}));
}

TEST_F(MovePairing, WritesAreCoalescedToTheFirstWriteAndTheClose)
{
    std::vector<InotifyRecord> save{{1, IN_MODIFY, 0, "map"}};
    for (int i = 0; i < 12799; ++i) {
        save.push_back({1, IN_MODIFY, 0, "map"});
    }
    save.push_back({1, IN_CLOSE_WRITE, 0, "map"});
    EXPECT_EQ(feed(save), (Log{"modified map", "modified map"}));
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "map"}, {1, IN_CLOSE_WRITE, 0, "map"}}), (Log{"modified map"}));
    // A touch changes times only.
    EXPECT_EQ(feed({{1, IN_ATTRIB, 0, "map"}, {1, IN_CLOSE_WRITE, 0, "map"}}), (Log{"modified map"}));
    // Opened for writing, nothing written.
    EXPECT_EQ(feed({{1, IN_CLOSE_WRITE, 0, "map"}}), Log{});
    // Reads are not subscribed to, but must not count if they arrive.
    EXPECT_EQ(feed({{1, IN_ACCESS, 0, "map"}, {1, IN_CLOSE_NOWRITE, 0, "map"}}), Log{});
    // Kept open and written now and then: reported again once the interval
    // since the last report has passed, and at the close for what came after.
    const auto interval = EventTranslator::writeReportInterval;
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "log"}}, 10s), (Log{"modified log"}));
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "log"}}, 10s + interval - 1ms), Log{});
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "log"}}, 10s + interval), (Log{"modified log"}));
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "log"}, {1, IN_CLOSE_WRITE, 0, "log"}}, 10s + interval + 1ms),
              (Log{"modified log"}));
}

TEST_F(MovePairing, WriteSessionsFollowRenamesAndEndWithDeletion)
{
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "tmp"}, {1, IN_MOVED_FROM, 2, "tmp"}, {1, IN_MOVED_TO, 2, "final"},
                    {1, IN_MODIFY, 0, "final"}, {1, IN_CLOSE_WRITE, 0, "final"}}),
              (Log{"modified tmp", "renamed_old_name tmp", "renamed_new_name final", "modified final"}));
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "x"}, {1, IN_DELETE, 0, "x"}, {1, IN_CREATE, 0, "x"}, {1, IN_MODIFY, 0, "x"}}),
              (Log{"modified x", "removed x", "added x", "modified x"}));
}

TEST_F(MovePairing, OverflowRestartsWriteSessionsAndLaterRecordsStillCount)
{
    EXPECT_EQ(feed({{1, IN_MODIFY, 0, "f"}, {-1, IN_Q_OVERFLOW, 0, ""}, {1, IN_MODIFY, 0, "f"}}),
              (Log{"modified f", "overflow", "modified f"}));
}

TEST_F(MovePairing, IgnoresRecordsAboutWatchedDirectoriesThemselvesAndForgottenWatches)
{
    EXPECT_EQ(feed({{2, IN_ATTRIB | IN_ISDIR, 0, ""}, {3, IN_IGNORED, 0, ""}, {3, IN_CREATE, 0, "late"},
                    {99, IN_CREATE, 0, "stray"}}),
              Log{});
    EXPECT_EQ(translator.watches().count(3), 0u);
}

// A new directory's listing and the creates queued on its fresh watch
// report each entry once; a delete, a move or an overflow in between makes
// a later create of the name a new entry.
TEST(NewDirectoryListing, AndTheCreatesQueuedOnItsWatchReportEachEntryOnce)
{
    struct Case {
        const char* name;
        std::vector<InotifyRecord> afterListing;
        Log expected;
        bool everyEarlierRecordRead = false;
    };
    const Case cases[] = {
        {"create of a listed file", {{4, IN_CREATE, 0, "f"}}, {}},
        {"create of a listed folder, already watched by the listing", {{4, IN_CREATE | IN_ISDIR, 0, "sub"}}, {}},
        {"created, deleted and created again",
         {{4, IN_CREATE, 0, "f"}, {4, IN_DELETE, 0, "f"}, {4, IN_CREATE, 0, "f"}},
         {"removed new/f", "added new/f"}},
        {"deleted and made again before the listing", {{4, IN_DELETE, 0, "f"}, {4, IN_CREATE, 0, "f"}},
         {"removed new/f", "added new/f"}},
        {"moved away and made again",
         {{4, IN_MOVED_FROM, 7, "f"}, {1, IN_MOVED_TO, 7, "g"}, {4, IN_CREATE, 0, "f"}},
         {"removed new/f", "added g", "added new/f"}},
        {"a name the listing did not see", {{4, IN_CREATE, 0, "other"}}, {"added new/other"}},
        // It may have replaced the listed entry: a change either way.
        {"moved in under a listed name", {{4, IN_MOVED_TO, 9, "f"}}, {"added new/f"}},
        {"after an overflow", {{-1, IN_Q_OVERFLOW, 0, ""}, {4, IN_CREATE, 0, "f"}}, {"overflow", "added new/f"}},
        {"once every record queued before was read", {{4, IN_CREATE, 0, "f"}}, {"added new/f"}, true},
    };
    for (const auto& [name, afterListing, expected, everyEarlierRecordRead] : cases) {
        SCOPED_TRACE(name);
        EventTranslator translator;
        StepLog sink;
        translator.addWatch(1, "");
        sink.onNewDirectory = [&](const filewatch::PathString& path) {
            translator.addWatch(4, path);
            translator.noteListed(4, "f", 1);
            translator.noteListed(4, "sub", 1);
        };
        EXPECT_EQ(sink.feed(translator, {{1, IN_CREATE | IN_ISDIR, 0, "new"}}, {}), (Log{"added new", "watch new"}));
        EXPECT_EQ(translator.listedNames(), 2u);
        if (everyEarlierRecordRead) {
            translator.forgetListingsBefore(2);
            EXPECT_EQ(translator.listedNames(), 0u);
        }
        EXPECT_EQ(sink.feed(translator, afterListing, {}), expected);
    }
}

// Once the watched directory itself is gone, nothing more is translated:
// its subdirectories may live on elsewhere, under paths no longer below it.
TEST_F(MovePairing, TheWatchedDirectoryGoneEndsTranslation)
{
    struct Case {
        std::uint32_t mask;
        const char* said;
    };
    for (const auto& [mask, said] : {Case{IN_DELETE_SELF, "root removed"}, Case{IN_MOVE_SELF, "root moved"},
                                     Case{IN_UNMOUNT, "root removed"}, Case{IN_IGNORED, "root removed"}}) {
        SCOPED_TRACE(said);
        EventTranslator gone;
        gone.addWatch(1, "");
        gone.addWatch(2, "sub");
        EXPECT_EQ(sink.feed(gone, {{2, IN_CREATE, 0, "x"}, {1, mask, 0, ""}, {2, IN_CREATE, 0, "late"}}, start),
                  (Log{"added sub/x", said}));
        EXPECT_EQ(sink.feed(gone, {{1, IN_MOVED_FROM, 3, "a"}, {2, IN_CREATE, 0, "later"}}, start), Log{});
        EXPECT_EQ(sink.feed(gone, {}, start + 1s), Log{});
        EXPECT_FALSE(gone.nextDeadline());
    }
}

}  // namespace
}  // namespace filewatch::tests
