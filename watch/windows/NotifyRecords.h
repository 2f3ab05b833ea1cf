// Windows change records (FILE_NOTIFY_INFORMATION) to watcher changes,
// without the system: the layout is declared here so the walk builds, is
// tested and fuzzed on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace filewatch::windows {

// UTF-16 code units: the system's own wide type on Windows, so names reach
// the owner without conversion.
#ifdef _WIN32
using NameUnit = wchar_t;
#else
using NameUnit = char16_t;
#endif
static_assert(sizeof(NameUnit) == 2);
using RecordName = std::basic_string<NameUnit>;

// The fixed part of FILE_NOTIFY_INFORMATION; FileName follows it.
struct NotifyRecordHeader {
    std::uint32_t nextEntryOffset;  // bytes to the next record, 0 on the last
    std::uint32_t action;           // FILE_ACTION_*, passed on unchecked
    std::uint32_t fileNameLength;   // in bytes
};
inline constexpr std::size_t notifyHeaderSize = sizeof(NotifyRecordHeader);
static_assert(notifyHeaderSize == 12);

struct NotifyRecord {
    RecordName name;
    std::uint32_t action = 0;

    bool operator==(const NotifyRecord&) const = default;
};

// Walks the records of one completed read. `buffer` is exactly the bytes the
// read returned. The walk stops, keeping what it has, at a record whose
// header or name does not fit in the buffer, or whose NextEntryOffset does
// not lead past the record to a header inside the buffer.
std::vector<NotifyRecord> walkNotifyRecords(std::span<const std::byte> buffer);

}  // namespace filewatch::windows
