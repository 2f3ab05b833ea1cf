#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "file_walk.h"
#include "plugin_fixture.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace tarnwick::test {
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
    fs::path tree = folder.root / "maps";
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
    writeFile(folder.root / "outside" / "linked.upk", "x");
    if (makeSymlink(folder.root / "outside", tree / "linked folder", true)) {
        ASSERT_TRUE(makeSymlink(folder.root / "outside" / "linked.upk", tree / "nested" / "link.upk"));
        ASSERT_TRUE(makeSymlink(folder.root / "nothing", tree / "dangling.upk"));
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
    writeFile(folder.root / "file", "x");
    try {
        walked(folder.root / "file");
        FAIL() << "a file is not a folder";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.path1(), folder.root / "file");
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
    }
}

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
    writeFile(folder.root / "file", "x");
    try {
        walked(folder.root / "file");
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
}  // namespace tarnwick::test
