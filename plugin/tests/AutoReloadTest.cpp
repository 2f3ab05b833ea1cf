#include "TestSupport.h"

namespace tarnwick::plugin::tests {
namespace {

// The game runs two levels below its root; the plugin finds the game's map
// folder from there.
class AutoReload : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        previousWorkingDirectory = fs::current_path();
        gameRoot = folder.path() / "game";
        cookedFolder = gameRoot / "TAGame" / "CookedPCConsole";
        fs::create_directories(cookedFolder);
        fs::create_directories(gameRoot / "Binaries" / "Win64");
        fs::current_path(gameRoot / "Binaries" / "Win64");
        baselineThreads = runningThreads();
        baselineDescriptors = openDescriptors();
        // Forward slashes, which Windows takes too: the load, the watch and
        // the game's reload then all name the map alike.
        map = fs::path((mapsFolder / "Arena.upk").generic_string());
        writeFile(map, "map v1\n");
        loadPlugin();
        host->runFor(2s);
    }

    void TearDown() override
    {
        PluginTest::TearDown();
        fs::current_path(previousWorkingDirectory);
    }

    long watchingLines(const fs::path& path) const { return count(logs(), "Watching: " + path.string()); }
    // A thread just joined may still be listed for a moment.
    bool threadsAsBefore() const { return waitUntil([&] { return runningThreads() == baselineThreads; }); }

    // Chooses the map, presses "Load Map" and lets the game start loading it.
    void loadChosenMap()
    {
        useMapsFolder(mapsFolder.generic_string() + "/");
        host->execute(setting(names::mapChoice, "Arena.upk"));
        host->execute(names::loadMap);
        host->runPending();
        ASSERT_EQ(watchingLines(map), 1);
    }

    // Saves the map and waits until the plugin has set its reload timer.
    void saveAndAwaitTimer(const fs::path& file)
    {
        const auto before = timersSet();
        appendOnce(file);
        ASSERT_TRUE(waitFor([&] { return timersSet() > before; })) << "no reload was scheduled";
    }

    fs::path previousWorkingDirectory;
    fs::path gameRoot;
    fs::path cookedFolder;
    fs::path map;
    std::size_t baselineThreads = 0;
    std::size_t baselineDescriptors = 0;
};

TEST_F(AutoReload, ReloadsOneSecondAfterASaveAndWatchesAfresh)
{
    loadChosenMap();
    EXPECT_EQ(loads(map), 1);

    saveAndAwaitTimer(map);
    host->runFor(0.99s);
    EXPECT_EQ(loads(map), 1);
    host->runFor(0.02s);
    EXPECT_EQ(loads(map), 2) << "one reload, one second after the save";
    host->runPending();
    EXPECT_EQ(watchingLines(map), 2) << "the reload armed a fresh watcher";

    // The fresh watcher reports the next save too.
    saveAndAwaitTimer(map);
    host->runFor(1.01s);
    EXPECT_EQ(loads(map), 3);
    EXPECT_TRUE(errors().empty());
}

TEST_F(AutoReload, GivesEverySaveItsOwnReload)
{
    loadChosenMap();
    for (int i = 0; i < 3; ++i) {
        saveAndAwaitTimer(map);
    }
    host->runFor(1.01s);
    EXPECT_EQ(loads(map), 4);
}

TEST_F(AutoReload, IgnoresChangesThatAreNotSaves)
{
    loadChosenMap();
    const auto before = timersSet();
    // Read, deleted, renamed away: none is a save. Each putting back is one
    // (a rename over its name), and changes are delivered in order: once its
    // timer is set, any timer the changes before had set would be there too.
    (void)readFile(map);
    fs::remove(map);
    writeFile(mapsFolder / "Arena.upk.tmp", "map v2\n");
    fs::rename(mapsFolder / "Arena.upk.tmp", map);
    ASSERT_TRUE(waitFor([&] { return timersSet() >= before + 1; }));
    EXPECT_EQ(timersSet(), before + 1);
    fs::rename(map, mapsFolder / "Arena.upk.bak");
    fs::rename(mapsFolder / "Arena.upk.bak", map);
    ASSERT_TRUE(waitFor([&] { return timersSet() >= before + 2; }));
    EXPECT_EQ(timersSet(), before + 2);
}

TEST_F(AutoReload, LoadsAtOnceWhenSwitchedOnAndKeepsAPendingReloadWhenSwitchedOff)
{
    loadChosenMap();
    host->execute(setting(names::autoReload, "1"));
    EXPECT_EQ(loads(map), 2) << "switched on, even while a watcher runs: the chosen map loads at once";
    host->runPending();
    saveAndAwaitTimer(map);
    host->execute(setting(names::autoReload, "0"));
    EXPECT_TRUE(threadsAsBefore()) << "switching off leaves nothing running";
    host->runFor(1.01s);
    EXPECT_EQ(loads(map), 3);
    host->runPending();
    EXPECT_EQ(watchingLines(map), 2) << "switched off: the load is not watched";
}

