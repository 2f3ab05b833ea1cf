#include "FileCopy.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

void copyWhole(const fs::path& from, const fs::path& to, std::error_code& error)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
}

}  // namespace tarnwick::plugin
