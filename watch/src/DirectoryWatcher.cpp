#include <filewatch/DirectoryWatcher.h>

#include "Backend.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <future>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

// Lets go of an outstanding read on every exit from the monitor loop: it
// must release the buffer before the loop unwinds.
class Disarmer {
public:
    explicit Disarmer(detail::Backend& backend) : backend(backend) {}
    ~Disarmer() { backend.disarm(); }
    Disarmer(const Disarmer&) = delete;
    Disarmer& operator=(const Disarmer&) = delete;

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
    case WarningKind::stopped: return "stopped";
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

bool detail::ChangeFilter::keeps(const PathString& changedPath) const
{
    if (watchingSingleFile) {
        return splitPath(changedPath).second == fileName;
    }
    // An owner that writes one name per line could not carry a name holding
    // a line break, so such names are left out unless the owner asks.
    return reportLineBreakNames || !holdsLineBreak(changedPath);
}

// The two threads and what they share. The monitor reads from the backend
// and hands each read over; the delivery thread is the only waiter, woken
// only when a read brought something. With Delivery::monitor_thread there is
// no delivery thread: the monitor calls the owner itself.
class DirectoryWatcher::Impl {
public:
    Impl(PathString path, Callback callback, Options options, std::unique_ptr<detail::Backend> backend);
    ~Impl() { stop(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

private:
    using QueuedWarning = std::pair<std::size_t, Warning>;

    void start();
    void monitorLoop();
    void deliveryLoop() noexcept;
    void handOver(detail::Batch& batch);
    void queue(detail::Batch& batch);
    void deliverInOrder(std::vector<std::pair<PathString, Event>>& changes,
                        std::vector<QueuedWarning>& warnings) noexcept;
    void monitorFailed(std::exception_ptr error) noexcept;
    void stop() noexcept;

    detail::ChangeFilter filter;
    const Delivery delivery;
    const std::size_t queueLimit;
    std::atomic<bool> stopRequested{false};
    Callback callback;
    WarningCallback onWarning;
    std::thread monitorThread;
    std::condition_variable queueCondition;
    std::mutex queueMutex;
    std::vector<std::pair<PathString, Event>> pendingChanges;
    // Each with the number of pending changes before it.
    std::vector<QueuedWarning> pendingWarnings;
    // Set once changes were dropped for want of room, until the delivery
    // thread takes the queue: one overflow warning stands for them all.
    bool queueOverflowed = false;
    std::thread deliveryThread;
    std::promise<void> ready;
    // Under queueMutex: from now on a failure of the monitor is the owner's
    // to hear, not the constructor's to raise.
    bool readyGiven = false;
    // The system handles (directory, stop signal) live behind the backend.
    std::unique_ptr<detail::Backend> backend;
};

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
    : impl(std::make_unique<Impl>(std::move(path), std::move(callback), std::move(options), std::move(backend)))
{
}

DirectoryWatcher::~DirectoryWatcher() = default;

DirectoryWatcher::Impl::Impl(PathString path, Callback callback, Options options,
                             std::unique_ptr<detail::Backend> backend)
    : delivery(options.delivery),
      queueLimit(options.queueLimit),
      callback(std::move(callback)),
      onWarning(std::move(options.onWarning)),
      backend(std::move(backend))
{
    filter.reportLineBreakNames = options.reportLineBreakNames;
    filter.watchingSingleFile = !this->backend->open(path);
    if (filter.watchingSingleFile) {
        filter.fileName = splitPath(path).second;
    }
    start();
}

void DirectoryWatcher::Impl::start()
{
    auto running = ready.get_future();
    try {
        if (delivery == Delivery::delivery_thread) {
            deliveryThread = std::thread([this] { deliveryLoop(); });
        }
        monitorThread = std::thread([this] {
            try {
                monitorLoop();
            } catch (...) {
                monitorFailed(std::current_exception());
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

void DirectoryWatcher::Impl::monitorLoop()
{
    Disarmer disarmer(*backend);
    detail::Batch batch(filter);
    backend->arm(batch);
    {
        // Under the lock: a failing constructor replaces `ready` concurrently.
        std::lock_guard lock(queueMutex);
        ready.set_value();
        readyGiven = true;
    }
    if (!batch.empty()) {
        handOver(batch);
    }
    for (;;) {
        batch.clear();
        const bool collected = backend->collect(batch);
        if (!batch.empty()) {
            handOver(batch);
        }
        if (!collected || stopRequested.load()) {
            break;
        }
    }
}

void DirectoryWatcher::Impl::handOver(detail::Batch& batch)
{
    if (delivery == Delivery::monitor_thread) {
        deliverInOrder(batch.changes, batch.warnings);
        return;
    }
    queue(batch);
    // The delivery thread is the only waiter.
    queueCondition.notify_one();
}

void DirectoryWatcher::Impl::queue(detail::Batch& batch)
{
    std::lock_guard lock(queueMutex);
    auto warning = batch.warnings.begin();
    const auto queueWarningsUpTo = [&](std::size_t position) {
        // Warnings are rare and each says something the owner must hear:
        // never dropped, but they take room from the changes.
        for (; warning != batch.warnings.end() && warning->first <= position; ++warning) {
            pendingWarnings.emplace_back(pendingChanges.size(), std::move(warning->second));
        }
    };
    for (std::size_t position = 0; position < batch.changes.size(); ++position) {
        queueWarningsUpTo(position);
        if (pendingChanges.size() + pendingWarnings.size() < queueLimit) {
            pendingChanges.push_back(std::move(batch.changes[position]));
        } else if (!queueOverflowed) {
            queueOverflowed = true;
            pendingWarnings.emplace_back(
                pendingChanges.size(),
                Warning{WarningKind::overflow, {}, {},
                        "the owner fell " + std::to_string(queueLimit) +
                            " changes behind and changes were lost; raise the watcher's queue limit"});
        }
    }
    queueWarningsUpTo(batch.changes.size());
}

void DirectoryWatcher::Impl::deliverInOrder(std::vector<std::pair<PathString, Event>>& changes,
                                            std::vector<QueuedWarning>& warnings) noexcept
{
    // Whatever the owner throws must not end the delivery of later changes,
    // nor reach a thread of ours: it would end the process.
    const auto deliver = [](auto&& call) {
        try {
            call();
        } catch (...) {
        }
    };
    auto warning = warnings.begin();
    const auto deliverWarningsUpTo = [&](std::size_t position) {
        for (; warning != warnings.end() && warning->first <= position; ++warning) {
            if (onWarning) {
                deliver([&] { onWarning(warning->second); });
            }
        }
    };
    for (std::size_t position = 0; position < changes.size(); ++position) {
        deliverWarningsUpTo(position);
        if (callback) {
            deliver([&] { callback(changes[position].first, changes[position].second); });
        }
    }
    deliverWarningsUpTo(changes.size());
}

void DirectoryWatcher::Impl::deliveryLoop() noexcept
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
            queueOverflowed = false;
        }
        deliverInOrder(taken, takenWarnings);
        taken.clear();
        takenWarnings.clear();
    }
}

namespace {

// What the owner hears when the monitor fails after it started.
Warning stoppedWarning(std::exception_ptr error) noexcept
{
    Warning warning{WarningKind::stopped, {}, {}, {}};
    try {
        try {
            std::rethrow_exception(std::move(error));
        } catch (const std::system_error& failure) {
            warning.error = failure.code();
            warning.reason = failure.what();
        } catch (const std::bad_alloc&) {
            warning.error = std::make_error_code(std::errc::not_enough_memory);
            warning.reason = warning.error.message();
        } catch (const std::exception& failure) {
            warning.reason = failure.what();
        } catch (...) {
            warning.reason = "an unknown error";
        }
    } catch (...) {
        // The text itself could not be made; the kind and code still say it.
    }
    return warning;
}

}  // namespace

void DirectoryWatcher::Impl::monitorFailed(std::exception_ptr error) noexcept
{
    {
        std::lock_guard lock(queueMutex);
        if (!readyGiven) {
            // The constructor waits for this, or teardown has replaced the
            // promise and nobody does.
            try {
                ready.set_exception(std::move(error));
            } catch (...) {
            }
            return;
        }
    }
    if (stopRequested.load()) {
        return;
    }
    // Watching has ended: the owner must hear it, or it would go on trusting
    // a silence that no longer means "nothing changed".
    std::vector<std::pair<PathString, Event>> none;
    std::vector<QueuedWarning> warnings;
    try {
        warnings.emplace_back(0, stoppedWarning(std::move(error)));
    } catch (...) {
        return;
    }
    if (delivery == Delivery::monitor_thread) {
        deliverInOrder(none, warnings);
        return;
    }
    {
        std::lock_guard lock(queueMutex);
        try {
            pendingWarnings.emplace_back(pendingChanges.size(), std::move(warnings.front().second));
        } catch (...) {
            return;
        }
    }
    queueCondition.notify_one();
}

void DirectoryWatcher::Impl::stop() noexcept
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
    backend->close();
}

std::unique_ptr<DirectoryWatcher> detail::WatcherFactory::make(PathString path, DirectoryWatcher::Callback callback,
                                                               std::unique_ptr<Backend> backend,
                                                               DirectoryWatcher::Options options)
{
    return std::unique_ptr<DirectoryWatcher>(new DirectoryWatcher(std::move(path), std::move(callback),
                                                                  std::move(options), std::move(backend)));
}

}  // namespace filewatch
