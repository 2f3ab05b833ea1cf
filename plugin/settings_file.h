#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The settings page the host draws for the plugin, as the text of its file.
class SettingsPage {
public:
    // Adds one map to the drop-down list; the option's text and value are
    // both the map's path relative to the maps folder.
    void addMap(std::string_view relativePath);
    std::string text() const&;
    // The same, finished in place: a large maps folder makes a page of
    // megabytes, not worth copying.
    std::string text() &&;

private:
    std::string page = "Tarnwick Plugin\n6|Workshop Maps|tw_filepath|";
    bool hasMaps = false;
};

// Replaces `target` with `content` without ever leaving it half-written:
// the new text goes to a file beside it, which then takes its place. Where
// that replace is refused, the text is written in place instead. Returns
// false when no file could be opened at all (nothing was written); raises
// std::system_error when writing failed part-way, with `target` untouched.
bool replaceFileContent(const std::filesystem::path& target, std::string_view content);
