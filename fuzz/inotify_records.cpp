// The kernel's inotify buffer: walking any bytes stays inside them, and the
// translator takes whatever records come out without failing.
#include <chrono>
#include <cstdint>
#include <span>

#include "../watch/linux/InotifyRecords.h"

namespace {

class DiscardingSink : public filewatch::inotify::ChangeSink {
public:
    void report(filewatch::PathString, std::uint32_t) override {}
    void watchNewDirectory(const filewatch::PathString&) override {}
    void unwatch(int) override {}
    void overflowed() override {}
    void rootGone(bool) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace inotify = filewatch::inotify;
    const auto records = inotify::walkRecords(std::as_bytes(std::span(data, size)));
    inotify::EventTranslator translator;
    translator.addWatch(1, {});
    translator.addWatch(2, "sub");
    DiscardingSink sink;
    auto now = inotify::EventTranslator::Clock::time_point{};
    translator.feed(records, now, sink);
    // A later, empty read flushes whatever moves are still held back.
    translator.feed({}, now + std::chrono::seconds(1), sink);
    return 0;
}
