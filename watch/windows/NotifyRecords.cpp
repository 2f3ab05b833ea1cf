#include "NotifyRecords.h"

#include <cstring>
#include <string>
#include <system_error>

namespace filewatch::win32 {

std::vector<NotifyRecord> walkNotifyRecords(std::span<const std::byte> buffer)
{
    std::vector<NotifyRecord> records;
    std::size_t offset = 0;
    while (buffer.size() - offset >= notifyHeaderSize) {
        // Copied out: Wine packs records at 2-byte alignment, and the buffer
        // itself need not be aligned at all.
        NotifyRecordHeader header;
        std::memcpy(&header, buffer.data() + offset, notifyHeaderSize);
        const std::size_t nameOffset = offset + notifyHeaderSize;
        // Network redirectors have been seen returning records cut short.
        if (header.fileNameLength > buffer.size() - nameOffset) {
            break;
        }
        NotifyRecord& record = records.emplace_back();
        record.action = header.action;
        record.name.resize(header.fileNameLength / sizeof(NameUnit));
        std::memcpy(record.name.data(), buffer.data() + nameOffset, record.name.size() * sizeof(NameUnit));
        if (header.nextEntryOffset == 0) {
            break;
        }
        // An offset into this record's own name, or to a header that does not
        // fit, is corrupt: nothing after it can be trusted.
        if (header.nextEntryOffset < notifyHeaderSize + header.fileNameLength ||
            header.nextEntryOffset > buffer.size() - offset) {
            break;
        }
        offset += header.nextEntryOffset;
    }
    return records;
}

Event eventFor(std::uint32_t action)
{
    switch (action) {
    case 1: return Event::added;             // FILE_ACTION_ADDED
    case 2: return Event::removed;           // FILE_ACTION_REMOVED
    case 3: return Event::modified;          // FILE_ACTION_MODIFIED
    case 4: return Event::renamed_old_name;  // FILE_ACTION_RENAMED_OLD_NAME
    case 5: return Event::renamed_new_name;  // FILE_ACTION_RENAMED_NEW_NAME
    }
    throw std::system_error(std::make_error_code(std::errc::bad_message),
                            "unknown change action " + std::to_string(action));
}

}  // namespace filewatch::win32
