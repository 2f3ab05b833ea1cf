// Recursive directory watcher: reports every change below one directory, or
// to one file through its directory, to a callback run on a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

namespace filewatch {

enum class Event : std::uint32_t {
    added = 0,
    removed = 1,
    modified = 2,
    renamed_old_name = 3,
    renamed_new_name = 4,
};

// Lower-case enumerator name ("renamed_old_name"); "unknown" for other values.
const char* toString(Event kind) noexcept;

// Native path text: bytes on Linux, UTF-16 on Windows. Never converted, so no
// file name is lost.
using PathString = std::filesystem::path::string_type;

// What the watcher could not see.
enum class WarningKind : std::uint32_t {
    // The system dropped changes: the disk may now differ from what was
    // reported. An owner that mirrors the tree should look at it afresh.
    overflow = 0,
    // `path` is not watched, or not all of what is below it is: changes there
    // go unreported (the watch limit, a folder that cannot be read, a path
    // too long for the system).
    not_watched = 1,
    // The watched folder was deleted, or moved or renamed away (PATH no
    // longer names it). Nothing further is reported.
    root_removed = 2,
    root_moved = 3,
    // The watcher failed after it started (a read that failed, memory that
    // ran out, a network share gone): nothing further is reported. `error`
    // carries the system's code where there was one.
    stopped = 4,
};

// Lower-case enumerator name ("not_watched"); "unknown" for other values.
const char* toString(WarningKind kind) noexcept;

struct Warning {
    WarningKind kind;
    // Relative to the watched directory, as a changed path is; empty for the
    // watched directory itself and for an overflow.
    PathString path;
    // The system's code where it gave one (not_watched, stopped), else empty.
    std::error_code error;
    // Why, as one line of text: the system's message, or the setting to
    // raise when a system limit was reached.
    std::string reason;
};

namespace detail {
class Backend;
struct WatcherFactory;
}  // namespace detail

// Changed paths are relative to the watched directory and use the platform's
// separator. The callback runs on a thread of the watcher's (see Delivery),
// one call at a time, in the order the system reported the changes. Whatever
// a callback throws is caught, and the next change is delivered. Destroy the
// watcher from any thread but that one: it joins it, and waits for the
// callback under way.
class DirectoryWatcher {
public:
    using Callback = std::function<void(const PathString& changedPath, Event kind)>;
    using WarningCallback = std::function<void(const Warning& warning)>;

    // Which thread runs the callbacks.
    enum class Delivery : std::uint32_t {
        // A thread of the watcher's own, so that a slow callback never delays
        // reading. Changes wait for it in a queue of at most `queueLimit`.
        delivery_thread = 0,
        // The thread that reads the system's records, with no queue and no
        // hand-over between threads: the least latency, for a callback that
        // never blocks for long. While a callback runs nothing is read; the
        // system's own queue holds what comes meanwhile, and an overflow
        // warning follows once that overflows.
        monitor_thread = 1,
    };

    // Changes waiting for the delivery thread, at most, by default: about
    // 6 MiB of paths for an owner that has stopped taking them.
    static constexpr std::size_t defaultQueueLimit = 65536;

    struct Options {
        // Called in order with the changes whenever the watcher cannot see
        // something, on the thread that runs the change callback. Errors it
        // raises are handled as the change callback's are. Empty: warnings
        // are dropped.
        WarningCallback onWarning;
        // In directory mode, names holding a line break (U+000A or U+000D;
        // on Windows also U+2028 and U+2029) are left out unless this is
        // set: an owner that writes one name per line could not carry them.
        bool reportLineBreakNames = false;
        Delivery delivery = Delivery::delivery_thread;
        // With a delivery thread: once this many changes wait for it,
        // further changes are dropped, and an overflow warning follows the
        // last one kept. The memory a stalled owner can cost is bounded by
        // this, twice over (the queue and the batch being delivered).
        std::size_t queueLimit = defaultQueueLimit;
    };

    // Watches `path` if it is a directory, otherwise its directory, reporting
    // only changes whose last component equals the file's name. Returns once
    // the watch is armed. Throws std::system_error with the system's code.
    // Warnings are dropped and names holding a line break left out.
    DirectoryWatcher(PathString path, Callback callback);
    DirectoryWatcher(PathString path, Callback callback, Options options);
    ~DirectoryWatcher();

    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

private:
    friend struct detail::WatcherFactory;
    class Impl;

    DirectoryWatcher(PathString path, Callback callback, Options options,
                     std::unique_ptr<detail::Backend> backend);

    std::unique_ptr<Impl> impl;
};

// Splits at the last '\\' or '/', keeping the separator on the directory
// part. Without a separator the directory is "./".
std::pair<PathString, PathString> splitPath(const PathString& path);

}  // namespace filewatch
