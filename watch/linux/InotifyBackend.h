// The Linux backend: one inotify instance with a watch on every directory of
// the tree, and an eventfd that ends the monitor's wait.
#pragma once

#include "../src/Backend.h"
#include "InotifyRecords.h"
#include "UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <system_error>

namespace filewatch::inotify {

// Test seams; the defaults are what production uses.
struct InotifyTuning {
    // Simulates /proc/sys/fs/inotify/max_user_watches for this instance.
    std::size_t watchLimit = std::numeric_limits<std::size_t>::max();
    // Runs on the monitor thread before each wait, e.g. to hold it back.
    std::function<void()> beforeWait;
    // Runs on the monitor thread once an overflow has been dealt with.
    std::function<void()> onOverflow;
};

class InotifyBackend final : public detail::Backend {
public:
    static constexpr std::size_t bufferSize = 262144;

    explicit InotifyBackend(InotifyTuning tuning = {});

    bool open(const PathString& path) override;
    void arm(detail::Batch& batch) override;
    bool collect(detail::Batch& batch) override;
    void disarm() noexcept override;
    void signalStop() noexcept override;
    void close() noexcept override;

private:
    // Why a tree is walked: arming at start (a limit is an error), a new
    // directory (entries reported, failures skipped), or resynchronising
    // after an overflow (names of known directories refreshed).
    enum class Walk { arm, newDirectory, resynchronise };

    // Blocks until inotify is readable, a held-back move is due, or stop is
    // signalled; returns false for the stop.
    bool waitForRecords(bool& readable);
    void apply(Step& step, detail::Batch& batch);
    void report(PathString relativePath, Event kind, detail::Batch& batch);
    void unwatch(int wd);
    void overflowed(detail::Batch& batch);

    // Warns that `relativePath` (or what is below it) is not watched, unless
    // the error only says that it is gone or no directory.
    void warnNotWatched(const PathString& relativePath, std::error_code error, detail::Batch& batch);
    PathString absolute(const PathString& relativePath) const;
    int addWatch(const PathString& relativePath, Walk walk, detail::Batch& batch);
    // Watches every directory below `top`, and `top` itself unless it is the
    // root; `seen` collects the descriptors met.
    void watchTree(const PathString& top, Walk walk, std::set<int>& seen, detail::Batch& batch);

    InotifyTuning tuning;
    PathString root;
    UniqueFd inotifyFd;
    UniqueFd stopFd;
    // Set by signalStop from the owner's thread.
    std::atomic<bool> stopping{false};
    int rootWd = -1;
    std::unique_ptr<std::byte[]> buffer;
    bool watchedDirectoryGone = false;
    // Reads begun, numbering the listings of new directories.
    std::uint64_t readsBegun = 0;
    EventTranslator translator;
    // Reused for every read and record, so reading allocates nothing per
    // change.
    std::vector<InotifyRecord> records;
    Step step;
};

std::unique_ptr<detail::Backend> makeInotifyBackend(InotifyTuning tuning = {});

}  // namespace filewatch::inotify
