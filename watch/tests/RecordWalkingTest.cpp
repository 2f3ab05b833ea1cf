#include "InotifyBytes.h"
#include "linux/InotifyRecords.h"

#include <gtest/gtest.h>

namespace filewatch::tests {
namespace {

using filewatch::inotify::InotifyRecord;
using filewatch::inotify::walkRecords;

TEST(RecordWalking, ReadsPackedRecordsWithPaddedAndEmptyNames)
{
    std::vector<std::byte> buffer;
    appendRecord(buffer, 1, IN_CREATE, 0, "a");
    appendRecord(buffer, 2, IN_MOVED_FROM, 7, "exactly-sixteen!");
    appendRecord(buffer, 1, IN_IGNORED, 0, "");
    EXPECT_EQ(walkRecords(buffer), (std::vector<InotifyRecord>{{1, IN_CREATE, 0, "a"},
                                                               {2, IN_MOVED_FROM, 7, "exactly-sixteen!"},
                                                               {1, IN_IGNORED, 0, ""}}));
}

TEST(RecordWalking, DropsARecordCutShortInsteadOfReadingPastTheBuffer)
{
    std::vector<std::byte> buffer;
    appendRecord(buffer, 1, IN_CREATE, 0, "kept");
    appendRecord(buffer, 1, IN_CREATE, 0, "cut");
    for (std::size_t cut = 1; cut < 32; ++cut) {
        const auto records = walkRecords(std::span(buffer).first(buffer.size() - cut));
        ASSERT_EQ(records.size(), 1u) << "cut " << cut;
        EXPECT_EQ(records[0].name, "kept");
    }
}

}  // namespace
}  // namespace filewatch::tests
