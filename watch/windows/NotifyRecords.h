// Windows change records (FILE_NOTIFY_INFORMATION) to watcher changes,
// without the system: the layout is declared here so the walk builds, is
// tested and fuzzed on every platform.
#pragma once

#include "../src/Backend.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace filewatch::win32 {

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

// The five FILE_ACTION_* codes Windows documents (1 to 5). Any other code
// means the records are not what this code takes them for: rather than
// guess, it throws std::system_error (bad_message), which ends the monitor
// and loses the read that held it.
Event eventFor(std::uint32_t action);

// Moved on Windows; copied unit by unit only where the walk is tested on
// Linux, with ASCII names.
template <class Name>
PathString toPathString(Name&& name)
{
    if constexpr (std::is_same_v<std::remove_cvref_t<Name>, PathString>) {
        return std::forward<Name>(name);
    } else {
        return PathString(name.begin(), name.end());
    }
}

// Adds the walked records of one read to `batch`, in order.
inline void addChanges(std::vector<NotifyRecord>& records, detail::Batch& batch)
{
    for (auto& record : records) {
        PathString name = toPathString(std::move(record.name));
        // Filtered first: the action of a record the owner does not hear of
        // is never looked at.
        if (batch.keeps(name)) {
            batch.add(std::move(name), eventFor(record.action));
        }
    }
}

}  // namespace filewatch::win32
