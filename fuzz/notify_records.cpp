// Windows change records as a read returns them, possibly truncated or
// packed at odd alignment: the walk stays inside the bytes it is given and
// every name it returns lies within them.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "../watch/windows/NotifyRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace win32 = filewatch::win32;
    const auto records = win32::walkNotifyRecords(std::as_bytes(std::span(data, size)));
    std::size_t bytes = 0;
    for (const auto& record : records) {
        bytes += win32::notifyHeaderSize + record.name.size() * sizeof(win32::NameUnit);
    }
    if (bytes > size) std::abort();
    return 0;
}
