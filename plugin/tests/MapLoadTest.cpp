#include <array>

#include "TestSupport.h"

namespace tarnwick::plugin::tests {
namespace {

class MapLoad : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        loadPlugin();
        host->runFor(2s);
    }

    // Chooses a map as the settings page does and presses "Load Map".
    void load(const std::string& mapsFolderText, const std::string& choice)
    {
        useMapsFolder(mapsFolderText);
        host->execute(setting(names::mapChoice, choice));
        commandsBefore = pluginCommands().size();
        logsBefore = logs().size();
        host->execute(names::loadMap);
    }

    std::vector<std::string> newCommands() const
    {
        auto all = pluginCommands();
        std::vector<std::string> fresh(all.begin() + static_cast<long>(commandsBefore), all.end());
        // The scan's page refresh is not part of the load.
        std::erase(fresh, "cl_settings_refreshplugins");
        return fresh;
    }
    std::vector<std::string> newLogs() const
    {
        auto all = logs();
        return {all.begin() + static_cast<long>(logsBefore), all.end()};
    }

    std::size_t commandsBefore = 0;
    std::size_t logsBefore = 0;
};

TEST_F(MapLoad, JoinsFolderAndChoiceAsPlainTextIntoOneLoadCommand)
{
    writeFile(mapsFolder / "1234567" / "Arena.udk", "map");
    const std::string folderText = mapsFolder.string();
    const std::string loadArena = "load_workshop \"" + folderText + "/1234567/Arena.udk\"";
    const std::vector<std::array<std::string, 2>> rows = {
        {folderText, "/1234567/Arena.udk"},
        {folderText + "/", "1234567/Arena.udk"},
        {folderText + "/1234567/Arena.udk", ""},  // the folder text names the map: nothing chosen, nothing said
    };
    for (const auto& [folderChoice, choice] : rows) {
        load(folderChoice, choice);
        EXPECT_EQ(newCommands(), choice.empty() ? std::vector<std::string>{} : std::vector{loadArena}) << choice;
        EXPECT_TRUE(newLogs().empty()) << choice;
    }
}

TEST_F(MapLoad, SaysFileNotFoundForAnythingButARegularFile)
{
    writeFile(mapsFolder / "gone.upk", "map");
    fs::create_directories(mapsFolder / "folder.upk");
    const std::string folderText = mapsFolder.string() + "/";
    for (const std::string choice : {" ", "", "folder.upk", "gone.upk", "missing/x.upk"}) {
        if (choice == "gone.upk") {
            fs::remove(mapsFolder / "gone.upk");
        }
        load(folderText, choice);
        EXPECT_TRUE(newCommands().empty()) << "choice '" << choice << "'";
        EXPECT_EQ(newLogs(), std::vector<std::string>{"File not found."}) << "choice '" << choice << "'";
    }
}

TEST_F(MapLoad, LoadsALinkByItsOwnPath)
{
    writeFile(folder.path() / "real.upk", "map");
    if (!makeSymlink(folder.path() / "real.upk", mapsFolder / "link.upk")) {
        GTEST_SKIP() << "this system cannot make symbolic links that its file status queries see";
    }
    load(mapsFolder.string() + "/", "link.upk");
    EXPECT_EQ(newCommands(), std::vector<std::string>{"load_workshop \"" + mapsFolder.string() + "/link.upk\""});
}

#if !defined(_WIN32)
// Windows file names cannot hold double quotes or line breaks.
TEST_F(MapLoad, RefusesAPathThatCannotBeQuoted)
{
    useMapsFolder(mapsFolder.string() + "/");
    writeFile(mapsFolder / "say \"hi\".upk", "map");
    writeFile(mapsFolder / "two\nlines.upk", "map");
    for (const std::string choice : {"say \"hi\".upk", "two\nlines.upk"}) {
        logsBefore = logs().size();
        commandsBefore = pluginCommands().size();
        // Set directly: the console cannot carry these characters in one word.
        host->setVariable(names::mapChoice, choice);
        host->execute(names::loadMap);
        EXPECT_TRUE(newCommands().empty());
        ASSERT_EQ(newLogs().size(), 1u);
        EXPECT_NE(newLogs().front().find("double quote or a line break"), std::string::npos);
        EXPECT_EQ(newLogs().front().find('\n'), std::string::npos) << "one line";
    }
}
#endif

}  // namespace
}  // namespace tarnwick::plugin::tests
