// The kernel's inotify buffer: walking any bytes stays inside them, and the
// translator takes whatever records come out without failing.
#include <chrono>
#include <cstdint>
#include <span>

#include "../watch/linux/InotifyRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace inotify = filewatch::inotify;
    const auto records = inotify::walkRecords(std::as_bytes(std::span(data, size)));
    inotify::EventTranslator translator;
    translator.addWatch(1, {});
    translator.addWatch(2, "sub");
    inotify::Step step;
    auto now = inotify::EventTranslator::Clock::time_point{};
    translator.feed(records, now);
    while (translator.next(now, step)) {
    }
    // A later, empty read flushes whatever moves are still held back.
    translator.feed({}, now + std::chrono::seconds(1));
    while (translator.next(now + std::chrono::seconds(1), step)) {
    }
    return 0;
}
