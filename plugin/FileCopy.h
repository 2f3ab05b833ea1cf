#pragma once

#include <filesystem>

#include "ReplaceWhole.h"

namespace tarnwick::plugin {

// Copies the bytes of `from` into `to`. A refused read raises
// std::filesystem::filesystem_error("copy", from) with the system's code.
void copyInto(const std::filesystem::path& from, FileBeside& to);

}  // namespace tarnwick::plugin
