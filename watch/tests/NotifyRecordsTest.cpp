// The Windows record walk, and the core fed with Windows records, without
// the system: these run on every platform.
#include "NotifyBytes.h"
#include "TestSupport.h"

#include "src/Backend.h"

#include <deque>
#include <memory>

namespace filewatch::tests {
namespace {

using filewatch::win32::NotifyRecord;
using filewatch::win32::walkNotifyRecords;

std::vector<NotifyRecord> expectedRecords(std::initializer_list<std::pair<std::uint32_t, const char*>> list)
{
    std::vector<NotifyRecord> records;
    for (const auto& [action, name] : list) {
        records.push_back({units(name), action});
    }
    return records;
}

TEST(NotifyRecordWalk, ReadsRecordsAlignedAsWindowsAndAsWine)
{
    for (const std::size_t alignment : {4u, 2u}) {
        NotifyBuffer buffer(alignment);
        buffer.add(1, "a").add(3, "sub\\odd").add(4, "").add(5, "twelve-chars");
        EXPECT_EQ(walkNotifyRecords(buffer.bytes),
                  expectedRecords({{1, "a"}, {3, "sub\\odd"}, {4, ""}, {5, "twelve-chars"}}))
            << "alignment " << alignment;
    }
}

TEST(NotifyRecordWalk, BufferAtAnOddAddressIsRead)
{
    NotifyBuffer buffer(2);
    buffer.add(1, "first").add(2, "second");
    std::vector<std::byte> shifted(buffer.bytes.size() + 1);
    std::copy(buffer.bytes.begin(), buffer.bytes.end(), shifted.begin() + 1);
    EXPECT_EQ(walkNotifyRecords(std::span(shifted).subspan(1)), expectedRecords({{1, "first"}, {2, "second"}}));
}

TEST(NotifyRecordWalk, TruncatedBufferKeepsOnlyWholeRecords)
{
    NotifyBuffer buffer;
    buffer.add(1, "kept").add(2, "cut");
    for (std::size_t size = 0; size < buffer.bytes.size(); ++size) {
        // Copied, so reading past the end is caught by the sanitizers.
        const std::vector<std::byte> truncated(buffer.bytes.begin(), buffer.bytes.begin() + size);
        const auto records = walkNotifyRecords(truncated);
        const std::size_t whole = size >= 12 + 8 ? 1 : 0;
        ASSERT_EQ(records.size(), whole) << "size " << size;
        if (whole) {
            EXPECT_EQ(records[0].name, units("kept"));
        }
    }
}

TEST(NotifyRecordWalk, LinksAndLengthsPointingOutsideEndTheWalk)
{
    struct Corruption {
        const char* what;
        std::size_t field;  // 0 NextEntryOffset, 2 FileNameLength
        std::uint32_t value;
        std::size_t kept;
    };
    const Corruption corruptions[] = {
        {"next past the end", 0, 4096, 1},
        {"next to a header that does not fit", 0, 0, 1},
        {"next into its own name", 0, 14, 1},
        {"next wrapping around", 0, 0xFFFFFFF0u, 1},
        {"name past the end", 2, 4096, 0},
        {"name length wrapping around", 2, 0xFFFFFFFEu, 0},
    };
    for (const auto& corruption : corruptions) {
        NotifyBuffer buffer;
        buffer.add(1, "first").add(2, "second");
        std::uint32_t value = corruption.value;
        if (value == 0 && corruption.field == 0) {
            value = static_cast<std::uint32_t>(buffer.bytes.size() - 4);
        }
        buffer.patch(0, corruption.field, value);
        const auto records = walkNotifyRecords(buffer.bytes);
        EXPECT_EQ(records.size(), corruption.kept) << corruption.what;
    }
}

TEST(NotifyRecordWalk, OddNameLengthDropsTheHalfCodeUnit)
{
    NotifyBuffer buffer;
    buffer.add(1, "ab");
    buffer.patch(0, 2, 3);
    EXPECT_EQ(walkNotifyRecords(buffer.bytes), expectedRecords({{1, "a"}}));
}

// A backend that hands the core prepared record buffers, one per read.
struct ScriptedReads {
    Signal signal;
    std::deque<std::vector<std::byte>> pending;
    bool watchingDirectory = true;
    bool stopped = false;
    bool monitorEnded = false;

    void add(std::vector<std::byte> read)
    {
        std::lock_guard lock(signal.mutex);
        pending.push_back(std::move(read));
        signal.changed.notify_all();
    }
};

class ScriptedBackend final : public filewatch::detail::Backend {
public:
    explicit ScriptedBackend(ScriptedReads& reads) : reads(reads) {}