TEST_F(AutoReload, ResolvesABareNameInTheGameMapFolder)
{
    writeFile(cookedFolder / "Park_P.upk", "map");
    writeFile(cookedFolder / "Only_P.udk", "map");
    host->execute("load_freeplay");
    host->runPending();
    EXPECT_EQ(watchingLines(cookedFolder / "Park_P.upk"), 1);
    host->execute("preload Only_P");
    host->runPending();
    EXPECT_EQ(watchingLines(cookedFolder / "Only_P.udk"), 1);
    host->execute("preload Only_P.upk");
    host->runPending();
    EXPECT_EQ(watchingLines(cookedFolder / "Only_P.udk"), 2);
}

TEST_F(AutoReload, StopsWatchingWhenTheNameResolvesToNothing)
{
    loadChosenMap();
    const auto logsBefore = logs().size();
    host->execute("preload NoSuchMap");
    host->runPending();
    EXPECT_EQ(logs().size(), logsBefore) << "silently";
    EXPECT_TRUE(threadsAsBefore()) << "the previous watch leaves nothing";
}

TEST_F(AutoReload, ReloadsAMapReachedThroughALinkWhenTheFileItLeadsToIsSaved)
{
    const fs::path maps = fs::path(mapsFolder.generic_string());
    const fs::path real = fs::path((folder.path() / "work" / "Real.upk").generic_string());
    writeFile(real, "map");
    struct Row {
        const char* name;
        fs::path link;
        fs::path linkText;
        bool toFolder;
        fs::path loaded;
    };
    // The save happens in the real file's folder, not the link's.
    const Row rows[] = {
        {"a link to a file in another folder", maps / "Linked.upk", "../work/Real.upk", false, maps / "Linked.upk"},
        {"a link to that link", maps / "Twice.upk", "Linked.upk", false, maps / "Twice.upk"},
        {"a map in a linked folder", maps / "linked work", real.parent_path(), true, maps / "linked work/Real.upk"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!makeSymlink(row.linkText, row.link, row.toFolder)) {
            GTEST_SKIP() << "this system cannot make symbolic links that its file status queries see";
        }
        host->startMapLoad(row.loaded.string());
        host->runPending();
        ASSERT_EQ(watchingLines(row.loaded), 1) << "the player sees the link";
        saveAndAwaitTimer(real);
        host->runFor(1.01s);
        EXPECT_EQ(loads(row.loaded), 1) << "and reloads it";
    }
}

#if defined(_WIN32)
TEST_F(AutoReload, ReloadsWithForwardSlashesForTheGamesConsole)
{
    const std::string backslashed = fs::path(map).make_preferred().string();
    host->startMapLoad(backslashed);
    host->runPending();
    ASSERT_EQ(count(logs(), "Watching: " + backslashed), 1);
    saveAndAwaitTimer(map);
    host->runFor(1.01s);
    EXPECT_EQ(count(pluginCommands(), "load_workshop \"" + map.generic_string() + "\""), 1);
}
#else
// Outside Windows a backslash is part of a file's name, and a double quote
// may be too: the one reloads unchanged, the other cannot be quoted.
TEST_F(AutoReload, ReloadsABackslashUnchangedAndRefusesADoubleQuote)
{
    for (const bool quoted : {false, true}) {
        const fs::path odd = mapsFolder / (quoted ? "say \"hi\".upk" : "back\\slash.upk");
        writeFile(odd, "map");
        host->startMapLoad(odd.string());
        host->runPending();
        ASSERT_EQ(watchingLines(odd), 1);
        saveAndAwaitTimer(odd);
        host->runFor(1.01s);
        EXPECT_EQ(loads(odd), quoted ? 0 : 1) << odd;
    }
    EXPECT_NE(logs().back().find("double quote or a line break"), std::string::npos) << logs().back();
}
#endif

#ifndef _WIN32
// What the watcher can no longer see reaches the console, logged on the
// game thread: the watched folder gone, or watching failed. (Wine reports
// no deletion of a watched folder; the Windows backend's handling of it and
// of a failed read are tested through its seam.)
TEST_F(AutoReload, SaysWhenTheWatchedFolderGoes)
{
    rlimit descriptors{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &descriptors), 0);
    struct Case {
        const char* name;
        std::function<void()> remove;
        const char* reason;
        // Timers the plugin sets for it: the line's, and a reload's.
        std::size_t timers = 1;
        std::function<void()> undo = {};
    };
    const Case cases[] = {
        {"deleted", [&] { fs::remove_all(mapsFolder); }, "the watched folder was deleted"},
        {"moved away", [&] { fs::rename(mapsFolder, folder.path() / "moved"); },
         "the watched folder was moved or renamed"},
#ifndef __SANITIZE_ADDRESS__
        // A descriptor limit lowered below what a wait with a timeout
        // takes: the wait for a move's other half fails.
        // (Not beside UndefinedBehaviorSanitizer, whose check of the caught
        // error's type opens a pipe, which the limit forbids.)
        {"watching fails",
         [&] {
             writeFile(mapsFolder / "other.upk", "");
             const rlimit one{1, descriptors.rlim_max};
             ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &one), 0);
             fs::rename(mapsFolder / "other.upk", folder.path() / "other.upk");
         },
         "watching failed: Invalid argument", 1, [&] { ::setrlimit(RLIMIT_NOFILE, &descriptors); }},
