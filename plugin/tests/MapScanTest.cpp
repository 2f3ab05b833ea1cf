#include <algorithm>
#if !defined(_WIN32)
#include <dirent.h>
#endif

#include "TestSupport.h"

namespace tarnwick::plugin::tests {
namespace {

class MapScan : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        loadPlugin();
        host->runFor(2s);  // past the refresh of the scan that loading runs
    }

    std::string scan(const std::string& mapsFolderText)
    {
        useMapsFolder(mapsFolderText);
        return readFile(settingsFile());
    }

    long refreshes() const { return count(pluginCommands(), "cl_settings_refreshplugins"); }

    std::string folderText() const { return mapsFolder.string() + "/"; }
};

// The page's options for the maps of a folder, in the order the file system
// lists them, walked without std::filesystem.
#if defined(_WIN32)
void listInReaddirOrder(const std::string& folder, const std::string& relative, std::string& options)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            listInReaddirOrder(folder + "\\" + name, relative + name + "\\", options);
        } else {
            options += (options.empty() ? "" : "&") + relative + name + "@" + relative + name;
        }
    } while (::FindNextFileA(search, &entry));
    ::FindClose(search);
}
#else
void listInReaddirOrder(const std::string& folder, const std::string& relative, std::string& options)
{
    DIR* dir = opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (entry->d_type == DT_DIR) {
            listInReaddirOrder(folder + "/" + name, relative + name + "/", options);
        } else {
            options += (options.empty() ? "" : "&") + relative + name + "@" + relative + name;
        }
    }
    closedir(dir);
}
#endif

// Its names registered, the page written by the plugin and read by the host
// binds each control to them, and a map's option chooses that map.
TEST_F(MapScan, RegistersItsNamesAndWritesAPageTheHostReadsBackWhole)
{
    EXPECT_EQ(host->variable(names::autoReload), "1");
    EXPECT_EQ(host->variable(names::mapChoice), "");
    EXPECT_EQ(host->variable(names::mapsFolder), "C:/Program Files (x86)/Steam/steamapps/workshop/content/252950/");
    EXPECT_TRUE(host->hasCommand(names::scanMaps));
    EXPECT_TRUE(host->hasCommand(names::loadMap));
    EXPECT_TRUE(host->hasCommand(names::restoreUnderpass));
    // Loading scanned once: the default folder does not exist here.
    EXPECT_EQ(readFile(settingsFile()), pageWith(" @ "));
    EXPECT_EQ(refreshes(), 1);
    EXPECT_TRUE(errors().empty());

    writeFile(mapsFolder / "a@b c.udk", "map");
    host->execute(fmt::format("page type {} \"{}\"", names::mapsFolder, folderText()));
    host->runFor(1.01s);  // the refresh: the host reads the new page
    host->execute(fmt::format("page pick {} 1", names::mapChoice));
    EXPECT_EQ(host->variable(names::mapChoice), "a@b c.udk");
    host->execute(fmt::format("page tick {}", names::autoReload));
    EXPECT_EQ(host->variable(names::autoReload), "0");
    host->execute(fmt::format("page press {}", names::loadMap));
    EXPECT_EQ(pluginCommands().back(), "load_workshop \"" + folderText() + "a@b c.udk\"");
    EXPECT_EQ(console.str().find("skipped"), std::string::npos) << console.str();
}

TEST_F(MapScan, ListsOnlyRegularFilesWithAMapExtensionInExactCase)
{
    writeFile(mapsFolder / "readme.txt", "not a map");
    EXPECT_EQ(scan(folderText()), pageWith(" @ ")) << "the placeholder";
    writeFile(mapsFolder / "a.upk", "map");
    writeFile(mapsFolder / "c.UPK", "map");
    writeFile(mapsFolder / "d.upk.bak", "map");
    writeFile(mapsFolder / ".upk", "map");
    fs::create_directories(mapsFolder / "e.upk");
    const std::string page = scan(folderText());
    EXPECT_EQ(page, pageWith("a.upk@a.upk"));

    writeFile(mapsFolder / "b.udk", "map");
    const std::string both = scan(folderText());
    EXPECT_TRUE(both == pageWith("a.upk@a.upk&b.udk@b.udk") || both == pageWith("b.udk@b.udk&a.upk@a.upk")) << both;
}

TEST_F(MapScan, ListsNestedMapsInWalkOrderNotSorted)
{
    for (const char* name : {"zeta.upk", "alpha.upk", "mid/beta.udk", "mid/deeper/gamma.upk", "omega/x.upk",
                             "Alpha.upk", "m.upk", "b.upk", "k.upk"}) {
        writeFile(mapsFolder / name, "map");
    }
    std::string options;
    listInReaddirOrder(mapsFolder.string(), "", options);
    EXPECT_EQ(scan(folderText()), pageWith(options));
}

TEST_F(MapScan, WritesSeparatorsInNamesUnescapedAndNamesTheMapsTheListSplits)
{
#if defined(_WIN32)
    // "|" cannot be part of a Windows file name.
    const std::string name = "a&b@c.upk";
#else
    const std::string name = "a&b@c|d.upk";
#endif
    writeFile(mapsFolder / name, "map");
    EXPECT_EQ(scan(folderText()), pageWith(name + "@" + name));

    // The page splits options at "&": the line names such a map and how it
    // still loads.
    ASSERT_EQ(logs().size(), 1u);
    EXPECT_NE(logs().back().find("\"" + name + "\""), std::string::npos) << logs().back();
    EXPECT_NE(logs().back().find(names::mapChoice), std::string::npos) << logs().back();
    host->execute(setting(names::mapChoice, name));
    host->execute(names::loadMap);
    ASSERT_FALSE(pluginCommands().empty());
    EXPECT_EQ(pluginCommands().back(), "load_workshop \"" + folderText() + name + "\"");

    // One line per scan, naming each such map.
    const std::string nested = (fs::path("sub") / "x&y.udk").string();
    writeFile(mapsFolder / nested, "map");
    writeFile(mapsFolder / "plain.upk", "map");
    host->execute(names::scanMaps);
    ASSERT_EQ(logs().size(), 2u);
    EXPECT_NE(logs().back().find("\"" + name + "\""), std::string::npos) << logs().back();
    EXPECT_NE(logs().back().find("\"" + nested + "\""), std::string::npos) << logs().back();
    EXPECT_EQ(logs().back().find("plain.upk"), std::string::npos) << logs().back();
}

