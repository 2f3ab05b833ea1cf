// The inotify backend whole: over 400 lines because the watch table, the
// kept spare instance and the read loop change together, one seam apart.
#include "InotifyBackend.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>

namespace filewatch::inotify {

namespace {

// IN_EXCL_UNLINK: writes to a file after it was deleted are not changes to
// anything in the tree any more.
constexpr std::uint32_t eventMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_EXCL_UNLINK;

std::string currentSetting(const char* file)
{
    std::ifstream in(file);
    std::string value;
    if (!(in >> value)) {
        return "unreadable";
    }
    return value;
}

[[noreturn]] void throwSystemError(int error)
{
    throw std::system_error(error, std::system_category());
}

// The kernel's limits are per user and raised by an administrator: say which.
std::string limitText(const char* limitFile)
{
    return std::string("inotify limit reached; raise ") + limitFile + " (now " + currentSetting(limitFile) + ")";
}

// A limit exists twice: the system's, and one per user namespace (a
// container's), which may be the lower. Name the one that binds here.
const char* limitThatApplies(const char* systemFile, const char* namespaceFile)
{
    long system = 0;
    long inNamespace = 0;
    if (std::ifstream(systemFile) >> system && std::ifstream(namespaceFile) >> inNamespace && inNamespace < system) {
        return namespaceFile;
    }
    return systemFile;
}

const char* watchLimitFile()
{
    return limitThatApplies("/proc/sys/fs/inotify/max_user_watches", "/proc/sys/user/max_inotify_watches");
}

const char* instanceLimitFile()
{
    return limitThatApplies("/proc/sys/fs/inotify/max_user_instances", "/proc/sys/user/max_inotify_instances");
}

[[noreturn]] void throwLimitError(int error, const char* limitFile)
{
    throw std::system_error(error, std::system_category(), limitText(limitFile));
}

// Only the watched directory's own watch asks to hear of its deletion or
// move; its subdirectories' are reported by their parents.
constexpr std::uint32_t rootMask = IN_DELETE_SELF | IN_MOVE_SELF;

// The largest record a read can return: a read that leaves at least this
// much of the buffer unused took everything the kernel had queued.
constexpr std::size_t largestRecord = sizeof(inotify_event) + NAME_MAX + 1;

// Closing an inotify instance makes the closing thread wait for the kernel
// to release its watches (an RCU grace period, about 10 ms here), while
// removing a watch costs microseconds. So a watcher with few watches empties
// its instance at teardown and leaves it to the next watcher. One is kept:
// a watcher is typically replaced by the next, and each kept instance holds
// kernel memory and counts against max_user_instances.
class SpareInstance {
public:
    UniqueFd take()
    {
        std::lock_guard lock(mutex);
        return std::move(spare);
    }

    // `instance` must hold no watch and no unread event.
    void offer(UniqueFd instance) noexcept
    {
        {
            std::lock_guard lock(mutex);
            if (!spare) {
                spare = std::move(instance);
                return;
            }
        }
        instance.reset();
    }

private:
    std::mutex mutex;
    UniqueFd spare;
};

SpareInstance& spareInstance()
{
    static SpareInstance instance;
    return instance;
}

// Past this many watches, removing them one by one costs more than a close.
constexpr std::size_t mostWatchesToEmpty = 100;

// Reads until nothing is left, without blocking; false on any error.
bool drain(int fd) noexcept
{
    // Large enough for the longest event: its header and NAME_MAX + 1.
    alignas(inotify_event) std::byte buffer[4096];
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0) {
            return false;
        }
        if (queued == 0) {
            return true;
        }
        if (::read(fd, buffer, sizeof buffer) < 0 && errno != EINTR) {
            return false;
        }
    }
}

// What the kernel itself lists for the instance, so that a watch missed by
// the bookkeeping can never live on in another watcher's instance.
bool kernelListsNoWatch(int fd)
{
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    std::string line;
    bool readable = false;
    while (std::getline(info, line)) {
        readable = true;
        if (line.starts_with("inotify wd:")) {
            return false;
        }
    }
    return readable;
}

}  // namespace