#endif
    };
    for (const auto& [name, remove, reason, timersForIt, undo] : cases) {
        // Captured below: clang 14 cannot capture a structured binding.
        const std::size_t timers = timersForIt;
        SCOPED_TRACE(name);
        fs::create_directories(mapsFolder);
        writeFile(map, "map v1\n");
        host->startMapLoad(map.string());
        host->runPending();
        const auto before = timersSet();
        remove();
        const bool said = waitFor([&] { return timersSet() >= before + timers; });
        if (undo) {
            undo();
        }
        ASSERT_TRUE(said) << "nothing was said";
        host->runPending();
        EXPECT_EQ(count(logs(), "Watcher: " + map.parent_path().string() + ": " + reason + "; saves are no longer seen"),
                  1)
            << testing::PrintToString(logs());
    }
}
#endif

TEST_F(AutoReload, UnloadsCleanlyWithAPendingReloadAndARunningWatcher)
{
    loadChosenMap();
    saveAndAwaitTimer(map);
    host->unloadPlugin();
    EXPECT_TRUE(threadsAsBefore());
    host->runFor(2s);
    EXPECT_EQ(loads(map), 1) << "the pending reload died with the plugin";
    host.reset();
    EXPECT_EQ(openDescriptors(), baselineDescriptors);
}

TEST_F(AutoReload, PendingReloadNeverReachesAReleasedPlugin)
{
    // A host that keeps the plugin's timers and commands after unloading it.
    auto options = testsupport::hostOptions(folder, &console);
    options.keepCallablesAfterUnload = true;
    host->unloadPlugin();
    host = std::make_unique<host::Host>(options);
    host->loadPlugin(TARNWICK_PLUGIN_PATH);
    loadChosenMap();
    saveAndAwaitTimer(map);
    host->unloadPlugin();
    EXPECT_TRUE(threadsAsBefore()) << "the watcher died with the plugin";
    host->runFor(2s);
    host->execute(fmt::format("{}; {}; {}; {} 1; {} /; preload Arena", names::scanMaps, names::loadMap,
                              names::restoreUnderpass, names::autoReload, names::mapsFolder));
    host->runFor(2s);
    EXPECT_EQ(loads(map), 1);
    EXPECT_TRUE(errors().empty());
}

class UnderpassRestore : public AutoReload {
protected:
    fs::path backup() const { return dataFolder / "Labs_Underpass_P.upk"; }
    fs::path target() const { return cookedFolder / "Labs_Underpass_P.upk"; }
    long freeplays() const { return count(pluginCommands(), "load_freeplay"); }
};

TEST_F(UnderpassRestore, ReplacesOrCreatesTheGamesFileFromABackupOnly)
{
    writeFile(target(), "modded underpass, longer than the original");
    host->execute(names::restoreUnderpass);
    EXPECT_EQ(freeplays(), 0) << "no backup: nothing happens";
    writeFile(backup(), "original underpass");
    host->execute(names::restoreUnderpass);
    EXPECT_EQ(readFile(target()), "original underpass");
    EXPECT_EQ(logs(), std::vector<std::string>{"Restored Labs_Underpass_P.upk"});
    EXPECT_EQ(freeplays(), 1);

    fs::remove(target());
    host->execute(names::restoreUnderpass);
    EXPECT_EQ(readFile(target()), "original underpass");
    EXPECT_EQ(freeplays(), 2);
    EXPECT_EQ(entriesOf(cookedFolder).size(), 1u);
}

TEST_F(UnderpassRestore, KeepsTheGamesFileWhenTheCopyFails)
{
    writeFile(backup(), std::string(64 * 1024, 'u'));
    writeFile(target(), "the game's own file");

#if defined(_WIN32)
    // No file-size limit here: a backup another program holds unshared
    // cannot be read, once the copy beside the game's file is begun.
    HANDLE held = ::CreateFileW(backup().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    host->execute(names::restoreUnderpass);
    ::CloseHandle(held);
#else
    withFileSizeLimit(1024, [&] { host->execute(names::restoreUnderpass); });
#endif

    EXPECT_EQ(readFile(target()), "the game's own file");
    EXPECT_EQ(entriesOf(cookedFolder).size(), 1u) << "no stray copy";
    EXPECT_EQ(freeplays(), 0);
    ASSERT_EQ(logs().size(), 1u);
    EXPECT_NE(logs().front().find("Underpass restore failed"), std::string::npos) << logs().front();
    EXPECT_TRUE(errors().empty());
}

}  // namespace
}  // namespace tarnwick::plugin::tests
