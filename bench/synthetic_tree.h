// A maps folder as players keep them: nested folders, maps among other files,
// upper-case and doubled extensions, names with spaces, and symbolic links to
// files, to folders and to nothing.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarnwick_bench {

struct TreeCounts {
    std::size_t directories = 0;
    std::size_t files = 0;
    std::size_t symlinks = 0;
    std::size_t maps = 0;  // regular files, or links to them, named *.upk or *.udk
};

// Creates `entries` entries (folders, files and links, the root not counted)
// below `root`, which must not exist yet. Deterministic: the same call makes
// the same tree.
inline TreeCounts makeScanTree(const std::filesystem::path& root, std::size_t entries)
{
    namespace fs = std::filesystem;
    static const char* const extensions[] = {".upk", ".udk", ".upk", ".txt",     ".png", ".UPK",
                                             "",     ".jpg", ".upk", ".upk.bak", ".ini", ".udk"};
    constexpr std::size_t extensionCount = sizeof extensions / sizeof extensions[0];
    // A parent holds about this many entries; folders are one in ten, so
    // every parent exists before its first entry.
    constexpr std::size_t fanOut = 16;

    fs::create_directories(root);
    std::vector<fs::path> folders{root};
    std::vector<fs::path> files;
    TreeCounts counts;
    for (std::size_t i = 0; i < entries; ++i) {
        const fs::path& parent = folders[(i / fanOut) % folders.size()];
        const std::string stem = (i % 4 == 1 ? "Map " : "entry_") + std::to_string(i);
        switch (i % 20) {
        case 3:
        case 13:
            folders.push_back(parent / (i % 8 == 3 ? "Folder " + std::to_string(i) : "dir" + std::to_string(i)));
            fs::create_directory(folders.back());
            ++counts.directories;
            break;
        case 7: {
            // Links: to a map file, to a folder (never entered), dangling.
            fs::path link = parent / (stem + ".upk");
            std::error_code error;
            switch ((i / 20) % 3) {
            case 0:
                if (!files.empty()) {
                    fs::create_symlink(files[i % files.size()], link, error);
                    // Named *.upk and leading to a regular file: a map.
                    if (!error) {
                        ++counts.maps;
                    }
                }
                break;
            case 1: fs::create_directory_symlink(folders[i % folders.size()], parent / stem, error); break;
            default: fs::create_symlink(root / "nowhere.upk", link, error); break;
            }
            if (!error) {
                ++counts.symlinks;
            }
            break;
        }
        default: {
            const char* extension = extensions[i % extensionCount];
            files.push_back(parent / (stem + extension));
            std::ofstream(files.back(), std::ios::binary) << "x";
            ++counts.files;
            if (std::string_view(extension) == ".upk" || std::string_view(extension) == ".udk") {
                ++counts.maps;
            }
        }
        }
    }
    return counts;
}

}  // namespace tarnwick_bench
