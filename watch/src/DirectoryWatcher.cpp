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

// A line break splits a name across two lines of text: the line
// terminators of the platform's code unit.
bool holdsLineBreak(const PathString& name)
{
#ifdef _WIN32
    return name.find_first_of(L"\n\r\u2028\u2029") != PathString::npos;
#else
    return name.find_first_of("\n\r") != PathString::npos;
#endif
}

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

const char* toString(WarningKind kind) noexcept
{
    switch (kind) {
    case WarningKind::overflow: return "overflow";
    case WarningKind::not_watched: return "not_watched";
    case WarningKind::root_removed: return "root_removed";
    case WarningKind::root_moved: return "root_moved";
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
    : DirectoryWatcher(std::move(path), std::move(callback), Options{})
{
}

DirectoryWatcher::DirectoryWatcher(PathString path, Callback callback, Options options)
    : DirectoryWatcher(std::move(path), std::move(callback), std::move(options), detail::makePlatformBackend())
{
}

DirectoryWatcher::DirectoryWatcher(PathString path, Callback callback, Options options,
                                   std::unique_ptr<detail::Backend> backend)
    : path(std::move(path)),
      callback(std::move(callback)),
      options(std::move(options)),
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
    std::vector<detail::RawChange> records;
    std::vector<std::pair<PathString, Event>> batch;
    std::vector<QueuedWarning> warnings;
    const auto sortRecords = [&] {
        for (auto& record : records) {
            if (record.warning) {
                warnings.emplace_back(batch.size(), *record.warning);
            } else if (passesFilter(record.name)) {
                batch.emplace_back(std::move(record.name), actionToEvent.at(record.action));
            }
        }
    };
    backend->armMonitor(records);
    sortRecords();
    {
        // Under the lock: a failing constructor replaces `ready` concurrently.
        std::lock_guard lock(queueMutex);
        ready.set_value();
    }
    if (!warnings.empty()) {
        handOver(batch, warnings);
    }
    for (;;) {
        records.clear();
        batch.clear();
        warnings.clear();
        backend->startRead();
        if (backend->waitForRecords() == detail::WaitResult::recordsReady) {
            backend->collectRecords(records);
            sortRecords();
        }
        if (!batch.empty() || !warnings.empty()) {
            handOver(batch, warnings);
        }
        if (stopRequested.load()) {
            break;
        }
    }
}

void DirectoryWatcher::handOver(std::vector<std::pair<PathString, Event>>& batch,
                                std::vector<QueuedWarning>& warnings)
{
    {
        std::lock_guard lock(queueMutex);
        for (auto& [position, warning] : warnings) {
            pendingWarnings.emplace_back(pendingChanges.size() + position, std::move(warning));
        }
        pendingChanges.insert(pendingChanges.end(), std::make_move_iterator(batch.begin()),
                              std::make_move_iterator(batch.end()));
    }
    // The delivery thread is the only waiter.
    queueCondition.notify_one();
}

bool DirectoryWatcher::passesFilter(const PathString& changedPath) const
{
    if (watchingSingleFile) {
        return splitPath(changedPath).second == fileName;
    }
    return options.reportLineBreakNames || !holdsLineBreak(changedPath);
}

template <class Call>
void DirectoryWatcher::deliver(Call&& call)
{
    try {
        call();
    } catch (const std::exception&) {
        // The owner's failure must not end delivery of later changes.
    }
}

void DirectoryWatcher::deliveryLoop()
{
    std::vector<std::pair<PathString, Event>> taken;
    std::vector<QueuedWarning> takenWarnings;
    while (!stopRequested.load()) {
        {
            std::unique_lock lock(queueMutex);
            queueCondition.wait(lock, [this] {
                return !pendingChanges.empty() || !pendingWarnings.empty() || stopRequested.load();
            });
            taken.swap(pendingChanges);
            takenWarnings.swap(pendingWarnings);
        }
        auto warning = takenWarnings.begin();
        const auto deliverWarningsUpTo = [&](std::size_t position) {
            for (; warning != takenWarnings.end() && warning->first <= position; ++warning) {
                if (options.onWarning) {
                    deliver([&] { options.onWarning(warning->second); });
                }
            }
        };
        for (std::size_t position = 0; position < taken.size(); ++position) {
            deliverWarningsUpTo(position);
            if (callback) {
                deliver([&] { callback(taken[position].first, taken[position].second); });
            }
        }
        deliverWarningsUpTo(taken.size());
        taken.clear();
        takenWarnings.clear();
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
                                                               std::unique_ptr<Backend> backend,
                                                               DirectoryWatcher::Options options)
{
    return std::unique_ptr<DirectoryWatcher>(new DirectoryWatcher(std::move(path), std::move(callback),
                                                                  std::move(options), std::move(backend)));
}

}  // namespace filewatch
