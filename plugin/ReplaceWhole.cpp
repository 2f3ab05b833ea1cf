#include "ReplaceWhole.h"

#include <system_error>

namespace fs = std::filesystem;

namespace tarnwick::plugin {

fs::path fileBeside(const fs::path& target, std::string_view suffix)
{
    fs::path beside = target;
    beside += suffix;
    return beside;
}

void replaceWithFileBeside(const fs::path& target, const fs::path& beside, const std::function<void()>& finishBeside)
{
    try {
        finishBeside();
    } catch (...) {
        std::error_code ignored;
        fs::remove(beside, ignored);
        throw;
    }
    std::error_code error;
    fs::rename(beside, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(beside, ignored);
        throw fs::filesystem_error("cannot replace", target, beside, error);
    }
}

}  // namespace tarnwick::plugin
