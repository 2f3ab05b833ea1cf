#include "CommandLine.h"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "Text.h"

namespace tarnwick::host::app {

namespace fs = std::filesystem;

namespace {

// Arguments arrive as UTF-8 (on Windows converted from the wide command
// line), which a path must not reinterpret in a code page.
fs::path pathFromArgument(const std::string& text)
{
#if defined(_WIN32)
    return fs::path(std::u8string(text.begin(), text.end()));
#else
    return fs::path(text);
#endif
}

// A console line given on the command line, as narrow text in the process
// code page like every other console line.
std::string consoleLineFromArgument(const std::string& text)
{
#if defined(_WIN32)
    try {
        return text::narrowFromUtf16(text::encodeUtf16(text::decodeUtf8(text)));
    } catch (const std::system_error&) {
        const fs::path shown(std::u8string(text.begin(), text.end()));
        throw UsageError(fmt::format("--exec \"{}\": {} cannot represent all of its characters",
                                     text::narrowFromPath(shown), text::narrowEncodingName()));
    }
#else
    return text;
#endif
}

}  // namespace

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
        if (!optionsEnded && argument == "--version") {
            options.version = true;
            continue;
        }
        if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
            const auto equals = argument.find('=');
            const auto name = argument.substr(0, equals);
            std::optional<std::string> value;
            if (equals != std::string_view::npos) {
                value = std::string(argument.substr(equals + 1));
            }
            const auto takeValue = [&] {
                if (value) return *value;
                if (i + 1 < argc) return std::string(argv[++i]);
                throw UsageError(fmt::format("{} needs a value", name));
            };
            if (name == "--exec") {
                options.execLines.push_back(consoleLineFromArgument(takeValue()));
                continue;
            }
            const auto option = std::find_if(std::begin(valued), std::end(valued),
                                             [&](const auto& entry) { return entry.first == name; });
            if (option == std::end(valued)) throw UsageError(fmt::format("unknown option {}", argument));
            const std::string path = takeValue();
            if (path.empty()) throw UsageError(fmt::format("{} needs a value, not an empty one", name));
            options.*(option->second) = pathFromArgument(path);
            continue;
        }
        if (options.script) throw UsageError(fmt::format("one script only, but got {} as well", argument));
        options.script = pathFromArgument(std::string(argument));
    }
    return options;
}

std::string_view usage()
{
    return R"(usage: tarnwick-host [options] [SCRIPT]

Loads the plugin and runs console lines from SCRIPT, or from standard input.
On a terminal the console edits lines (history, Tab completes names, Ctrl-C
clears the line and interrupts a running wait or exec, Ctrl-D or quit
leaves).

options:
  --plugin FILE     the plugin library (default: Tarnwick beside this program,
                    else ../lib/tarnwick/ relative to it)
  --host-dir DIR    the host folder (default: $XDG_DATA_HOME/tarnwick or
                    ~/.local/share/tarnwick); its plugins/settings and data
                    are created when missing
  --data-dir DIR    the data folder (default: data in the host folder;
                    created when missing)
  --game-root DIR   run in DIR/Binaries/Win64, as the game does (created
                    when missing)
  --trace FILE      write every host interaction to FILE as JSON Lines
  --exec LINE       run the console LINE once the plugin has loaded, before
                    the script or the terminal; may be given many times
  --version         show the version
  --help            show this text

The host folder keeps cfg/config.cfg (variables the plugin registered for
saving, written at exit and restored at the next start) and
console_history (lines typed on the terminal). Output is in colour on a
terminal unless NO_COLOR is set; control characters in names, values and
messages are shown escaped (\x1B), the trace keeps them as they are.

SIGTERM, SIGHUP, SIGINT (but Ctrl-C while editing lines) and SIGPIPE (the
output's reader has gone) end the session as quit does: the plugin is
unloaded and the variables saved. On Windows, Ctrl-C, Ctrl-Break and
closing the console do the same.

exit codes:
  0  the console ended (quit or the end of the input)
  1  the host failed: a file it needs (the script, standard input, the
     trace, the config file) could not be read or written
  2  the command line is wrong
  3  the plugin could not be loaded
  128+N  signal N ended the session (143 for SIGTERM)

Type help at the prompt for the console commands.
)";
}

}  // namespace tarnwick::host::app
