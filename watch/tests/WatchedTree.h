#pragma once

#include "TestSupport.h"

#include "src/Backend.h"

#ifdef _WIN32
#include "windows/WindowsBackend.h"
#else
#include "linux/InotifyBackend.h"
#endif

#include <memory>

namespace filewatch::tests {

#ifdef _WIN32
using Tuning = filewatch::win32::WindowsTuning;
#else
using Tuning = filewatch::inotify::InotifyTuning;
#endif

// A temporary folder holding the watched "tree" and a sibling "outside" on
// the same file system, so that moves in and out are plain renames.
struct WatchedTree {
    TemporaryFolder temp;
    fs::path tree = temp / "tree";
    fs::path outside = temp / "outside";

    WatchedTree()
    {
        fs::create_directory(tree);
        fs::create_directory(outside);
    }
};

// Made last, so everything reported before it is everything made before it.
inline const Change sentinel{"zz-sentinel", Event::added};

inline void makeSentinel(const fs::path& tree)
{
    writeFile(tree / "zz-sentinel", "");
}

// Makes files f0, f1, ... and then the sentinel; the changes they should give.
inline std::vector<Change> makeNumberedFiles(const fs::path& tree, int count)
{
    std::vector<Change> made;
    for (int i = 0; i < count; ++i) {
        made.push_back({"f" + std::to_string(i), Event::added});
        writeFile(tree / made.back().path, "");
    }
    makeSentinel(tree);
    return made;
}

// Opens a gate that a callback or a backend waits on.
inline void release(Signal& gate, bool& released)
{
    std::lock_guard lock(gate.mutex);
    released = true;
    gate.changed.notify_all();
}

inline std::unique_ptr<filewatch::DirectoryWatcher> makeWatcher(const fs::path& path,
                                                                 filewatch::DirectoryWatcher::Callback callback,
                                                                 Tuning tuning = {},
                                                                 filewatch::DirectoryWatcher::Options options = {})
{
#ifdef _WIN32
    auto backend = filewatch::win32::makeWindowsBackend(std::move(tuning));
#else
    auto backend = filewatch::inotify::makeInotifyBackend(std::move(tuning));
#endif
    return filewatch::detail::WatcherFactory::make(path.native(), std::move(callback), std::move(backend),
                                                   std::move(options));
}

#ifndef _WIN32
inline Tuning withWatchLimit(std::size_t limit)
{
    Tuning tuning;
    tuning.watchLimit = limit;
    return tuning;
}
#endif

}  // namespace filewatch::tests
