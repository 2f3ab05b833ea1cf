#include "ReplaceWhole.h"

#include <random>

namespace fs = std::filesystem;

namespace tarnwick::plugin {

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
