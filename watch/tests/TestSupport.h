// Shared by the watcher's tests: temporary trees, a recording callback and
// the one way to wait for something asynchronous.
#pragma once

#include <filewatch/DirectoryWatcher.h>
#include <tarnwick/testsupport/ChildProcess.h>
#include <tarnwick/testsupport/Descriptors.h>
#include <tarnwick/testsupport/Files.h>
#include <tarnwick/testsupport/TemporaryFolder.h>
#include <tarnwick/testsupport/Threads.h>

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace filewatch {
// Readable assertion failures.
inline void PrintTo(Event kind, std::ostream* out)
{
    *out << toString(kind);
}
}  // namespace filewatch

namespace filewatch::tests {

using filewatch::Event;
using filewatch::PathString;
namespace fs = std::filesystem;

inline constexpr char nativeSeparator = static_cast<char>(fs::path::preferred_separator);

// Test paths are written with '/', which becomes the native separator.
inline PathString nativePath(const fs::path& written)
{
    return fs::path(written).make_preferred().native();
}

struct Change {
    PathString path;
    Event kind;

    Change(const fs::path& written, Event kind) : path(nativePath(written)), kind(kind) {}
    // Exactly as the watcher reported it.
    static Change reported(const PathString& path, Event kind)
    {
        Change change(fs::path(), kind);
        change.path = path;
        return change;
    }
    bool operator==(const Change&) const = default;
    friend void PrintTo(const Change& change, std::ostream* out)
    {
        *out << toString(change.kind) << ' ' << testing::PrintToString(change.path);
    }
};

using tarnwick::testsupport::defaultDeadline;
using tarnwick::testsupport::runningThreads;
using tarnwick::testsupport::warmUpThreads;
using tarnwick::testsupport::Signal;
using tarnwick::testsupport::TemporaryFolder;
using tarnwick::testsupport::waitUntil;

// Records every change a watcher reports.
class Recorder {
public:
    filewatch::DirectoryWatcher::Callback callback()
    {
        return [this](const PathString& path, Event kind) {
            std::lock_guard lock(signal.mutex);
            changes.push_back(Change::reported(path, kind));
            signal.changed.notify_all();
        };
    }

    // Also records warnings; names with a line break only if asked for.
    filewatch::DirectoryWatcher::Options options(bool reportLineBreakNames = false)
    {
        filewatch::DirectoryWatcher::Options options;
        options.reportLineBreakNames = reportLineBreakNames;
        options.onWarning = [this](const filewatch::Warning& warning) {
            std::lock_guard lock(signal.mutex);
            warnings.push_back(warning);
            signal.changed.notify_all();
        };
        return options;
    }

    // The first warning of that kind, once it arrives.
    std::optional<filewatch::Warning> waitForWarning(filewatch::WarningKind kind)
    {
        std::optional<filewatch::Warning> found;
        waitUntil(signal, [&] {
            const auto warning = std::find_if(warnings.begin(), warnings.end(),
                                              [&](const filewatch::Warning& w) { return w.kind == kind; });
            if (warning != warnings.end()) {
                found = *warning;
            }
            return found.has_value();
        });
        return found;
    }

    std::vector<filewatch::Warning> warningsSnapshot()
    {
        std::lock_guard lock(signal.mutex);
        return warnings;
    }

    bool waitFor(const Change& change)
    {
        return waitUntil(signal, [&] { return std::find(changes.begin(), changes.end(), change) != changes.end(); });
    }

    template <class Condition>
    bool waitUntilChanges(Condition condition)
    {
        return waitUntil(signal, [&] { return condition(changes); });
    }

    std::vector<Change> snapshot()
    {
        std::lock_guard lock(signal.mutex);
        return changes;
    }

    // Everything reported before `sentinel`, which the test makes last: the
    // system reports in order, so nothing else can arrive in between.
    std::vector<Change> before(const Change& sentinel)
    {
        EXPECT_TRUE(waitFor(sentinel)) << "sentinel " << testing::PrintToString(sentinel) << " never reported";
        auto all = snapshot();
        all.erase(std::find(all.begin(), all.end(), sentinel), all.end());
        return all;
    }

private:
    Signal signal;
    std::vector<Change> changes;
    std::vector<filewatch::Warning> warnings;
};

// What a burst of file creations reports: on Windows each creation may be
// followed by a `modified` of the same name (its times and attributes set on
// close), which is dropped here; elsewhere the changes stay as they are.
inline std::vector<Change> creations(std::vector<Change> changes)
{
#ifdef _WIN32
    for (std::size_t i = 1; i < changes.size();) {
        const bool settlesTheOneBefore = changes[i].kind == Event::modified &&
                                         changes[i - 1].kind == Event::added && changes[i].path == changes[i - 1].path;
        if (settlesTheOneBefore) {
            changes.erase(changes.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
#endif
    return changes;
}

#ifdef _WIN32
// Wine runs the tests on Linux, where a few things differ from Windows.
inline bool runningUnderWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
#endif

// A watcher's teardown may keep its emptied kernel instance for the next
// watcher (one at most, process-wide). Have it kept before counting
// descriptors, so that only a leak changes the count.
inline void keepSpareInstance()
{
    TemporaryFolder empty;
    filewatch::DirectoryWatcher(empty.path().native(), [](const PathString&, Event) {});
}

// Each save one open, one write and one close, the calls an editor makes.
using tarnwick::testsupport::openHandles;
using tarnwick::testsupport::writeFile;
#ifndef _WIN32
using tarnwick::testsupport::inotifyInstances;
#endif

}  // namespace filewatch::tests
