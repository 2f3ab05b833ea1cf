#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarnwick::plugin {

// Writes the settings page the host draws for the plugin, as the text of
// its file.
class SettingsPageWriter {
public:
    SettingsPageWriter();

    // Adds one map to the drop-down list; the option's text and value are
    // both the map's path relative to the maps folder.
    void addMap(std::string_view relativePath);
    std::string text() const&;
    // The same, finished in place: a large maps folder makes a page of
    // megabytes, not worth copying.
    std::string text() &&;

private:
    std::string page;
    bool hasMaps = false;
};

// Replaces `target` with `content` whole or not at all, as replaceWhole
// does: a link to the page stays a link, and the page keeps its mode and
// owner. Text mode: on Windows every line ends in CR LF. Returns false when
// the folder does not exist (nothing was written). Any other failure (no room
// for the file beside it, a folder the user may not write, a replace the
// system refuses for longer than a moment) raises std::system_error naming
// the file, with `target` untouched and nothing left beside it: a page
// rewritten in place could be cut short.
bool replaceFileContent(const std::filesystem::path& target, std::string_view content);

}  // namespace tarnwick::plugin