InotifyBackend::InotifyBackend(InotifyTuning tuning) : tuning(std::move(tuning)) {}

bool InotifyBackend::open(const PathString& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throwSystemError(errno);
    }
    const bool isDirectory = S_ISDIR(status.st_mode);
    root = isDirectory ? path : splitPath(path).first;
    inotifyFd = spareInstance().take();
    if (!inotifyFd) {
        // Blocking: the monitor waits in read() itself, as the least a
        // change's report can cost, whenever no timeout is due.
        inotifyFd = UniqueFd(::inotify_init1(IN_CLOEXEC));
    }
    if (!inotifyFd) {
        const int error = errno;
        if (error == EMFILE) {
            // Also the process's descriptor limit; the inotify one is the
            // usual culprit when many watchers run.
            throwLimitError(error, instanceLimitFile());
        }
        throwSystemError(error);
    }
    // The root may be a symbolic link the owner chose; follow it, but only it.
    rootWd = ::inotify_add_watch(inotifyFd.get(), root.c_str(), eventMask | rootMask | IN_ONLYDIR);
    if (rootWd < 0) {
        const int error = errno;
        spareInstance().offer(std::move(inotifyFd));
        if (error == ENOSPC) {
            throwLimitError(error, watchLimitFile());
        }
        throwSystemError(error);
    }
    translator.addWatch(rootWd, PathString());
    stopFd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd) {
        throwSystemError(errno);
    }
    return isDirectory;
}

void InotifyBackend::arm(detail::Batch& batch)
{
    // Not zeroed: the kernel writes what a read returns, and untouched pages
    // of the 256 KiB stay out of the resident set.
    buffer = std::make_unique_for_overwrite<std::byte[]>(bufferSize);
    std::set<int> seen{rootWd};
    watchTree(PathString(), Walk::arm, seen, batch);
}

PathString InotifyBackend::absolute(const PathString& relativePath) const
{
    if (relativePath.empty()) {
        return root;
    }
    if (!root.empty() && root.back() == '/') {
        return root + relativePath;
    }
    return root + '/' + relativePath;
}

int InotifyBackend::addWatch(const PathString& relativePath, Walk walk, detail::Batch& batch)
{
    int wd = -1;
    int error = ENOSPC;
    if (translator.watches().size() < tuning.watchLimit) {
        // IN_DONT_FOLLOW: a link to a directory must not pull in another tree.
        wd = ::inotify_add_watch(inotifyFd.get(), absolute(relativePath).c_str(),
                                 eventMask | IN_ONLYDIR | IN_DONT_FOLLOW);
        error = errno;
    }
    if (wd < 0 && error == ENOSPC && walk == Walk::arm) {
        throwLimitError(error, watchLimitFile());
    }
    // Otherwise it stays unwatched until an overflow resynchronises the
    // watches; the owner hears why unless it simply went away.
    if (wd < 0) {
        warnNotWatched(relativePath, std::error_code(error, std::system_category()), batch);
    }
    return wd;
}

void InotifyBackend::warnNotWatched(const PathString& relativePath, std::error_code error, detail::Batch& batch)
{
    // Gone, replaced by a file, or a link (IN_ONLYDIR with IN_DONT_FOLLOW):
    // nothing there to watch.
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
        return;
    }
    std::string reason = error == std::errc::no_space_on_device ? limitText(watchLimitFile()) : error.message();
    batch.warn({WarningKind::not_watched, relativePath, error, std::move(reason)});
}