    bool open(const PathString&) override { return reads.watchingDirectory; }
    void arm(filewatch::detail::Batch&) override {}
    bool collect(filewatch::detail::Batch& batch) override
    {
        std::vector<std::byte> read;
        {
            std::unique_lock lock(reads.signal.mutex);
            reads.signal.changed.wait(lock, [&] { return reads.stopped || !reads.pending.empty(); });
            if (reads.stopped) {
                return false;
            }
            read = std::move(reads.pending.front());
            reads.pending.pop_front();
        }
        auto records = walkNotifyRecords(read);
        filewatch::win32::addChanges(records, batch);
        return true;
    }
    void disarm() noexcept override
    {
        std::lock_guard lock(reads.signal.mutex);
        reads.monitorEnded = true;
        reads.signal.changed.notify_all();
    }
    void signalStop() noexcept override
    {
        std::lock_guard lock(reads.signal.mutex);
        reads.stopped = true;
        reads.signal.changed.notify_all();
    }
    void close() noexcept override {}

private:
    ScriptedReads& reads;
};

std::unique_ptr<filewatch::DirectoryWatcher> watchScripted(const char* path, ScriptedReads& reads, Recorder& recorder)
{
    return filewatch::detail::WatcherFactory::make(nativePath(path), recorder.callback(),
                                                   std::make_unique<ScriptedBackend>(reads), recorder.options());
}

std::string inSub(const char* name)
{
    return std::string("sub") + nativeSeparator + name;
}

TEST(WindowsRecords, SeveralInOneReadAreDeliveredOneCallEachInOrder)
{
    ScriptedReads reads;
    Recorder recorder;
    const auto watcher = watchScripted("tree", reads, recorder);
    NotifyBuffer read;
    read.add(1, "a").add(2, "b").add(3, inSub("c")).add(4, "d").add(5, "e").add(3, "a");
    reads.add(read.bytes);
    const std::vector<Change> expected{{"a", Event::added},           {"b", Event::removed},
                                       {"sub/c", Event::modified},    {"d", Event::renamed_old_name},
                                       {"e", Event::renamed_new_name}, {"a", Event::modified}};
    EXPECT_TRUE(recorder.waitUntilChanges([&](const auto& changes) { return changes == expected; }))
        << testing::PrintToString(recorder.snapshot());
}

TEST(WindowsRecords, SingleFileFilterSkipsOtherNamesAndWalksOn)
{
    ScriptedReads reads;
    reads.watchingDirectory = false;
    Recorder recorder;
    const auto watcher = watchScripted("maps/target.upk", reads, recorder);
    NotifyBuffer read;
    read.add(1, "other.upk").add(3, "target.upk").add(1, "Target.upk").add(1, inSub("target.upk"));
    read.add(3, "target.upk.bak").add(3, inSub("target.upk") + "x").add(4, "target.upk");
    // A code outside the table on a record the filter drops is never looked up.
    read.add(9, "other.upk").add(5, "target.upk");
    reads.add(read.bytes);
    const std::vector<Change> expected{{"target.upk", Event::modified},
                                       {"sub/target.upk", Event::added},
                                       {"target.upk", Event::renamed_old_name},
                                       {"target.upk", Event::renamed_new_name}};
    EXPECT_TRUE(recorder.waitUntilChanges([&](const auto& changes) { return changes == expected; }))
        << testing::PrintToString(recorder.snapshot());
}

// The owner hears that watching has ended, rather than trust a silence.
TEST(WindowsRecords, ActionCodeOutsideOneToFiveEndsTheMonitorLosesItsReadAndSaysSo)
{
    for (const std::uint32_t action : {0u, 6u, 0xFFFFFFFFu}) {
        ScriptedReads reads;
        Recorder recorder;
        auto watcher = watchScripted("tree", reads, recorder);
        reads.add(NotifyBuffer().add(1, "before").bytes);
        ASSERT_TRUE(recorder.waitFor({"before", Event::added}));
        reads.add(NotifyBuffer().add(1, "lost").add(action, "bad").add(1, "lost-too").bytes);
        reads.add(NotifyBuffer().add(1, "never-read").bytes);
        EXPECT_TRUE(waitUntil(reads.signal, [&] { return reads.monitorEnded; })) << action;
        EXPECT_EQ(recorder.snapshot(), std::vector<Change>{Change("before", Event::added)}) << action;
        const auto warning = recorder.waitForWarning(filewatch::WarningKind::stopped);
        ASSERT_TRUE(warning) << action;
        EXPECT_EQ(warning->path, PathString());
        EXPECT_FALSE(warning->reason.empty());
        // Teardown still works with the monitor gone.
        watcher.reset();
    }
}

}  // namespace
}  // namespace filewatch::tests
