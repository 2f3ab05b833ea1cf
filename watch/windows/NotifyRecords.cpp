#include "NotifyRecords.h"

#include <cstring>

namespace filewatch::windows {

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

}  // namespace filewatch::windows