void InotifyBackend::watchTree(const PathString& top, Walk walk, std::set<int>& seen, detail::Batch& batch)
{
    std::vector<PathString> pending{top};
    while (!pending.empty()) {
        const PathString directory = std::move(pending.back());
        pending.pop_back();
        int wd = rootWd;
        if (!directory.empty()) {
            wd = addWatch(directory, walk, batch);
            if (wd < 0 || !seen.insert(wd).second) {
                continue;
            }
            const auto& known = translator.watches();
            const auto found = known.find(wd);
            // Known under another name: a bind mount loop, or a rename still
            // unread. Either way its contents are already watched.
            if (walk != Walk::resynchronise && found != known.end() && found->second != directory) {
                continue;
            }
            translator.addWatch(wd, directory);
        }
        std::error_code error;
        for (std::filesystem::directory_iterator entry(absolute(directory), error), end; !error && entry != end;
             entry.increment(error)) {
            const PathString name = entry->path().filename().native();
            PathString child = directory.empty() ? name : directory + '/' + name;
            // The type readdir gave, where it gave one: no status query, which
            // would fail on a path longer than the system takes.
            std::error_code statusError;
            const bool isDirectory = !entry->is_symlink(statusError) && entry->is_directory(statusError);
            if (walk == Walk::newDirectory) {
                report(child, Event::added, batch);
                translator.noteListed(wd, name, readsBegun);
            }
            if (isDirectory) {
                pending.push_back(std::move(child));
            }
        }
        if (error) {
            // Watched, but what it holds is not (all) known, nor watched.
            warnNotWatched(directory, error, batch);
        }
    }
}

bool InotifyBackend::waitForRecords(bool& readable)
{
    pollfd descriptors[2] = {{stopFd.get(), POLLIN, 0}, {inotifyFd.get(), POLLIN, 0}};
    // Once the watched directory is gone, only the stop signal matters.
    const nfds_t watched = watchedDirectoryGone ? 1 : 2;
    for (;;) {
        int timeout = -1;
        if (const auto deadline = translator.nextDeadline()) {
            // The only timeout: a MOVED_FROM waiting for its MOVED_TO.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - EventTranslator::Clock::now());
            timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
                left.count(), 0, EventTranslator::renameGrace.count()));
        }
        const int ready = ::poll(descriptors, watched, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwSystemError(errno);
        }
        if (descriptors[0].revents != 0) {
            return false;
        }
        if (descriptors[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            throwSystemError(EIO);
        }
        readable = (descriptors[1].revents & POLLIN) != 0;
        return true;
    }
}

bool InotifyBackend::collect(detail::Batch& batch)
{
    if (tuning.beforeWait) {
        tuning.beforeWait();
    }
    if (stopping.load()) {
        return false;
    }
    // poll() only for a timeout or with no watch left to wake a read: a
    // wake-up from read() is the cheaper, and signalStop ends a read too.
    bool readable = true;
    if ((watchedDirectoryGone || translator.nextDeadline()) && !waitForRecords(readable)) {
        return false;
    }
    records.clear();
    bool drained = false;
    if (readable) {
        ++readsBegun;
        ssize_t length;
        do {
            length = ::read(inotifyFd.get(), buffer.get(), bufferSize);
        } while (length < 0 && errno == EINTR);
        if (length < 0) {
            throwSystemError(errno);
        }
        if (stopping.load()) {
            return false;
        }
        if (length > 0) {
            walkRecords({buffer.get(), static_cast<std::size_t>(length)}, records);
        }
        drained = static_cast<std::size_t>(length) <= bufferSize - largestRecord;
    }
    const auto now = EventTranslator::Clock::now();
    translator.feed(records, now);
    if (records.capacity() > 1024) {
        // A burst's worth is not kept for the quiet that follows.
        records = {};
    }
    while (translator.next(now, step)) {
        apply(step, batch);
    }
    if (drained && !translator.nextDeadline()) {
        // Whatever was queued while earlier listings ran has been read and
        // translated, so their creates have all been met.
        translator.forgetListingsBefore(readsBegun);
    }
    return true;
}

