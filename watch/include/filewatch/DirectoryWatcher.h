// Recursive directory watcher: reports every change below one directory, or
// to one file through its directory, to a callback run on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>
#include <utility>
#include <vector>

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

    // Watches `path` if it is a directory, otherwise its directory, reporting
    // only changes whose last component equals the file's name. Returns once
    // the watch is armed. Throws std::system_error with the system's code.
    DirectoryWatcher(PathString path, Callback callback);
    ~DirectoryWatcher();

    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

private:
    friend struct detail::WatcherFactory;
    using Regex = std::basic_regex<PathString::value_type>;

    DirectoryWatcher(PathString path, const PathString& pattern, Callback callback,
                     std::unique_ptr<detail::Backend> backend);

    PathString openDirectory();
    void start();
    void monitorLoop();
    void deliveryLoop();
    bool passesFilter(const PathString& changedPath) const;
    void handOver(std::vector<std::pair<PathString, Event>>& batch);
    void storeThreadError(std::exception_ptr error) noexcept;
    void stop() noexcept;

    PathString path;
    Regex pattern;
    bool watchingSingleFile = false;
    PathString fileName;
    std::atomic<bool> stopRequested{false};
    Callback callback;
    std::thread monitorThread;
    std::condition_variable queueCondition;
    std::mutex queueMutex;
    std::vector<std::pair<PathString, Event>> pendingChanges;
    std::thread deliveryThread;
    std::promise<void> ready;
    // The system handles (directory, stop signal) live behind the backend.
    std::unique_ptr<detail::Backend> backend;
    const std::map<std::uint32_t, Event> actionToEvent;
};

// Splits at the last '\\' or '/', keeping the separator on the directory
// part. Without a separator the directory is "./".
std::pair<PathString, PathString> splitPath(const PathString& path);

}  // namespace filewatch
