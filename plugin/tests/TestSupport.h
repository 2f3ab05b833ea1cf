#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <tarnwick/host/Host.h>
#include <tarnwick/testsupport/ChildProcess.h>
#include <tarnwick/testsupport/Descriptors.h>
#include <tarnwick/testsupport/Files.h>
#include <tarnwick/testsupport/HostOptions.h>
#include <tarnwick/testsupport/TemporaryFolder.h>
#include <tarnwick/testsupport/Threads.h>

#include "ConsoleNames.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tarnwick::plugin::tests {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A console line that sets `variable` to `value`.
inline std::string setting(const char* variable, std::string_view value)
{
    return fmt::format("{} \"{}\"", variable, value);
}

#if defined(_WIN32)
inline constexpr std::string_view pageLineEnd = "\r\n";  // text mode, as the host reads the page
#else
inline constexpr std::string_view pageLineEnd = "\n";
#endif

// The settings page, byte for byte, whose drop-down list offers `options`.
inline std::string pageWith(std::string_view options)
{
    return fmt::format("Tarnwick Plugin{0}6|Workshop Maps|tw_filepath|{1}{0}"
                       "12|Maps folder Path (default folder is the workshop map folder)|tw_workshop{0}"
                       "1|Auto-reload on file change|tw_watching{0}0|Load Map|tw_reload{0}",
                       pageLineEnd, options);
}

// Open descriptors, or on Windows handles. A watcher's teardown may keep one
// emptied inotify instance for the next watcher; a second one, or one still
// holding a watch, is a leak.
inline std::size_t openDescriptors()
{
    std::size_t descriptors = testsupport::openHandles();
#if !defined(_WIN32)
    const auto instances = testsupport::inotifyInstances();
    descriptors -= std::find(instances.begin(), instances.end(), 0u) != instances.end();
#endif
    return descriptors;
}

// The names in `folder`, sorted.
inline std::vector<std::string> entriesOf(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Makes `link` a symbolic link to `target`; false where the platform cannot.
// (MinGW's C++ library does not make links, and Wine's CreateSymbolicLinkW
// reports success but makes nothing.)
inline bool makeSymlink(const fs::path& target, const fs::path& link, bool toFolder = false)
{
#if defined(_WIN32)
    const DWORD kind = toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(), kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        return false;
    }
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(link, error));
#else
    if (toFolder) {
        fs::create_directory_symlink(target, link);
    } else {
        fs::create_symlink(target, link);
    }
    return true;
#endif
}

#if !defined(_WIN32)
// Runs `body` with writes limited to `bytes` per file and SIGXFSZ ignored, so
// a write fails part-way with EFBIG, as on a full disk.
template <typename Body>
void withFileSizeLimit(rlim_t bytes, Body&& body)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = bytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    body();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
}
#endif

using testsupport::appendOnce;
using testsupport::readFile;
using testsupport::runningThreads;
using testsupport::TemporaryFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

// The real plugin library, loaded by the host core on a manual clock, with
// its own host, data and maps folders.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostFolder = folder.path() / "host";
        dataFolder = folder.path() / "data";
        mapsFolder = folder.path() / "maps";
        fs::create_directories(hostFolder / "plugins" / "settings");
        fs::create_directories(dataFolder);
        fs::create_directories(mapsFolder);
    }

    void TearDown() override
    {
        if (host && host->hasPlugin()) {
            host->unloadPlugin();
        }
    }

    host::Host& startHost(host::ClockMode clock = host::ClockMode::manual)
    {
        host = std::make_unique<host::Host>(testsupport::hostOptions(folder, &console, clock));
        return *host;
    }

    host::Host& loadPlugin(host::ClockMode clock = host::ClockMode::manual)
    {
        startHost(clock);
        host->loadPlugin(TARNWICK_PLUGIN_PATH);
        return *host;
    }

    fs::path settingsFile() const { return hostFolder / "plugins" / "settings" / "TarnwickPlugin.set"; }

    std::vector<std::string> texts(std::string_view kind, std::string_view field = "text") const
    {
        std::vector<std::string> found;
        for (const auto& event : host->events(kind)) {
            found.push_back(event.at(std::string(field)).get<std::string>());
        }
        return found;
    }

    std::vector<std::string> pluginCommands() const
    {
        std::vector<std::string> found;
        for (const auto& event : host->events("command")) {
            if (event.at("from") == "plugin") {
                found.push_back(event.at("text").get<std::string>());
            }
        }
        return found;
    }

    std::vector<std::string> logs() const { return texts("log"); }
    std::vector<std::string> errors() const { return texts("error"); }

    static long count(const std::vector<std::string>& lines, const std::string& line)
    {
        return std::count(lines.begin(), lines.end(), line);
    }
    long loads(const fs::path& map) const { return count(pluginCommands(), "load_workshop \"" + map.string() + "\""); }
    std::size_t timersSet() const { return host->events("timer_set").size(); }

    // Runs the game loop until `done` holds; generous, the clock stands still.
    bool waitFor(const std::function<bool()>& done, host::Host::Seconds deadline = 10s)
    {
        return host->runUntil(done, deadline);
    }

    // Points the plugin at a maps folder; this runs a scan.
    void useMapsFolder(const std::string& text) { host->execute(setting(names::mapsFolder, text)); }

    TemporaryFolder folder;
    fs::path hostFolder;
    fs::path dataFolder;
    fs::path mapsFolder;
    std::ostringstream console;
    std::unique_ptr<host::Host> host;
};

}  // namespace tarnwick::plugin::tests