TEST_F(MapScan, KeepsTheSeparatorWhenTheFolderTextLacksOne)
{
    writeFile(mapsFolder / "Arena.upk", "map");
    const std::string separator(1, static_cast<char>(fs::path::preferred_separator));
    EXPECT_EQ(scan(mapsFolder.string()), pageWith(separator + "Arena.upk@" + separator + "Arena.upk"));
}

TEST_F(MapScan, FollowsLinksToFilesButDoesNotEnterLinkedFolders)
{
    writeFile(folder.path() / "elsewhere" / "inside.upk", "map");
    writeFile(folder.path() / "target.upk", "map");
    if (!makeSymlink(folder.path() / "elsewhere", mapsFolder / "linked", true)) {
        GTEST_SKIP() << "this system cannot make symbolic links that its file status queries see";
    }
    ASSERT_TRUE(makeSymlink(folder.path() / "target.upk", mapsFolder / "link.upk"));
    ASSERT_TRUE(makeSymlink(folder.path() / "nothing.upk", mapsFolder / "dangling.upk"));
    ASSERT_TRUE(makeSymlink(mapsFolder / "loop.upk", mapsFolder / "loop.upk"));
    EXPECT_EQ(scan(folderText()), pageWith("link.upk@link.upk"));
    EXPECT_TRUE(logs().empty());
}

TEST_F(MapScan, RefreshesThePageOnceOneSecondAfterEachScan)
{
    const long before = refreshes();
    host->execute(names::scanMaps);
    host->runFor(0.99s);
    EXPECT_EQ(refreshes(), before);
    host->runFor(0.02s);
    EXPECT_EQ(refreshes(), before + 1);
    host->runFor(5s);
    EXPECT_EQ(refreshes(), before + 1);

    // Scans are not merged: two within a second refresh twice.
    host->execute(fmt::format("{0}; {0} extra words", names::scanMaps));
    host->runFor(1.01s);
    EXPECT_EQ(refreshes(), before + 3);
}

TEST_F(MapScan, RunsOnAMapsFolderChangeButNotOnAMapChoice)
{
    const auto timers = host->events("timer_set").size();
    host->execute(setting(names::mapChoice, "chosen.upk"));
    EXPECT_EQ(host->events("timer_set").size(), timers);
    writeFile(mapsFolder / "new.upk", "map");
    useMapsFolder(folderText());
    EXPECT_EQ(host->events("timer_set").size(), timers + 1);
}

TEST_F(MapScan, AFailedScanKeepsThePreviousPageAndSaysWhy)
{
    writeFile(mapsFolder / "kept.upk", "map");
    const std::string previous = scan(folderText());
    host->runFor(2s);
    const long refreshesBefore = refreshes();

    // A file where a folder is expected makes the walk fail.
    writeFile(folder.path() / "not-a-folder", "x");
    useMapsFolder((folder.path() / "not-a-folder").string());
    host->runFor(2s);

    EXPECT_EQ(readFile(settingsFile()), previous);
    EXPECT_EQ(refreshes(), refreshesBefore) << "no refresh after a failed scan";
    EXPECT_TRUE(errors().empty()) << "the host never sees the error";
    ASSERT_EQ(logs().size(), 1u);
    const std::string line = logs().front();
    EXPECT_NE(line.find("Map scan failed"), std::string::npos) << line;
    EXPECT_NE(line.find("not-a-folder"), std::string::npos) << line;
#if defined(_WIN32)
    const std::string notAFolder = std::error_code(ERROR_DIRECTORY, std::system_category()).message();
#else
    const std::string notAFolder = std::make_error_code(std::errc::not_a_directory).message();
#endif
    EXPECT_NE(line.find(notAFolder), std::string::npos) << line;
    EXPECT_EQ(entriesOf(settingsFile().parent_path()).size(), 1u);
}

#if !defined(_WIN32)
// Windows file names cannot hold line breaks.
TEST_F(MapScan, LeavesOutAMapWhoseNameBreaksTheLine)
{
    writeFile(mapsFolder / "good.upk", "map");
    writeFile(mapsFolder / "bad\nname.upk", "map");
    EXPECT_EQ(scan(folderText()), pageWith("good.upk@good.upk"));
    ASSERT_EQ(logs().size(), 1u);
    EXPECT_NE(logs().front().find("bad\\nname.upk"), std::string::npos) << logs().front();
}
#endif

TEST_F(MapScan, StaysSilentWhenTheSettingsFolderIsMissing)
{
    fs::remove_all(hostFolder / "plugins");
    const long before = refreshes();
    host->execute(names::scanMaps);
    host->runFor(1.01s);
    EXPECT_FALSE(fs::exists(settingsFile()));
    EXPECT_EQ(refreshes(), before + 1);
    EXPECT_TRUE(logs().empty());
}

}  // namespace
}  // namespace tarnwick::plugin::tests
