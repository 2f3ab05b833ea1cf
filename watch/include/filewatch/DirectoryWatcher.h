// Recursive directory watcher: reports every change below one directory, or
// to one file through its directory, to a callback run on a thread of its own.
#pragma once

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
};

// Lower-case enumerator name ("not_watched"); "unknown" for other values.
const char* toString(WarningKind kind) noexcept;

struct Warning {
    WarningKind kind;
    // Relative to the watched directory, as a changed path is; empty for the
    // watched directory itself and for an overflow.
    PathString path;
    // The system's code where it gave one (not_watched), else empty.
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
// separator. The callback runs on the watcher's delivery thread, one call at a
// time, in the order the system reported the changes. Destroy the watcher from
// any thread but that one: it joins the delivery thread.
class DirectoryWatcher {
public:
    using Callback = std::function<void(const PathString& changedPath, Event kind)>;
    using WarningCallback = std::function<void(const Warning& warning)>;

    struct Options {
        // Called on the delivery thread, in order with the changes, whenever
        // the watcher cannot see something. Errors it raises are handled as
        // the change callback's are. Empty: warnings are dropped.
        WarningCallback onWarning;
        // In directory mode, names holding a line break (U+000A or U+000D;
        // on Windows also U+2028 and U+2029) are left out unless this is
        // set: an owner that writes one name per line could not carry them.
        bool reportLineBreakNames = false;
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
