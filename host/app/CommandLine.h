#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// tarnwick-host's command line: its options, how they are read, and --help.
namespace tarnwick::host::app {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::optional<std::filesystem::path> plugin;
    std::optional<std::filesystem::path> hostFolder;
    std::optional<std::filesystem::path> dataFolder;
    std::optional<std::filesystem::path> gameRoot;
    std::optional<std::filesystem::path> trace;
    std::optional<std::filesystem::path> script;
    std::vector<std::string> execLines;
    bool help = false;
    bool version = false;
};

// The arguments in UTF-8, the program's name first. Throws UsageError.
Options parseArguments(int argc, char** argv);

// The text of --help.
std::string_view usage();

}  // namespace tarnwick::host::app
