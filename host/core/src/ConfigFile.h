#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::host {

// Saved variable values by name.
using ConfigValues = std::map<std::string, std::string, std::less<>>;

struct ConfigProblem {
    std::size_t line = 0;  // 1-based
    std::string message;
};

struct ConfigContent {
    ConfigValues values;
    std::vector<ConfigProblem> problems;  // lines that were skipped, and why
};

// The config file is console lines, `NAME "VALUE"` each, so `exec` runs it
// too. Blank lines and lines starting with // or # are skipped; anything
// else that is not one name with one value is reported, never fatal.
ConfigContent parseConfig(std::string_view text);

// Whether a console line can carry `value`: the console has no escapes, so
// a double quote or a line break cannot be written back.
bool configCanHold(std::string_view value);

// One `NAME "VALUE"` line per value, sorted by name; values configCanHold
// refuses are left out.
std::string formatConfig(const ConfigValues& values);

// Writes a sibling file and renames it over `file`, so a crash or a full
// disk leaves the old content whole. Throws std::system_error naming the
// file.
void replaceFile(const std::filesystem::path& file, std::string_view content);

}  // namespace tarnwick::host
