#pragma once

#include <string>
#include <string_view>

namespace tarnwick::plugin {

// Writes the settings page the host draws for the plugin: the bytes of its
// file, in text mode as the host reads it (every line ends in CR LF on
// Windows).
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

}  // namespace tarnwick::plugin
