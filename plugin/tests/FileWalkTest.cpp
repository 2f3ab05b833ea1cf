#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "FileWalk.h"
#include "TestSupport.h"

#if defined(_WIN32)
#include <map>

#include "windows/ListingSource.h"
#else
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace tarnwick::plugin::tests {
namespace {

using NativeText = fs::path::string_type;

std::vector<NativeText> walked(const fs::path& folder)
{
    std::vector<NativeText> files;
    forEachRegularFile(folder, [&](WalkedPath file) { files.emplace_back(file); });
    return files;
}

// What the standard library's walk finds, in its order.
std::vector<NativeText> standardWalk(const fs::path& folder)
{
    std::vector<NativeText> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::error_code linkToNothing;
        if (entry.is_regular_file(linkToNothing)) {
            files.push_back(entry.path().native());
        }
    }
    return files;
}

class FileWalk : public ::testing::Test {
protected:
    TemporaryFolder folder;
    fs::path tree = folder.path() / "maps";
};

TEST_F(FileWalk, FindsWhatTheStandardWalkFindsInTheSameOrder)
{
    for (const char* name : {"a.upk", "b c.udk", "nested/one.upk", "nested/deeper/two.udk", "nested/deeper/note.txt",
                             "z/last.upk", "empty/.keep"}) {
        writeFile(tree / name, "x");
    }
    fs::create_directories(tree / "nested" / "empty");
    // More names than one read of the listing holds.
    const std::string longName(60, 'n');
    for (int i = 0; i < 2'000; ++i) {
        writeFile(tree / "crowded" / (longName + std::to_string(i) + ".upk"), "x");
    }
    writeFile(folder.path() / "outside" / "linked.upk", "x");
    if (makeSymlink(folder.path() / "outside", tree / "linked folder", true)) {
        ASSERT_TRUE(makeSymlink(folder.path() / "outside" / "linked.upk", tree / "nested" / "link.upk"));
        ASSERT_TRUE(makeSymlink(folder.path() / "nothing", tree / "dangling.upk"));
        ASSERT_TRUE(makeSymlink(tree / "loop.upk", tree / "loop.upk"));
    }
#if !defined(_WIN32)
    ASSERT_EQ(::mkfifo((tree / "pipe.upk").c_str(), 0644), 0);
#endif

    const auto files = walked(tree);
    EXPECT_EQ(files.size(), 2'007u + (fs::is_symlink(tree / "nested" / "link.upk") ? 1 : 0));
    EXPECT_EQ(files, standardWalk(tree));
}

TEST_F(FileWalk, JoinsNamesToTheFolderTextAsGiven)
{
    writeFile(tree / "sub" / "a.upk", "x");
    const auto separator = fs::path::preferred_separator;
    NativeText withSeparator = tree.native() + separator;
    EXPECT_EQ(walked(withSeparator), std::vector<NativeText>{withSeparator + NativeText(fs::path("sub").native()) +
                                                             separator + fs::path("a.upk").native()});
    EXPECT_EQ(walked(tree), std::vector<NativeText>{(tree / "sub" / "a.upk").native()});
}

TEST_F(FileWalk, NamesTheFolderItCannotOpen)
{
    writeFile(folder.path() / "file", "x");
    try {
        walked(folder.path() / "file");
        FAIL() << "a file is not a folder";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.path1(), folder.path() / "file");
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
    }
}

#if defined(_WIN32)
using namespace win32;

constexpr DWORD file = FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;

// A path as the walk hands it to the system, in the extended form that holds
// any length, back in the form the listings are recorded under.
std::wstring asRecorded(const std::wstring& path)
{
    for (const std::wstring_view prefix : {L"\\\\?\\UNC\\", L"\\\\?\\"}) {
        if (path.starts_with(prefix)) {
            return (prefix.size() > 4 ? L"\\\\" : L"") + path.substr(prefix.size());
        }
    }
    ADD_FAILURE() << "not in the extended form: " << fs::path(path).string();
    return path;
}

// Folder listings as Windows gives them, recorded: each folder's entries in
// listing order, or the error that opening or reading it gives; each link's
// target, or the error that querying it gives. Every query is counted.
class RecordedFileSystem final : public ListingSource {
public:
    struct Entry {
        std::wstring name;
        DWORD attributes;
        DWORD reparseTag = 0;
    };
    struct Folder {
        std::vector<Entry> entries;
        DWORD openError = ERROR_SUCCESS;
        DWORD endOfListing = ERROR_NO_MORE_FILES;
    };
    struct Target {
        DWORD error;
        DWORD attributes = 0;
    };

    std::map<std::wstring, Folder> folders;  // by path text, separator included
    std::map<std::wstring, Target> targets;
    std::vector<std::wstring> queried;

    std::unique_ptr<FolderListing> list(const std::wstring& path, DWORD& error) override
    {
        const auto found = folders.find(asRecorded(path));
        error = found == folders.end() ? ERROR_PATH_NOT_FOUND : found->second.openError;
        if (error != ERROR_SUCCESS) return nullptr;
        return std::make_unique<Listing>(found->second);
    }

    DWORD targetAttributes(const std::wstring& path, DWORD& attributes) override
    {
        queried.push_back(asRecorded(path));
        const auto found = targets.find(queried.back());
        if (found == targets.end()) return ERROR_FILE_NOT_FOUND;
        attributes = found->second.attributes;
        return found->second.error;
    }

private:
    class Listing final : public FolderListing {
    public:
        explicit Listing(const Folder& recorded) : recorded(recorded) {}
        DWORD next(ListedEntry& entry) override
        {
            if (at == recorded.entries.size()) return recorded.endOfListing;
            const Entry& listed = recorded.entries[at++];
            entry = {listed.name.c_str(), listed.attributes, listed.reparseTag};
            return ERROR_SUCCESS;
        }

    private:
        const Folder& recorded;
        std::size_t at = 0;
    };
};

// The real file system, with its link queries counted.
class CountedFileSystem final : public ListingSource {
public:
    std::unique_ptr<FolderListing> list(const std::wstring& path, DWORD& error) override
    {
        return real->list(path, error);
    }
    DWORD targetAttributes(const std::wstring& path, DWORD& attributes) override
    {
        queried.push_back(asRecorded(path));
        return real->targetAttributes(path, attributes);
    }

    std::unique_ptr<ListingSource> real = windowsFileSystem();
    std::vector<std::wstring> queried;
};

struct RecordedWalk {
    const char* what;
    std::wstring root;
    std::map<std::wstring, RecordedFileSystem::Folder> folders;
    std::map<std::wstring, RecordedFileSystem::Target> targets;
    std::vector<std::wstring> files;    // in walk order
    std::vector<std::wstring> queried;  // link queries, in order
    DWORD error = ERROR_SUCCESS;        // raised with `errorPath`
    std::wstring errorPath = {};
};

const RecordedFileSystem::Entry dot{L".", folder};
const RecordedFileSystem::Entry dotDot{L"..", folder};

// What Wine cannot make: junctions, links to files, links to nothing,
// reparse points that are not links, the errors of a network path that is
// gone, listings that are not sorted. The walk must ask for every path in the
// extended form, which RecordedFileSystem checks.
const RecordedWalk recordedWalks[] = {
    {"a junction to a parent folder is listed, not entered",
     L"C:\\maps",
     {{L"C:\\maps\\", {{dot, dotDot, {L"sub", folder}, {L"a.upk", file}}}},
      {L"C:\\maps\\sub\\", {{dot, dotDot, {L"up", folder | link, IO_REPARSE_TAG_MOUNT_POINT}, {L"b.udk", file}}}},
      {L"C:\\maps\\sub\\up\\", {{dot, dotDot, {L"sub", folder}, {L"a.upk", file}}}}},
     {{L"C:\\maps\\sub\\up", {ERROR_SUCCESS, folder}}},
     {L"C:\\maps\\sub\\b.udk", L"C:\\maps\\a.upk"},
     {L"C:\\maps\\sub\\up"}},
    {"a link to a folder is listed, not entered; a link to a map is a map",
     L"C:\\maps\\",
     {{L"C:\\maps\\",
       {{{L"linked", folder | link, IO_REPARSE_TAG_SYMLINK}, {L"link.upk", file | link, IO_REPARSE_TAG_SYMLINK}}}},
      {L"C:\\maps\\linked\\", {{{L"inside.upk", file}}}}},
     {{L"C:\\maps\\linked", {ERROR_SUCCESS, folder}}, {L"C:\\maps\\link.upk", {ERROR_SUCCESS, file}}},
     {L"C:\\maps\\link.upk"},
     {L"C:\\maps\\linked", L"C:\\maps\\link.upk"}},
    {"cloud-sync placeholders and deduplicated files are plain folders and files; only links cost a query",
     L"C:\\Users\\me\\OneDrive\\maps",
     {{L"C:\\Users\\me\\OneDrive\\maps\\",
       {{{L"synced", folder | link, IO_REPARSE_TAG_CLOUD_3},
         {L"deduplicated.upk", file | link, IO_REPARSE_TAG_DEDUP},
         {L"junction", folder | link, IO_REPARSE_TAG_MOUNT_POINT}}}},
      {L"C:\\Users\\me\\OneDrive\\maps\\synced\\",
       {{{L"placeholder.upk", file | link, IO_REPARSE_TAG_CLOUD}, {L"local.udk", file}}}},
      {L"C:\\Users\\me\\OneDrive\\maps\\junction\\", {{{L"inside.upk", file}}}}},
     {{L"C:\\Users\\me\\OneDrive\\maps\\junction", {ERROR_SUCCESS, folder}}},
     {L"C:\\Users\\me\\OneDrive\\maps\\synced\\placeholder.upk", L"C:\\Users\\me\\OneDrive\\maps\\synced\\local.udk",
      L"C:\\Users\\me\\OneDrive\\maps\\deduplicated.upk"},
     {L"C:\\Users\\me\\OneDrive\\maps\\junction"}},
    {"the four errors of a link's target mean a link to nothing, not a file",
     L"D:\\maps",
     {{L"D:\\maps\\", {{{L"dangling.upk", file | link, IO_REPARSE_TAG_SYMLINK},
                          {L"folder gone.upk", file | link, IO_REPARSE_TAG_SYMLINK},
                          {L"network gone.upk", file | link, IO_REPARSE_TAG_SYMLINK},
                          {L"bad name.upk", file | link, IO_REPARSE_TAG_SYMLINK},
                          {L"kept.upk", file}}}}},
     {{L"D:\\maps\\dangling.upk", {ERROR_FILE_NOT_FOUND}},
      {L"D:\\maps\\folder gone.upk", {ERROR_PATH_NOT_FOUND}},
      {L"D:\\maps\\network gone.upk", {ERROR_BAD_NETPATH}},
      {L"D:\\maps\\bad name.upk", {ERROR_INVALID_NAME}}},
     {L"D:\\maps\\kept.upk"},
     {L"D:\\maps\\dangling.upk", L"D:\\maps\\folder gone.upk", L"D:\\maps\\network gone.upk",
      L"D:\\maps\\bad name.upk"}},
    {"any other error of a link's target is raised with the link's path",
     L"D:\\maps",
     {{L"D:\\maps\\", {{{L"a.upk", file}, {L"locked.upk", file | link, IO_REPARSE_TAG_SYMLINK}}}}},
     {{L"D:\\maps\\locked.upk", {ERROR_ACCESS_DENIED}}},
     {L"D:\\maps\\a.upk"},
     {L"D:\\maps\\locked.upk"},
     ERROR_ACCESS_DENIED,
     L"D:\\maps\\locked.upk"},
    {"listing order, depth first, never sorted; no query without a reparse point",
     L"C:\\maps",
     {{L"C:\\maps\\",
       {{{L"zeta.upk", file}, {L"Alpha.udk", FILE_ATTRIBUTE_NORMAL}, {L"mid", folder},
         {L"beta.upk", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | file}}}},
      {L"C:\\maps\\mid\\", {{dot, dotDot, {L"z.upk", file}, {L"empty", folder}, {L"a.upk", file}}}},
      {L"C:\\maps\\mid\\empty\\", {{dot, dotDot}}}},
     {},
     {L"C:\\maps\\zeta.upk", L"C:\\maps\\Alpha.udk", L"C:\\maps\\mid\\z.upk", L"C:\\maps\\mid\\a.upk",
      L"C:\\maps\\beta.upk"},
     {}},
    {"a subfolder gone since its parent was listed is skipped",
     L"C:\\maps",
     {{L"C:\\maps\\", {{{L"gone", folder}, {L"a.upk", file}}}}},
     {},
     {L"C:\\maps\\a.upk"},
     {}},
    {"a subfolder that cannot be opened is raised with its path",
     L"C:\\maps",
     {{L"C:\\maps\\", {{{L"a.upk", file}, {L"locked", folder}, {L"b.upk", file}}}},
      {L"C:\\maps\\locked\\", {{}, ERROR_ACCESS_DENIED}}},
     {},
     {L"C:\\maps\\a.upk"},
     {},
     ERROR_ACCESS_DENIED,
     L"C:\\maps\\locked"},
    {"a listing that fails part-way is raised with its folder's path",
     L"\\\\server\\share\\maps",
     {{L"\\\\server\\share\\maps\\", {{{L"sub", folder}}}},
      {L"\\\\server\\share\\maps\\sub\\", {{{L"a.upk", file}}, ERROR_SUCCESS, ERROR_NETNAME_DELETED}}},
     {},
     {L"\\\\server\\share\\maps\\sub\\a.upk"},
     {},
     ERROR_NETNAME_DELETED,
     L"\\\\server\\share\\maps\\sub"},
    {"an empty drive lists not even its dots",
     L"E:\\",
     {{L"E:\\", {{}, ERROR_FILE_NOT_FOUND}}},
     {},
     {},
     {}},
};

TEST_F(FileWalk, FollowsRecordedWindowsListings)
{
    for (const auto& row : recordedWalks) {
        SCOPED_TRACE(row.what);
        RecordedFileSystem recorded;
        recorded.folders = row.folders;
        recorded.targets = row.targets;
        std::vector<NativeText> files;
        DWORD raised = ERROR_SUCCESS;
        std::wstring raisedPath;
        try {
            forEachRegularFile(row.root, recorded, [&](WalkedPath path) { files.emplace_back(path); });
        } catch (const fs::filesystem_error& error) {
            EXPECT_EQ(error.code().category(), std::system_category());
            raised = static_cast<DWORD>(error.code().value());
            raisedPath = error.path1().native();
        }
        EXPECT_EQ(files, row.files);
        EXPECT_EQ(recorded.queried, row.queried);
        EXPECT_EQ(raised, row.error);
        EXPECT_EQ(raisedPath, row.errorPath);
    }
}

// Unix links made by the WineUnixLinks test: a link to a parent folder and
// one to another folder show as folders with a reparse point.
TEST_F(FileWalk, EntersNoLinkedFolderAndQueriesOnlyLinks)
{
    const fs::path maps = fs::path(TARNWICK_UNIX_LINKS_DIR).make_preferred() / "maps";
    if (!fs::exists(maps / "sub")) GTEST_SKIP() << "no Unix links here; ctest makes them under Wine";
    CountedFileSystem counted;
    std::vector<NativeText> files;
    forEachRegularFile(maps, counted, [&](WalkedPath path) { files.emplace_back(path); });
    // Wine lists a link to a file as a plain file, and one to nothing not at all.
    EXPECT_EQ(files, (std::vector<NativeText>{(maps / "a.upk").native(), (maps / "link.upk").native(),
                                              (maps / "sub" / "b.udk").native()}));
    EXPECT_EQ(counted.queried, (std::vector<NativeText>{(maps / "linked").native(), (maps / "sub" / "up").native()}));
}
#endif

#if !defined(_WIN32)
// Runs out of descriptors part-way down: the error names the subfolder.
TEST_F(FileWalk, NamesTheSubfolderItCannotOpen)
{
    fs::path deepest = tree;
    for (int i = 0; i < 20; ++i) {
        deepest /= "level" + std::to_string(i);
    }
    writeFile(deepest / "deep.upk", "x");
    // Sanitizer runtimes open files the first time they meet a type: let
    // them meet the error's types while descriptors are still there.
    writeFile(folder.path() / "file", "x");
    try {
        walked(folder.path() / "file");
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
    }

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit few = saved;
    few.rlim_cur = openDescriptors() + 5;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
    std::optional<fs::filesystem_error> failure;
    try {
        walked(tree);
    } catch (const fs::filesystem_error& error) {
        failure = error;
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);

    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code(), std::errc::too_many_files_open);
    const std::string failedAt = failure->path1().string();
    EXPECT_EQ(failedAt.rfind(tree.string() + "/level0/", 0), 0u) << failedAt;
    EXPECT_TRUE(fs::is_directory(failure->path1())) << failedAt;
}
#endif

}  // namespace
}  // namespace tarnwick::plugin::tests
