#include "ReplaceWhole.h"

#include <random>

#include "FileStatus.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

bool replaceFileContent(const fs::path& target, std::string_view bytes)
{
    try {
        replaceWhole(target, ".new", [&](FileBeside& file) { file.write(bytes); });
    } catch (const fs::filesystem_error& error) {
        // No such folder: for the page, a host with nowhere to show it from.
        if (meansNoEntry(error.code()) && !pathExists(target.parent_path())) {
            return false;
        }
        throw;
    }
    return true;
}

fs::path freshNameBeside(const fs::path& file, std::string_view suffix)
{
    constexpr std::string_view letters = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
    fs::path::string_type name = file.native();
    name += '.';
    for (int i = 0; i < 8; ++i) {
        name += static_cast<fs::path::value_type>(letters[pick(random)]);
    }
    for (const char c : suffix) {
        name += static_cast<fs::path::value_type>(c);
    }
    return fs::path(std::move(name));
}

}  // namespace tarnwick::plugin
