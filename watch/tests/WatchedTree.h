#pragma once

#include "TestSupport.h"
#include "linux/InotifyBackend.h"

#include "src/Backend.h"

#include <memory>

namespace watch_test {

// A temporary folder holding the watched "tree" and a sibling "outside" on
// the same file system, so that moves in and out are plain renames.
struct WatchedTree {
    TempDir temp;
    fs::path tree = temp / "tree";
    fs::path outside = temp / "outside";

    WatchedTree()
    {
        fs::create_directory(tree);
        fs::create_directory(outside);
    }
};

inline std::unique_ptr<filewatch::DirectoryWatcher> makeWatcher(const fs::path& path,
                                                                 filewatch::DirectoryWatcher::Callback callback,
                                                                 filewatch::inotify::InotifyTuning tuning = {})
{
    return filewatch::detail::WatcherFactory::make(path.native(), std::move(callback),
                                                   filewatch::inotify::makeInotifyBackend(std::move(tuning)));
}

inline filewatch::inotify::InotifyTuning withWatchLimit(std::size_t limit)
{
    filewatch::inotify::InotifyTuning tuning;
    tuning.watchLimit = limit;
    return tuning;
}

}  // namespace watch_test
