#include "FileStatus.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

bool pathExists(const fs::path& path)
{
    const auto type = statusOf(path, "exists").type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

}  // namespace tarnwick::plugin
