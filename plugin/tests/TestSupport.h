#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
#include <tarnwick/testsupport/TemporaryFolder.h>
#include <tarnwick/testsupport/Threads.h>

#include "ConsoleNames.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tarnwick::plugin::tests {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path& path, std::string_view content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

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

// Open descriptors, or on Windows open handles, of this process.
inline std::size_t openDescriptors()
{
#if defined(_WIN32)
    DWORD handles = 0;
    if (!::GetProcessHandleCount(::GetCurrentProcess(), &handles)) throw std::runtime_error("cannot count handles");
    return handles;
#else
    // A watcher's teardown may keep one emptied inotify instance for the next
    // watcher; a second one, or one still holding a watch, is a leak.
    std::size_t descriptors = 0;
    bool spareSeen = false;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        ++descriptors;
        std::error_code gone;
        if (spareSeen || fs::read_symlink(fd.path(), gone) != "anon_inode:inotify") {
            continue;
        }
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        bool holdsWatch = false;
        for (std::string line; std::getline(info, line);) {
            holdsWatch = holdsWatch || line.starts_with("inotify wd:");
        }
        if (!holdsWatch) {
            spareSeen = true;
            --descriptors;
        }
    }
    return descriptors;
#endif
}

// One write to the end of the file: a single save as the watcher reports it.
inline void appendOnce(const fs::path& file, std::string_view text = "saved\n")
{
    std::FILE* out = nullptr;
#if defined(_WIN32)
    out = ::_wfopen(file.c_str(), L"ab");
#else
    out = std::fopen(file.c_str(), "ab");
#endif
    ASSERT_NE(out, nullptr);
    // Unbuffered: the text reaches the file in one write call.
    std::setvbuf(out, nullptr, _IONBF, 0);
    EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), out), text.size());
    std::fclose(out);
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

using testsupport::runningThreads;
using testsupport::TemporaryFolder;
using testsupport::waitUntil;

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
        host::HostOptions options;
        options.hostFolder = hostFolder;
        options.dataFolder = dataFolder;
        options.console = &console;
        options.clock = clock;
        options.keepEvents = true;
        host = std::make_unique<host::Host>(options);
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
