#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace tarnwick::testsupport {

// A fresh folder per test, named after it and removed with everything in it
// afterwards, even where the test took the owner's permissions away.
class TemporaryFolder {
public:
    TemporaryFolder()
    {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        // Cut short, so that the paths the tests build stay far from MAX_PATH.
        std::string name = "tarnwick-" + std::string(test ? test->name() : "test").substr(0, 40) + "-";
        for (auto& c : name) {
            if (c == '/') c = '_';
        }
        // A random suffix, created exclusively: what mkdtemp does, everywhere.
        std::random_device random;
        for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() / (name + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) root = candidate;
        }
        if (root.empty()) throw std::runtime_error("cannot create a fresh folder in the temporary folder");
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        std::filesystem::permissions(root, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
        std::filesystem::remove_all(root, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return root; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return root / relative; }

private:
    std::filesystem::path root;
};

}  // namespace tarnwick::testsupport
