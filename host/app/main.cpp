// tarnwick-host: loads a plugin and plays the mod host's and the game's
// parts around it, driven by console lines from a script or the terminal.

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "platform.h"
#include "tarnwick/host/host.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::host;

#if defined(_WIN32)
constexpr std::string_view pluginFileName = "Tarnwick.dll";
#else
constexpr std::string_view pluginFileName = "Tarnwick.so";
#endif

constexpr std::string_view usage = R"(usage: tarnwick-host [options] [SCRIPT]

Loads the plugin and runs console lines from SCRIPT, or from standard input.

options:
  --plugin FILE     the plugin library (default: Tarnwick beside this program,
                    else ../lib/tarnwick/ relative to it)
  --host-dir DIR    the host folder (default: $XDG_DATA_HOME/tarnwick or
                    ~/.local/share/tarnwick, created with plugins/settings
                    and data when missing)
  --data-dir DIR    the data folder (default: data in the host folder)
  --game-root DIR   run in DIR/Binaries/Win64, as the game does (created
                    when missing)
  --trace FILE      write every host interaction to FILE as JSON Lines
  --help            show this text

Type help at the prompt for the console commands.
)";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::optional<fs::path> plugin;
    std::optional<fs::path> hostFolder;
    std::optional<fs::path> dataFolder;
    std::optional<fs::path> gameRoot;
    std::optional<fs::path> trace;
    std::optional<fs::path> script;
    bool help = false;
};

Options parseArguments(int argc, char** argv)
{
    Options options;
    const std::pair<std::string_view, std::optional<fs::path> Options::*> valued[] = {
        {"--plugin", &Options::plugin},       {"--host-dir", &Options::hostFolder},
        {"--data-dir", &Options::dataFolder}, {"--game-root", &Options::gameRoot},
        {"--trace", &Options::trace},
    };
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && (argument == "--help" || argument == "-h")) {
            options.help = true;
            continue;
        }
        if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
            const auto equals = argument.find('=');
            const auto name = argument.substr(0, equals);
            const auto option = std::find_if(std::begin(valued), std::end(valued),
                                             [&](const auto& entry) { return entry.first == name; });
            if (option == std::end(valued)) throw UsageError(fmt::format("unknown option {}", argument));
            if (equals != std::string_view::npos) {
                options.*(option->second) = fs::path(argument.substr(equals + 1));
            } else if (i + 1 < argc) {
                options.*(option->second) = fs::path(argv[++i]);
            } else {
                throw UsageError(fmt::format("{} needs a value", name));
            }
            continue;
        }
        if (options.script) throw UsageError(fmt::format("one script only, but got {} as well", argument));
        options.script = fs::path(argument);
    }
    return options;
}

fs::path defaultPlugin(const fs::path& programFolder)
{
    const fs::path beside = programFolder / pluginFileName;
    const fs::path installed = programFolder.parent_path() / "lib" / "tarnwick" / pluginFileName;
    if (fs::exists(beside)) return beside;
    if (fs::exists(installed)) return installed;
    throw PluginLoadError(fmt::format("no plugin at {} or {}; name one with --plugin FILE", beside.string(),
                                     installed.string()));
}

fs::path defaultHostFolder()
{
    fs::path base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && fs::path(data).is_absolute()) {
        base = data;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = fs::path(home) / ".local" / "share";
    } else {
        throw std::runtime_error("no per-user data folder: set HOME or XDG_DATA_HOME, or pass --host-dir DIR");
    }
    const fs::path folder = base / "tarnwick";
    if (!fs::exists(folder)) {
        fs::create_directories(folder / "plugins" / "settings");
        fs::create_directories(folder / "data");
    }
    return folder;
}

int run(const Options& options)
{
    // Everything named on the command line is relative to where the user
    // started, even after --game-root moves the working directory.
    const auto absolute = [](const std::optional<fs::path>& path) {
        return path ? std::optional(fs::absolute(*path)) : std::nullopt;
    };
    const auto script = absolute(options.script);
    const auto trace = absolute(options.trace);
    const fs::path plugin = options.plugin ? fs::absolute(*options.plugin)
                                           : defaultPlugin(tarnwick::host::app::executablePath().parent_path());
    const fs::path hostFolder = options.hostFolder ? fs::absolute(*options.hostFolder) : defaultHostFolder();
    const fs::path dataFolder = options.dataFolder ? fs::absolute(*options.dataFolder) : hostFolder / "data";

    if (options.gameRoot) {
        const fs::path workingFolder = fs::absolute(*options.gameRoot) / "Binaries" / "Win64";
        fs::create_directories(workingFolder);
        fs::current_path(workingFolder);
    }

    const bool interactive = !script && tarnwick::host::app::standardInputIsTerminal();
    HostOptions hostOptions;
    hostOptions.hostFolder = hostFolder;
    hostOptions.dataFolder = dataFolder;
    hostOptions.tracePath = trace;
    hostOptions.echoConsoleLines = !interactive;
    Host host(hostOptions);
    host.loadPlugin(plugin);
    {
        tarnwick::host::app::LineReader reader(
            script, interactive ? std::optional<std::string>("> ") : std::nullopt,
            [&host](std::string line) { host.postLine(std::move(line)); }, [&host] { host.postEndOfInput(); });
        host.run();
    }
    host.unloadPlugin();
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const Options options = parseArguments(argc, argv);
        if (options.help) {
            std::cout << usage;
            return EXIT_SUCCESS;
        }
        return run(options);
    } catch (const UsageError& error) {
        std::cerr << "tarnwick-host: " << error.what() << " (see --help)\n";
        return 2;
    } catch (const PluginLoadError& error) {
        std::cerr << "tarnwick-host: " << error.what() << '\n';
        return EXIT_FAILURE;
    } catch (const std::exception& error) {
        std::cerr << "tarnwick-host: " << error.what() << '\n';
        return EXIT_FAILURE;
    }
}
