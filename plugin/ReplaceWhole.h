#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace tarnwick::plugin {

// The file a new version of `target` is made in before it takes the place
// of `target`: the same name with `suffix` added, in the same folder.
std::filesystem::path fileBeside(const std::filesystem::path& target, std::string_view suffix);

// Replaces `target` whole or not at all: `finishBeside` completes the new
// version in `beside`, which then takes the place of `target`. Whatever
// `finishBeside` raises is passed on, and a refused replace raises
// std::filesystem::filesystem_error; either way `beside` is removed and
// `target` is left as it was. Rewritten in place, a file cut short by a full
// disk would be lost.
void replaceWithFileBeside(const std::filesystem::path& target, const std::filesystem::path& beside,
                           const std::function<void()>& finishBeside);

}  // namespace tarnwick::plugin
