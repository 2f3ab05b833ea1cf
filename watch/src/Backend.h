// The seam between the platform-neutral watcher and the system's change
// notification interface. One implementation per platform; each owns the
// platform detail of its read loop and reports in the owner's terms.
#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace filewatch::detail {

// Which changes the owner hears of.
struct ChangeFilter {
    // Set when one file is watched: only changes whose last component is
    // `fileName` are kept.
    bool watchingSingleFile = false;
    PathString fileName;
    bool reportLineBreakNames = false;

    bool keeps(const PathString& changedPath) const;
};

// The changes and warnings of one read, in the system's order.
class Batch {
public:
    explicit Batch(const ChangeFilter& filter) : filter(&filter) {}

    // A backend asks before it adds, so that it spends nothing on a change
    // the owner does not hear of.
    bool keeps(const PathString& changedPath) const { return filter->keeps(changedPath); }
    void add(PathString changedPath, Event kind) { changes.emplace_back(std::move(changedPath), kind); }
    void warn(Warning warning) { warnings.emplace_back(changes.size(), std::move(warning)); }
    // The system lost changes: those already in the batch are not reported
    // either (Windows gives none for an overflowed read). Warnings stay.
    void dropChanges()
    {
        changes.clear();
        for (auto& warning : warnings) {
            warning.first = 0;
        }
    }
    bool empty() const { return changes.empty() && warnings.empty(); }
    void clear()
    {
        changes.clear();
        warnings.clear();
    }

    std::vector<std::pair<PathString, Event>> changes;
    // Each with the number of changes before it. Rare, so kept beside the
    // changes rather than widening every entry.
    std::vector<std::pair<std::size_t, Warning>> warnings;

private:
    const ChangeFilter* filter;
};

class Backend {
public:
    virtual ~Backend() = default;

    // Owner's thread, during construction. Opens `path` if it is a
    // directory, else the directory holding it (splitPath), and the stop
    // signal; returns whether `path` is a directory. Throws std::system_error.
    virtual bool open(const PathString& path) = 0;

    // Monitor thread. `arm` runs before the watcher reports ready: a failure
    // there is raised by the constructor, and what it could not watch goes to
    // `batch` as warnings, delivered before any change.
    virtual void arm(Batch& batch) = 0;
    // Blocks until the system has something or the stop signal is set; then
    // adds the changes of one read to `batch`, in the system's order, with
    // warnings in their place, and returns true; false once stop is
    // signalled. No timeout, except what a backend needs to finish records it
    // is holding back. An overflow of the system's queue yields an overflow
    // warning and no change. Once the watched directory is gone (root_removed
    // or root_moved), nothing more.
    virtual bool collect(Batch& batch) = 0;
    // On leaving the monitor, by any path: let go of an outstanding read and
    // its buffer.
    virtual void disarm() noexcept = 0;

    // Owner's thread, during teardown.
    virtual void signalStop() noexcept = 0;
    virtual void close() noexcept = 0;
};

std::unique_ptr<Backend> makePlatformBackend();

// Builds a watcher on a given backend; the seam tests use.
struct WatcherFactory {
    static std::unique_ptr<DirectoryWatcher> make(PathString path, DirectoryWatcher::Callback callback,
                                                  std::unique_ptr<Backend> backend,
                                                  DirectoryWatcher::Options options = {});
};

}  // namespace filewatch::detail
