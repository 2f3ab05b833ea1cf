// Faults and stress: each case asserts that nothing is lost and nothing leaks.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "TestSupport.h"

namespace tarnwick::plugin::tests {
namespace {

// Removes a tree too deep for full paths, one folder relative to the next.
void removeChildrenAt(int folder)
{
    const int listing = ::dup(folder);
    DIR* dir = ::fdopendir(listing);
    std::vector<std::pair<std::string, bool>> children;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") children.emplace_back(name, entry->d_type == DT_DIR);
    }
    ::closedir(dir);
    for (const auto& [name, isFolder] : children) {
        if (isFolder) {
            const int child = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
            removeChildrenAt(child);
            ::close(child);
        }
        ::unlinkat(folder, name.c_str(), isFolder ? AT_REMOVEDIR : 0);
    }
}

void removeTreeRelatively(const fs::path& root)
{
    const int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    removeChildrenAt(folder);
    ::close(folder);
}

// Makes 24 nested folders of 200-character names below `root`, each made
// relative to the last: the full path is too long to use. Returns the
// deepest, open, and its path below `root`.
std::pair<int, std::string> makeTooDeepFolder(const fs::path& root)
{
    const std::string component(200, 'd');
    int current = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    std::string relative;
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(::mkdirat(current, component.c_str(), 0755), 0);
        ::close(std::exchange(current, ::openat(current, component.c_str(), O_RDONLY | O_DIRECTORY)));
        relative += component + "/";
    }
    EXPECT_GT(root.native().size() + relative.size(), static_cast<std::size_t>(PATH_MAX));
    return {current, relative};
}

using Faults = PluginTest;

TEST_F(Faults, TwoHundredLoadCyclesWithAWatcherAndAPendingReloadLeakNothing)
{
    const fs::path map = mapsFolder / "Arena.upk";
    writeFile(map, "map");
    startHost();
    const auto threads = runningThreads();
    const auto descriptors = openDescriptors();
    for (int cycle = 0; cycle < 200; ++cycle) {
        host->loadPlugin(TARNWICK_PLUGIN_PATH);
        host->startMapLoad(map.string());
        host->runPending();
        const auto before = timersSet();
        appendOnce(map);
        ASSERT_TRUE(waitFor([&] { return timersSet() > before; })) << "cycle " << cycle;
        host->unloadPlugin();
        // A thread just joined may still be listed for a moment.
        ASSERT_TRUE(waitUntil([&] { return runningThreads() == threads; })) << "cycle " << cycle;
    }
    host->runFor(2s);
    EXPECT_EQ(loads(map), 0) << "no reload outlived its plugin";
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_TRUE(errors().empty());
}

// After either, the next save still reloads the map; the atomic save is a
// save itself.
TEST_F(Faults, AnAtomicSaveOrTheWatchedFolderDeletedAndMadeAgainBeforeTheNextLoad)
{
    struct Row {
        const char* name;
        fs::path map;
        std::function<void(const fs::path&)> disturb;
        long loads;
    };
    const Row rows[] = {
        // Editors that save by renaming a finished copy over the file.
        {"an atomic save", mapsFolder / "Arena.upk",
         [&](const fs::path& map) {
             const auto before = timersSet();
             writeFile(mapsFolder / "Arena.upk.saving", "map v2");
             fs::rename(mapsFolder / "Arena.upk.saving", map);
             // Reported in its own time: its reload must not pass for the next save's.
             ASSERT_TRUE(waitFor([&] { return timersSet() > before; })) << "the save set no reload";
         },
         2},
        {"the folder deleted and made again, then loaded", mapsFolder / "sub" / "Arena.upk",
         [&](const fs::path& map) {
             fs::remove_all(map.parent_path());
             writeFile(map, "map again");
             host->startMapLoad(map.string());
             host->runPending();
         },
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(row.map, "map v1");
        loadPlugin();
        host->startMapLoad(row.map.string());
        host->runPending();
        row.disturb(row.map);
        const auto before = timersSet();
        appendOnce(row.map);
        ASSERT_TRUE(waitFor([&] { return timersSet() > before; }));
        host->runFor(1.01s);
        EXPECT_EQ(loads(row.map), row.loads);
    }
}

TEST_F(Faults, ScanKeepsNamesThatAreNotUtf8ByteForByte)
{
    loadPlugin();
    const std::string name = "caf\xE9 \xFF\xFE.upk";
    writeFile(mapsFolder / name, "map");
    useMapsFolder(mapsFolder.string() + "/");
    EXPECT_EQ(readFile(settingsFile()), pageWith(name + "@" + name));
    host->setVariable(names::mapChoice, name);
    host->execute(names::loadMap);
    // The trace shows each byte that is not UTF-8 as \xNN.
    const auto commands = pluginCommands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "load_workshop \"" + mapsFolder.string() + "/caf\\xE9 \\xFF\\xFE.upk\"");
}

