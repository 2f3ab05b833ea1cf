#pragma once

#include <filesystem>
#include <system_error>

namespace tarnwick::plugin {

// Copies `from` to `to`, replacing what `to` held; `error` is the system's
// own reason for a failure ("No space left on device", not a generic
// input/output error).
void copyWhole(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& error);

}  // namespace tarnwick::plugin
