#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ConfigFile.h"
#include "ConsoleOutput.h"
#include "PluginSession.h"

namespace tarnwick::host {

// The values kept between runs for variables registered with saving on,
// also of variables nothing registers now. Game thread only.
class ConfigStore {
public:
    // Reads the file when there is one; without a file nothing is kept.
    ConfigStore(std::optional<std::filesystem::path> file, ConsoleOutput& output);

    // The saved value of `name`, if the file holds one.
    std::optional<std::string> savedValue(std::string_view name) const;
    // Keeps the value of a variable that goes away, for the next save.
    void keep(const ConsoleVariable& variable);
    // Writes what it holds with the values of `live` over it. Throws
    // std::system_error when the file cannot be written.
    void save(const std::vector<const ConsoleVariable*>& live);

private:
    void read();
    // A value no console line can hold leaves the one saved before.
    void keepIn(ConfigValues& values, const ConsoleVariable& variable);

    const std::optional<std::filesystem::path> configFile;
    ConsoleOutput& output;
    ConfigValues savedValues;
    bool unreadable = false;
};

}  // namespace tarnwick::host