TEST_F(Faults, ScanListsAMapDeeperThanTheLongestPathTheSystemOpensWhole)
{
    const auto [current, relative] = makeTooDeepFolder(mapsFolder);
    ::close(::openat(current, "deep.upk", O_CREAT | O_WRONLY, 0644));
    ::close(current);

    loadPlugin();
    useMapsFolder(mapsFolder.string() + "/");
    EXPECT_EQ(readFile(settingsFile()), pageWith(relative + "deep.upk@" + relative + "deep.upk"));
    EXPECT_TRUE(logs().empty());
    // Too long to open: loading it says so instead of failing.
    host->setVariable(names::mapChoice, relative + "deep.upk");
    host->execute(names::loadMap);
    EXPECT_EQ(logs(), std::vector<std::string>{"File not found."});

    removeTreeRelatively(mapsFolder);
}

TEST_F(Faults, ReadsAWorkingDirectoryLongerThanAPathWhole)
{
    // The game's folders below a root too deep for a full path; the game
    // runs in <root>/Binaries/Win64.
    fs::create_directory(folder.path() / "game");
    const auto [current, relative] = makeTooDeepFolder(folder.path() / "game");
    for (const char* made : {"TAGame", "TAGame/CookedPCConsole", "Binaries", "Binaries/Win64"}) {
        ASSERT_EQ(::mkdirat(current, made, 0755), 0);
    }
    const fs::path gameRoot = folder.path() / "game" / relative;
    writeFile(dataFolder / "Labs_Underpass_P.upk", "original underpass");
    const fs::path previousWorkingDirectory = fs::current_path();
    const int gameFolder = ::openat(current, "Binaries/Win64", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::fchdir(gameFolder), 0);
    loadPlugin();
    host->execute(names::restoreUnderpass);
    fs::current_path(previousWorkingDirectory);
    ::close(gameFolder);
    ::close(current);
    removeTreeRelatively(folder.path() / "game");

    // The restore names the game's folder below the whole working directory,
    // then fails, as the system cannot open a path that long.
    ASSERT_EQ(logs().size(), 1u);
    const fs::path target = gameRoot / "TAGame" / "CookedPCConsole" / "Labs_Underpass_P.upk";
    EXPECT_NE(logs().front().find("[" + target.string() + "]"), std::string::npos) << logs().front();
    EXPECT_NE(logs().front().find(std::make_error_code(std::errc::filename_too_long).message()), std::string::npos);
}

TEST_F(Faults, ScanOfAHundredThousandEntriesListsEveryMap)
{
    for (int folder = 0; folder < 100; ++folder) {
        const fs::path sub = mapsFolder / ("folder " + std::to_string(folder));
        fs::create_directories(sub);
        for (int file = 0; file < 1000; ++file) {
            const char* extension = file % 2 == 0 ? ".upk" : ".txt";
            ::close(::open((sub / ("map " + std::to_string(file) + extension)).c_str(), O_CREAT | O_WRONLY, 0644));
        }
    }
    loadPlugin();
    useMapsFolder(mapsFolder.string() + "/");
    const std::string page = readFile(settingsFile());
    EXPECT_EQ(std::count(page.begin(), page.end(), '&'), 50'000 - 1);
    EXPECT_EQ(std::count(page.begin(), page.end(), '\n'), 5);
}

TEST_F(Faults, SettingsFileStaysWholeWhenTheDiskFillsUp)
{
    for (int i = 0; i < 50; ++i) {
        writeFile(mapsFolder / ("map number " + std::to_string(i) + ".upk"), "map");
    }
    loadPlugin();
    host->runFor(2s);
    const std::string before = readFile(settingsFile());
    useMapsFolder(mapsFolder.string() + "/");
    const std::string previous = readFile(settingsFile());
    ASSERT_NE(previous, before);
    writeFile(mapsFolder / "one more.upk", "map");

    withFileSizeLimit(256, [&] { host->execute(names::scanMaps); });

    EXPECT_EQ(readFile(settingsFile()), previous);
    EXPECT_EQ(entriesOf(settingsFile().parent_path()).size(), 1u) << "no stray temporary file";
    ASSERT_EQ(logs().size(), 1u);
    EXPECT_NE(logs().front().find("Map scan failed"), std::string::npos) << logs().front();
    EXPECT_NE(logs().front().find(std::make_error_code(std::errc::file_too_large).message()), std::string::npos)
        << logs().front();
}

}  // namespace
}  // namespace tarnwick::plugin::tests
