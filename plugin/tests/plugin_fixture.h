#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <tarnwick/host/host.h>

namespace tarnwick::test {

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

// The whole settings file for a drop-down list of `mapList`.
inline std::string expectedPage(std::string_view mapList)
{
    return "Tarnwick Plugin\n6|Workshop Maps|tw_filepath|" + std::string(mapList) +
           "\n12|Maps folder Path (default folder is the workshop map folder)|tw_workshop\n"
           "1|Auto-reload on file change|tw_watching\n0|Load Map|tw_reload\n";
}

// Threads of this process. The first thread a process starts may bring a
// runtime thread of its own (ThreadSanitizer's), so start one before the
// baseline is taken.
inline std::size_t runningThreads()
{
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// A fresh folder per test, removed afterwards.
class TemporaryFolder {
public:
    TemporaryFolder()
    {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("tarnwick-") + (test ? test->name() : "test") + "-XXXXXX";
        for (auto& c : name) {
            if (c == '/') c = '_';
        }
        std::string pattern = (fs::temp_directory_path() / name).string();
        if (!mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        root = pattern;
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    fs::path root;
};

// The real plugin library, loaded by the host core on a manual clock, with
// its own host, data and maps folders.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostFolder = folder.root / "host";
        dataFolder = folder.root / "data";
        mapsFolder = folder.root / "maps";
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
    void useMapsFolder(const std::string& text) { host->execute("tw_workshop \"" + text + "\""); }

    TemporaryFolder folder;
    fs::path hostFolder;
    fs::path dataFolder;
    fs::path mapsFolder;
    std::ostringstream console;
    std::unique_ptr<host::Host> host;
};

}  // namespace tarnwick::test
