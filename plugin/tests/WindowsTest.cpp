// What only Windows has: code pages, drive letters, the DLL's version
// resource, and the settings file in text mode.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>

#include "GamePaths.h"
#include "TestSupport.h"
#include "FileStatus.h"
#include "Text.h"

namespace tarnwick::plugin::tests {
namespace {

constexpr unsigned shiftJis = 932;
constexpr unsigned westernEuropean = 1252;
constexpr unsigned oemUnitedStates = 437;

template <typename Conversion>
DWORD systemErrorOf(Conversion&& conversion)
{
    try {
        conversion();
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().category(), std::system_category());
        return static_cast<DWORD>(error.code().value());
    }
    return ERROR_SUCCESS;
}

TEST(CodePage, ConvertsBothWaysExactly)
{
    EXPECT_EQ(pathFromNarrow("caf\xC3\xA9", CP_UTF8).native(), L"caf\u00E9");
    EXPECT_EQ(narrowFromPath(L"caf\u00E9 \U0001F600", CP_UTF8), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(pathFromNarrow("caf\xE9", westernEuropean).native(), L"caf\u00E9");
    EXPECT_EQ(narrowFromPath(L"caf\u00E9", westernEuropean), "caf\xE9");
    EXPECT_EQ(pathFromNarrow("\x93\xFA\x96\x7B", shiftJis).native(), L"\u65E5\u672C");
    EXPECT_EQ(narrowFromPath(L"\u65E5\u672C", shiftJis), "\x93\xFA\x96\x7B");
    EXPECT_EQ(pathFromNarrow("caf\x82", oemUnitedStates).native(), L"caf\u00E9");
    EXPECT_EQ(narrowFromPath(L"", CP_UTF8), "");
    EXPECT_TRUE(pathFromNarrow("", shiftJis).empty());
}

TEST(CodePage, RejectsBytesThatAreInvalidInIt)
{
    EXPECT_EQ(systemErrorOf([] { (void)pathFromNarrow("caf\xC3(", CP_UTF8); }), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(systemErrorOf([] { (void)pathFromNarrow("\xFF", CP_UTF8); }), ERROR_NO_UNICODE_TRANSLATION);
    // A lead byte whose trail byte is missing.
    EXPECT_EQ(systemErrorOf([] { (void)pathFromNarrow("map\x93", shiftJis); }), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(CodePage, RejectsCharactersWithoutAnExactMappingInsteadOfReplacingThem)
{
    // Best fit would turn these into "A" and "e"; a replacement into "?".
    EXPECT_EQ(systemErrorOf([] { (void)narrowFromPath(L"\u0100rena.upk", westernEuropean); }),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(systemErrorOf([] { (void)narrowFromPath(L"caf\u00E9", shiftJis); }), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(systemErrorOf([] { (void)narrowFromPath(L"\u65E5", oemUnitedStates); }),
              ERROR_NO_UNICODE_TRANSLATION);
    // Half a surrogate pair is no character at all.
    EXPECT_EQ(systemErrorOf([] { (void)narrowFromPath(std::wstring(1, wchar_t(0xD800)), CP_UTF8); }),
              ERROR_NO_UNICODE_TRANSLATION);
}

TEST(CodePage, FollowsTheFileInterfacesBetweenAnsiAndOem)
{
    // The runtime's locale here is "C", not UTF-8.
    EXPECT_EQ(processCodePage(), ::GetACP());
    ::SetFileApisToOEM();
    const unsigned oem = processCodePage();
    ::SetFileApisToANSI();
    EXPECT_EQ(oem, ::GetOEMCP());
    EXPECT_EQ(processCodePage(), ::GetACP());
}

// Where the code page cannot hold a name below the maps folder, the short
// 8.3 name the volume keeps stands in, for that name only. Wine makes one for
// every such name, so the volume that keeps none (8.3 names turned off, the
// default on other volumes than the system's since Windows 8) is recorded.
TEST(CodePage, ListsANameItCannotHoldByItsShortNameOrNotAtAll)
{
    const std::map<std::wstring, std::wstring> shortNames = {
        {L"D:\\Program Files\\Maps", L"PROGRA~1"},  // above the maps folder
        {L"D:\\Program Files\\Maps\\\u5730\u56F3.upk", L"__~~~HVX.UPK"},
        {L"D:\\Program Files\\Maps\\\u5730", L"_~~~~7KQ"},
        {L"D:\\Program Files\\Maps\\\u5730\\caf\u00E9 x", L"CAF_X~1"},
        {L"D:\\Program Files\\Maps\\\u5730\\caf\u00E9 x\\\u0100.udk", L"_~~~~PUU.UDK"},
    };
    const auto recorded = [&](const std::wstring& path) {
        const auto found = shortNames.find(path);
        return found != shortNames.end() ? found->second : fs::path(path).filename().native();
    };
    const struct {
        const char* what;
        std::wstring file;
        std::optional<std::string> listed;
    } rows[] = {
        {"a name it holds, as it is", L"D:\\Program Files\\Maps\\caf\u00E9.upk",
         "D:\\Program Files\\Maps\\caf\xE9.upk"},
        {"a map name it cannot hold, by its short name", L"D:\\Program Files\\Maps\\\u5730\u56F3.upk",
         "D:\\Program Files\\Maps\\__~~~HVX.UPK"},
        {"a folder name too; the names it holds stay", L"D:\\Program Files\\Maps\\\u5730\\caf\u00E9 x\\\u0100.udk",
         "D:\\Program Files\\Maps\\_~~~~7KQ\\caf\xE9 x\\_~~~~PUU.UDK"},
        {"no short name kept: left off", L"D:\\Program Files\\Maps\\\u0101.upk", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(narrowForListing(row.file, std::wstring_view(L"D:\\Program Files\\Maps").size(), westernEuropean,
                                   recorded),
                  row.listed);
    }
    // How the log line names the one left off.
    EXPECT_EQ(printablePath(L"D:\\Maps\\\u0101 caf\u00E9 \U0001F600\t.upk", westernEuropean),
              "D:\\Maps\\\\u0101 caf\xE9 \\U0001F600\\t.upk");
}

// Every file call takes a path in the extended form, which holds any length.
TEST(ExtendedLength, MakesAnyPathAbsoluteWithThePrefixForADriveOrAShare)
{
    const struct {
        std::wstring given;
        std::wstring system;
    } rows[] = {
        {L"C:\\maps\\a.upk", L"\\\\?\\C:\\maps\\a.upk"},
        {L"C:/Program Files (x86)/Steam/maps/", L"\\\\?\\C:\\Program Files (x86)\\Steam\\maps\\"},
        {L"C:\\maps\\old\\..\\.\\a.upk", L"\\\\?\\C:\\maps\\a.upk"},
        {L"\\\\server\\share\\maps", L"\\\\?\\UNC\\server\\share\\maps"},
        {L"\\\\?\\C:\\maps\\a.upk", L"\\\\?\\C:\\maps\\a.upk"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(systemPath(row.given).native(), row.system);
    }
    EXPECT_EQ(displayPath(L"\\\\?\\UNC\\server\\share\\maps").native(), L"\\\\server\\share\\maps");
    EXPECT_EQ(displayPath(L"\\\\?\\C:\\maps").native(), L"C:\\maps");
}

TEST(NoEntry, CoversTheFourSystemErrorsOnly)
{
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH, ERROR_INVALID_NAME}) {
        EXPECT_TRUE(meansNoEntry(std::error_code(static_cast<int>(code), std::system_category()))) << code;
    }
    for (DWORD code : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_NOT_READY}) {
        EXPECT_FALSE(meansNoEntry(std::error_code(static_cast<int>(code), std::system_category()))) << code;
    }
}

// Wine's CreateSymbolicLinkW reports success and makes nothing, so no link
// can be followed here. What the watcher is given is the system's name for
// the file, at lengths either side of the buffer first offered.
TEST(FinalPath, IsTheSystemsNameForTheFileAtAnyLength)
{
    TemporaryFolder folder;
    const std::wstring root = L"\\\\?\\" + fs::path(folder.path()).make_preferred().native();
    const std::wstring middle = root + L"\\" + std::wstring(100, L'a');
    const std::wstring deep = middle + L"\\" + std::wstring(100, L'b');
    ASSERT_TRUE(::CreateDirectoryW(middle.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr));
    const bool underWine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    for (const std::wstring& where : {root, deep}) {
        const std::wstring file = where + L"\\Real.upk";
        HANDLE made = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(made, INVALID_HANDLE_VALUE);
        ::CloseHandle(made);
        if (where == deep && underWine) continue;
        EXPECT_EQ(finalPathOf(file).native(), file);
        EXPECT_EQ(finalPathOf(where).native(), where);
    }
    ::DeleteFileW((deep + L"\\Real.upk").c_str());
    ::RemoveDirectoryW(deep.c_str());
    ::RemoveDirectoryW(middle.c_str());
    if (underWine) GTEST_SKIP() << "Wine answers any name past MAX_PATH with ERROR_MORE_DATA: that row needs Windows";
}

// Real queries where Wine makes the case. A network path that is gone gives
// 53 on Windows but 66 under Wine: the recorded walk covers it.
TEST(NoEntry, RealQueriesFindNothingOnlyForTheFourErrors)
{
    TemporaryFolder folder;
    writeFile(folder.path() / "file.upk", "map");
    const fs::path links = fs::path(TARNWICK_UNIX_LINKS_DIR).make_preferred() / "maps";
    const struct {
        const char* what;
        fs::path path;
        DWORD queryError;
    } missing[] = {
        {"a missing file", folder.path() / "missing.upk", ERROR_FILE_NOT_FOUND},
        {"a missing folder on the way", folder.path() / "missing" / "map.upk", ERROR_PATH_NOT_FOUND},
        {"a file taken for a folder", folder.path() / "file.upk" / "map.upk", ERROR_PATH_NOT_FOUND},
        {"an invalid name", folder.path() / "a<b.upk", ERROR_INVALID_NAME},
    };
    for (const auto& row : missing) {
        SCOPED_TRACE(row.what);
        WIN32_FILE_ATTRIBUTE_DATA data;
        EXPECT_FALSE(::GetFileAttributesExW(row.path.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(::GetLastError(), row.queryError);
        EXPECT_EQ(statusOf(row.path, "status").type(), fs::file_type::not_found);
        EXPECT_FALSE(pathExists(row.path));
    }
    EXPECT_EQ(statusOf(folder.path() / "file.upk", "status").type(), fs::file_type::regular);
    EXPECT_EQ(statusOf(folder.path(), "status").type(), fs::file_type::directory);

    if (!fs::exists(links / "sub")) GTEST_SKIP() << "no Unix links here; ctest makes them under Wine";
    // Followed to the end: a folder link is a folder, a link to nothing is nothing.
    EXPECT_EQ(statusOf(links / "linked", "status").type(), fs::file_type::directory);
    EXPECT_EQ(statusOf(links / "link.upk", "status").type(), fs::file_type::regular);
    EXPECT_EQ(statusOf(links / "dangling.upk", "status").type(), fs::file_type::not_found);
    // A link that leads to itself fails with another error, which is raised.
    try {
        pathExists(links / "self.upk");
        FAIL() << "a link loop counted as no entry";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::error_code(ERROR_CANT_RESOLVE_FILENAME, std::system_category()));
        EXPECT_EQ(error.path1(), links / "self.upk");
        EXPECT_NE(std::string(error.what()).find("exists"), std::string::npos) << error.what();
    }
}

// The scan that used to recurse through sub\up\sub\up... until the path was
// too long, and list nothing.
TEST_F(PluginTest, ScanListsBesideALinkToAParentFolderAndCompletes)
{
    const fs::path maps = fs::path(TARNWICK_UNIX_LINKS_DIR).make_preferred() / "maps";
    if (!fs::exists(maps / "sub")) GTEST_SKIP() << "no Unix links here; ctest makes them under Wine";
    loadPlugin();
    useMapsFolder(maps.string() + "\\");
    EXPECT_EQ(readFile(settingsFile()), pageWith("a.upk@a.upk&link.upk@link.upk&sub\\b.udk@sub\\b.udk"));
    EXPECT_TRUE(logs().empty());
    EXPECT_TRUE(errors().empty());
}

TEST(GameMapFolder, LiesTwoLevelsAboveTheWorkingDirectoryOnADrive)
{
    EXPECT_EQ(gameMapFolderFor(L"D:\\Game\\Binaries\\Win64").native(), L"D:\\Game\\TAGame\\CookedPCConsole");
    EXPECT_EQ(gameMapFolderFor(L"D:\\Game").native(), L"D:\\TAGame\\CookedPCConsole");
    EXPECT_EQ(gameMapFolderFor(L"D:\\").native(), L"D:\\TAGame\\CookedPCConsole");
}

std::wstring versionValue(const std::vector<char>& block, const wchar_t* name)
{
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!::VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return L"(none)";
    return static_cast<const wchar_t*>(value);
}

TEST(PluginFile, CarriesItsNameAndVersionInTheVersionResource)
{
    const fs::path plugin = fs::path(TARNWICK_PLUGIN_PATH).make_preferred();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(plugin.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource, error " << ::GetLastError();
    std::vector<char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(plugin.c_str(), 0, size, block.data()));

    EXPECT_EQ(versionValue(block, L"InternalName"), L"Tarnwick.dll");
    EXPECT_EQ(versionValue(block, L"OriginalFilename"), L"Tarnwick.dll");
    EXPECT_EQ(versionValue(block, L"FileVersion"), L"" TARNWICK_VERSION);
    EXPECT_EQ(versionValue(block, L"ProductVersion"), L"" TARNWICK_VERSION);

    unsigned part[4] = {};
    ASSERT_EQ(std::sscanf(TARNWICK_VERSION, "%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]), 4);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(part[1], part[0]));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(part[3], part[2]));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(part[1], part[0]));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(part[3], part[2]));
}

// Runs on drive D:, which ctest maps to a fresh folder under Wine; on
// Windows, `subst D: FOLDER` does the same.
class OnDriveD : public PluginTest {
protected:
    void SetUp() override
    {
        if (::GetFileAttributesW(L"D:\\") == INVALID_FILE_ATTRIBUTES) {
            GTEST_SKIP() << "no drive D: to work on; map one to an empty folder";
        }
        PluginTest::SetUp();
        previousWorkingDirectory = fs::current_path();
    }
    void TearDown() override
    {
        if (previousWorkingDirectory.empty()) return;
        PluginTest::TearDown();
        fs::current_path(previousWorkingDirectory);
        if (!made.empty()) fs::remove_all(made);
    }

    fs::path previousWorkingDirectory;
    // What this test made on D:, removed once the plugin is gone: the other
    // test of this fixture may be running in a process of its own.
    fs::path made;
};

TEST_F(OnDriveD, ListsAndLoadsAMapOfAFolderWithoutFinalSeparator)
{
    made = L"D:\\Maps";
    writeFile(L"D:\\Maps\\Arena.upk", "map");
    loadPlugin();
    useMapsFolder("D:\\Maps");
    EXPECT_EQ(readFile(settingsFile()), pageWith("\\Arena.upk@\\Arena.upk"));

    host->execute(setting(names::mapChoice, "\\Arena.upk"));
    host->execute(names::loadMap);
    const auto commands = pluginCommands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "load_workshop \"D:\\Maps\\Arena.upk\"");
}

TEST_F(OnDriveD, FindsTheGameMapFolderFromTheGamesWorkingDirectory)
{
    made = L"D:\\Game";
    fs::create_directories(L"D:\\Game\\Binaries\\Win64");
    writeFile(L"D:\\Game\\TAGame\\CookedPCConsole\\Park_P.upk", "map");
    fs::current_path(L"D:\\Game\\Binaries\\Win64");
    loadPlugin();
    host->execute("load_freeplay");
    host->runPending();
    const auto lines = logs();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Watching: D:\\Game\\TAGame\\CookedPCConsole\\Park_P.upk"),
              lines.end());
}

// The default maps folder, the Steam Workshop's, made on this prefix's C:
// and removed once the plugin, whose watcher holds it open, is gone.
class DefaultWorkshopFolder : public PluginTest {
protected:
    void TearDown() override
    {
        PluginTest::TearDown();
        if (madeSteam) fs::remove_all(L"C:\\Program Files (x86)\\Steam");
    }

    bool madeSteam = false;
};

TEST_F(DefaultWorkshopFolder, ListsAndLoadsAMapOfIt)
{
    const fs::path workshop = L"C:\\Program Files (x86)\\Steam\\steamapps\\workshop\\content\\252950";
    if (fs::exists(workshop)) GTEST_SKIP() << "a real Steam Workshop folder is here; it is left alone";
    madeSteam = true;
    writeFile(workshop / "1234567" / "Arena.udk", "map");

    loadPlugin();
    const std::string relative = "1234567\\Arena.udk";
    EXPECT_EQ(readFile(settingsFile()), pageWith(relative + "@" + relative));
    host->execute(setting(names::mapChoice, relative));
    host->execute(names::loadMap);
    const auto commands = pluginCommands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(),
              "load_workshop \"C:/Program Files (x86)/Steam/steamapps/workshop/content/252950/1234567\\Arena.udk\"");
}

}  // namespace
}  // namespace tarnwick::plugin::tests
