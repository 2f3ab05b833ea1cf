// Hand-made Windows change-record buffers.
#pragma once

#include "windows/NotifyRecords.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace filewatch::tests {

using filewatch::win32::NotifyRecordHeader;
using filewatch::win32::RecordName;

// An ASCII name as UTF-16 code units.
inline RecordName units(const std::string& ascii)
{
    return RecordName(ascii.begin(), ascii.end());
}

// Appends one record and links the previous one to it. Windows aligns
// records to 4 bytes, Wine to 2.
inline void appendNotifyRecord(std::vector<std::byte>& buffer, std::size_t& last, std::uint32_t action,
                               const RecordName& name, std::size_t alignment = 4)
{
    while (buffer.size() % alignment != 0) {
        buffer.push_back(std::byte{0});
    }
    const std::size_t start = buffer.size();
    if (start != 0) {
        const auto next = static_cast<std::uint32_t>(start - last);
        std::memcpy(buffer.data() + last, &next, sizeof next);
    }
    const NotifyRecordHeader header{0, action, static_cast<std::uint32_t>(name.size() * 2)};
    buffer.resize(start + sizeof header + name.size() * 2);
    std::memcpy(buffer.data() + start, &header, sizeof header);
    std::memcpy(buffer.data() + start + sizeof header, name.data(), name.size() * 2);
    last = start;
}

struct NotifyBuffer {
    explicit NotifyBuffer(std::size_t alignment = 4) : alignment(alignment) {}

    std::vector<std::byte> bytes;
    std::size_t last = 0;
    std::size_t alignment;

    NotifyBuffer& add(std::uint32_t action, const std::string& name)
    {
        appendNotifyRecord(bytes, last, action, units(name), alignment);
        return *this;
    }
    // Overwrites one header field of the record starting at `at`.
    void patch(std::size_t at, std::size_t field, std::uint32_t value)
    {
        std::memcpy(bytes.data() + at + field * 4, &value, sizeof value);
    }
};

}  // namespace filewatch::tests
