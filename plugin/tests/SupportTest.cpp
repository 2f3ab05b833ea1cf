#include <gtest/gtest.h>

#include "GamePaths.h"
#include "ReplaceWhole.h"
#include "TestSupport.h"
#include "Text.h"

namespace tarnwick::plugin::tests {
namespace {

TEST(Printable, KeepsALogLineOnOneLine)
{
    EXPECT_EQ(printable("maps/a\nb.upk"), "maps/a\\nb.upk");
    EXPECT_EQ(printable("a\rb\tc\x01"), "a\\rb\\tc\\x01");
    EXPECT_EQ(printable("caf\xC3\xA9 & @ | \"q\""), "caf\xC3\xA9 & @ | \"q\"");
}

TEST(GameMapFolder, LiesTwoLevelsAboveTheWorkingDirectory)
{
    EXPECT_EQ(gameMapFolderFor("/Game/Binaries/Win64"), fs::path("/Game/TAGame/CookedPCConsole"));
    EXPECT_EQ(gameMapFolderFor("/Game"), fs::path("/TAGame/CookedPCConsole"));
    EXPECT_EQ(gameMapFolderFor("/"), fs::path("/TAGame/CookedPCConsole"));
}

class ReplaceFileContent : public ::testing::Test {
protected:
    TemporaryFolder folder;
    fs::path target = folder.path() / "page.set";
};

TEST_F(ReplaceFileContent, ReplacesTheWholeFileAndLeavesNothingBeside)
{
    writeFile(target, "old content that is longer than the new one\n");
    // Once the one name the new page was written under: a folder there
    // stopped every replace.
    const fs::path oldBeside = fs::path(target) += ".new";
    fs::create_directory(oldBeside);
    EXPECT_TRUE(replaceFileContent(target, "new\n"));
    EXPECT_EQ(readFile(target), "new\n");
    EXPECT_EQ(entriesOf(folder.path()), (std::vector<std::string>{"page.set", "page.set.new"}));
    EXPECT_FALSE(replaceFileContent(folder.path() / "missing" / "page.set", "text\n")) << "a missing folder";
}

#if !defined(_WIN32)
// Windows has no per-process file-size limit to make a write fail part-way.
TEST_F(ReplaceFileContent, KeepsTheOldFileWholeWhenTheWriteFails)
{
    writeFile(target, "previous page\n");
    std::optional<std::system_error> failure;
    withFileSizeLimit(16, [&] {
        try {
            replaceFileContent(target, std::string(4096, 'x'));
        } catch (const std::system_error& error) {
            failure = error;
        }
    });

    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->code(), std::errc::file_too_large);
    EXPECT_EQ(readFile(target), "previous page\n");
    EXPECT_EQ(entriesOf(folder.path()).size(), 1u);
}
#endif

}  // namespace
}  // namespace tarnwick::plugin::tests
