#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace tarnwick::plugin {

// The path text of one file as the walk found it: the folder's own text, a
// separator, then the names below it. Valid only during the call.
using WalkedPath = std::basic_string_view<std::filesystem::path::value_type>;

// Calls `onFile` for every regular file below `folder`, a symbolic link
// counting as what it points to; links to folders are not entered, and a
// link to nothing is left out. The order is recursive_directory_iterator's:
// each folder in its listing order, a subfolder's files before the entries
// that follow it. A folder or entry that cannot be read raises
// std::filesystem::filesystem_error naming it.
void forEachRegularFile(const std::filesystem::path& folder, const std::function<void(WalkedPath)>& onFile);

}  // namespace tarnwick::plugin
