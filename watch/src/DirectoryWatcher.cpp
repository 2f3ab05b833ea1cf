#include <filewatch/DirectoryWatcher.h>

#include "Backend.h"

#include <exception>
#include <iterator>

namespace filewatch {

namespace {

// ASCII text as a native path string, narrow or wide.
template <std::size_t N>
PathString nativeText(const char (&text)[N])
{
    return PathString(text, text + N - 1);
}

// Windows accepts both separators. On POSIX a backslash is an ordinary file
// name character, so splitting there would watch the wrong directory.
#ifdef _WIN32
const PathString separators = nativeText("\\/");
#else
const PathString separators = nativeText("/");
#endif

// Keeps the owner-facing loop free of backend details on every exit path:
// an outstanding read must let go of the buffer before the loop unwinds.
class ReadCanceller {
public:
    explicit ReadCanceller(detail::Backend& backend) : backend(backend) {}
    ~ReadCanceller() { backend.cancelRead(); }
    ReadCanceller(const ReadCanceller&) = delete;
    ReadCanceller& operator=(const ReadCanceller&) = delete;

private:
    detail::Backend& backend;
};

}  // namespace

const char* toString(Event kind) noexcept
{
    switch (kind) {
    case Event::added: return "added";
    case Event::removed: return "removed";
    case Event::modified: return "modified";
    case Event::renamed_old_name: return "renamed_old_name";
    case Event::renamed_new_name: return "renamed_new_name";
    }
    return "unknown";
}

std::pair<PathString, PathString> splitPath(const PathString& path)
{
    const auto separator = path.find_last_of(separators);
    if (separator == PathString::npos) {
        return {nativeText("./"), path};
    }
    return {path.substr(0, separator + 1), path.substr(separator + 1)};
}

DirectoryWatcher::DirectoryWatcher(PathString path, Callback callback)
    : DirectoryWatcher(std::move(path), nativeText(".*"), std::move(callback), detail::makePlatformBackend())
{
}

DirectoryWatcher::DirectoryWatcher(PathString path, const PathString& pattern, Callback callback,
                                   std::unique_ptr<detail::Backend> backend)
    : path(std::move(path)),
      pattern(pattern, Regex::ECMAScript),
      callback(std::move(callback)),
      backend(std::move(backend)),
      actionToEvent{{detail::actionAdded, Event::added},
                    {detail::actionRemoved, Event::removed},
                    {detail::actionModified, Event::modified},
                    {detail::actionRenamedOldName, Event::renamed_old_name},
                    {detail::actionRenamedNewName, Event::renamed_new_name}}
{
    this->backend->openDirectory(openDirectory());
    start();
}

DirectoryWatcher::~DirectoryWatcher()
{
    stop();
}

PathString DirectoryWatcher::openDirectory()
{
    watchingSingleFile = !backend->isDirectory(path);
    if (!watchingSingleFile) {
        return path;
    }
    auto [directory, name] = splitPath(path);
    fileName = std::move(name);
    return directory;
}

void DirectoryWatcher::start()
{
    backend->createStopSignal();
    auto running = ready.get_future();
    try {
        deliveryThread = std::thread([this] {
            try {
                deliveryLoop();
            } catch (...) {
                storeThreadError(std::current_exception());
            }
        });
        monitorThread = std::thread([this] {
            try {
                monitorLoop();
            } catch (...) {
                storeThreadError(std::current_exception());
            }
        });
        running.get();
    } catch (...) {
        // The destructor will not run for a failed constructor: stop and join
        // whatever started, so the error leaves no thread behind.
        stop();
        throw;
    }
}

void DirectoryWatcher::monitorLoop()
{
    ReadCanceller canceller(*backend);
    backend->armMonitor();
    {
        // Under the lock: a failing constructor replaces `ready` concurrently.
        std::lock_guard lock(queueMutex);
        ready.set_value();
    }
    std::vector<detail::RawChange> records;
    std::vector<std::pair<PathString, Event>> batch;
    for (;;) {
        records.clear();
        batch.clear();
        backend->startRead();
        if (backend->waitForRecords() == detail::WaitResult::recordsReady) {
            backend->collectRecords(records);
            for (auto& record : records) {
                if (passesFilter(record.name)) {
                    batch.emplace_back(std::move(record.name), actionToEvent.at(record.action));
                }
            }
        }
        handOver(batch);
        if (stopRequested.load()) {
            break;
        }
    }
}

void DirectoryWatcher::handOver(std::vector<std::pair<PathString, Event>>& batch)
{
    {
        std::lock_guard lock(queueMutex);
        pendingChanges.insert(pendingChanges.end(), std::make_move_iterator(batch.begin()),
                              std::make_move_iterator(batch.end()));
    }
    queueCondition.notify_all();
}

bool DirectoryWatcher::passesFilter(const PathString& changedPath) const
{
    if (watchingSingleFile) {
        return splitPath(changedPath).second == fileName;
    }
    return std::regex_match(changedPath, pattern);
}

void DirectoryWatcher::deliveryLoop()
{
    std::vector<std::pair<PathString, Event>> taken;
    while (!stopRequested.load()) {
        {
            std::unique_lock lock(queueMutex);
            queueCondition.wait(lock, [this] { return !pendingChanges.empty() || stopRequested.load(); });
            taken.swap(pendingChanges);
        }
        for (const auto& [changedPath, kind] : taken) {
            if (!callback) {
                continue;
            }
            try {
                callback(changedPath, kind);
            } catch (const std::exception&) {
                // The owner's failure must not end delivery of later changes.
            }
        }
        taken.clear();
    }
}

void DirectoryWatcher::storeThreadError(std::exception_ptr error) noexcept
{
    try {
        std::lock_guard lock(queueMutex);
        ready.set_exception(std::move(error));
    } catch (...) {
        // Already fulfilled: nobody is waiting for this error any more.
    }
}

void DirectoryWatcher::stop() noexcept
{
    {
        // Setting the flag under the lock means a delivery thread between its
        // check and its wait cannot miss the notify, even with no monitor
        // left to hand over a last batch. The fresh promise takes any error
        // raised during teardown; the lock keeps its replacement race-free.
        std::lock_guard lock(queueMutex);
        stopRequested.store(true);
        ready = std::promise<void>();
    }
    backend->signalStop();
    queueCondition.notify_all();
    if (monitorThread.joinable()) {
        monitorThread.join();
    }
    if (deliveryThread.joinable()) {
        deliveryThread.join();
    }
    backend->closeHandles();
}

std::unique_ptr<DirectoryWatcher> detail::WatcherFactory::make(PathString path, DirectoryWatcher::Callback callback,
                                                               std::unique_ptr<Backend> backend)
{
    return std::unique_ptr<DirectoryWatcher>(
        new DirectoryWatcher(std::move(path), nativeText(".*"), std::move(callback), std::move(backend)));
}

}  // namespace filewatch
