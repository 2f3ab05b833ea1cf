// The seam between the platform-neutral watcher and the system's change
// notification interface. One implementation per platform.
#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace filewatch::detail {

// The action codes the core maps to Event, numbered as the Windows change
// records number them; every backend reports in these terms.
enum ActionCode : std::uint32_t {
    actionAdded = 1,
    actionRemoved = 2,
    actionModified = 3,
    actionRenamedOldName = 4,
    actionRenamedNewName = 5,
};

struct RawChange {
    PathString name;  // relative to the watched directory, native separator
    std::uint32_t action;
    // Set instead of a change (name and action unused): something the owner
    // must hear of. Shared so that a backend's batch stays cheap to copy.
    std::shared_ptr<const Warning> warning = {};

    static RawChange of(Warning warning)
    {
        return {{}, 0, std::make_shared<const Warning>(std::move(warning))};
    }
    bool operator==(const RawChange&) const = default;
};

enum class WaitResult { recordsReady, stopSignalled };

class Backend {
public:
    virtual ~Backend() = default;

    // Owner's thread, during construction. Each throws std::system_error.
    virtual bool isDirectory(const PathString& path) = 0;
    virtual void openDirectory(const PathString& directory) = 0;
    virtual void createStopSignal() = 0;

    // Monitor thread. armMonitor runs before the watcher reports ready; a
    // failure there is raised by the constructor, and what it could not
    // watch goes to `warnings`, delivered before any change.
    virtual void armMonitor(std::vector<RawChange>& warnings) = 0;
    virtual void startRead() = 0;
    // Blocks until records arrive or the stop signal is set. No timeout,
    // except what a backend needs to finish records it is holding back.
    virtual WaitResult waitForRecords() = 0;
    // Appends the changes of one completed read, in the system's order, and
    // warnings in their place among them. An overflow of the system's queue
    // yields an overflow warning and no change. Once the watched directory
    // is gone (a root_removed or root_moved warning), nothing more.
    virtual void collectRecords(std::vector<RawChange>& changes) = 0;
    // On leaving the loop: let go of an outstanding read and the buffer.
    virtual void cancelRead() noexcept = 0;

    // Owner's thread, during teardown.
    virtual void signalStop() noexcept = 0;
    virtual void closeHandles() noexcept = 0;
};

std::unique_ptr<Backend> makePlatformBackend();

// Builds a watcher on a given backend; the seam tests use.
struct WatcherFactory {
    static std::unique_ptr<DirectoryWatcher> make(PathString path, DirectoryWatcher::Callback callback,
                                                  std::unique_ptr<Backend> backend,
                                                  DirectoryWatcher::Options options = {});
};

}  // namespace filewatch::detail