void InotifyBackend::apply(Step& step, detail::Batch& batch)
{
    for (const int wd : step.unwatch) {
        unwatch(wd);
    }
    for (auto& [path, kind] : step.changes) {
        report(std::move(path), kind, batch);
    }
    if (step.newDirectory) {
        std::set<int> seen;
        watchTree(*step.newDirectory, Walk::newDirectory, seen, batch);
    }
    if (step.overflowed) {
        overflowed(batch);
    }
    if (step.rootGone) {
        watchedDirectoryGone = true;
        batch.warn({*step.rootGone, {}, {},
                    *step.rootGone == WarningKind::root_moved ? "the watched folder was moved or renamed"
                                                              : "the watched folder was deleted"});
    }
}

void InotifyBackend::disarm() noexcept
{
    // inotify reads are synchronous: nothing is outstanding but the buffer.
    buffer.reset();
}

void InotifyBackend::signalStop() noexcept
{
    stopping.store(true);
    if (stopFd) {
        const std::uint64_t one = 1;
        // Cannot fail short of the counter overflowing, which one write can't.
        [[maybe_unused]] const auto written = ::write(stopFd.get(), &one, sizeof one);
    }
    // Removing the root's watch queues its IN_IGNORED, which ends a read the
    // monitor is blocked in. (Already gone: no read waits on it.)
    if (inotifyFd && rootWd >= 0) {
        ::inotify_rm_watch(inotifyFd.get(), rootWd);
    }
}

void InotifyBackend::close() noexcept
{
    stopFd.reset();
    if (!inotifyFd) {
        return;
    }
    bool emptied = false;
    try {
        const auto& watches = translator.watches();
        emptied = watches.size() <= mostWatchesToEmpty;
        for (auto watch = watches.begin(); emptied && watch != watches.end(); ++watch) {
            // EINVAL: the directory went away and took its watch with it.
            emptied = ::inotify_rm_watch(inotifyFd.get(), watch->first) == 0 || errno == EINVAL;
        }
        // Removing a watch queues its IN_IGNORED: read those too.
        emptied = emptied && drain(inotifyFd.get()) && kernelListsNoWatch(inotifyFd.get());
    } catch (...) {
        emptied = false;
    }
    if (emptied) {
        spareInstance().offer(std::move(inotifyFd));
    } else {
        inotifyFd.reset();
    }
}

void InotifyBackend::report(PathString relativePath, Event kind, detail::Batch& batch)
{
    if (batch.keeps(relativePath)) {
        batch.add(std::move(relativePath), kind);
    }
}

void InotifyBackend::unwatch(int wd)
{
    // May already be gone (EINVAL) if the directory was deleted meanwhile.
    ::inotify_rm_watch(inotifyFd.get(), wd);
}

void InotifyBackend::overflowed(detail::Batch& batch)
{
    // Windows gives no change for an overflowed read; neither do we. The
    // owner hears of the loss instead.
    batch.dropChanges();
    batch.warn({WarningKind::overflow, {}, {},
                "the inotify queue overflowed and changes were lost; raise /proc/sys/fs/inotify/max_queued_events "
                "(now " + currentSetting("/proc/sys/fs/inotify/max_queued_events") + ")"});
    // Directories created, renamed or removed in the lost stretch:
    // resynchronise the watches with what is on disk now.
    std::set<int> seen{rootWd};
    watchTree(PathString(), Walk::resynchronise, seen, batch);
    std::map<int, PathString> current = translator.watches();
    std::erase_if(current, [&](const auto& watch) {
        if (seen.contains(watch.first)) {
            return false;
        }
        unwatch(watch.first);
        return true;
    });
    translator.replaceWatches(std::move(current));
    if (tuning.onOverflow) {
        tuning.onOverflow();
    }
}

std::unique_ptr<detail::Backend> makeInotifyBackend(InotifyTuning tuning)
{
    return std::make_unique<InotifyBackend>(std::move(tuning));
}

}  // namespace filewatch::inotify

std::unique_ptr<filewatch::detail::Backend> filewatch::detail::makePlatformBackend()
{
    return std::make_unique<inotify::InotifyBackend>();
}
