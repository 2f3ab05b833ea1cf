// tarnwick-host: loads a plugin and plays the mod host's and the game's
// parts around it, driven by console lines from a script or the terminal.
// Over 400 lines as one file on purpose: it reads as one run, from the
// arguments and folders through the console to the exit code.

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <fmt/format.h>

#include "bakkesmod/plugin.h"
#include "Platform.h"
#include "tarnwick/host/Host.h"
#include "Text.h"

#if TARNWICK_HAVE_LIBEDIT
#include "LineEditor.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::host;

#if defined(_WIN32)
constexpr std::string_view pluginFileName = "Tarnwick.dll";
#else
constexpr std::string_view pluginFileName = "Tarnwick.so";
#endif

// The exit codes, as --help documents them.
enum ExitCode : int { succeeded = 0, failed = 1, badCommandLine = 2, pluginNotLoaded = 3 };

constexpr std::string_view usage = R"(usage: tarnwick-host [options] [SCRIPT]

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
    std::vector<std::string> execLines;
    bool help = false;
    bool version = false;
};

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
        const std::filesystem::path shown(std::u8string(text.begin(), text.end()));
        throw UsageError(fmt::format("--exec \"{}\": {} cannot represent all of its characters",
                                     text::narrowFromPath(shown), text::narrowEncodingName()));
    }
#else
    return text;
#endif
}

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

fs::path defaultPlugin(const fs::path& programFolder)
{
    const fs::path beside = programFolder / pluginFileName;
    const fs::path installed = programFolder.parent_path() / "lib" / "tarnwick" / pluginFileName;
    if (fs::exists(beside)) return beside;
    if (fs::exists(installed)) return installed;
    throw PluginLoadError(fmt::format("no plugin at {} or {}; name one with --plugin FILE",
                                     text::narrowFromPath(beside), text::narrowFromPath(installed)));
}

// "tarnwick" in the per-user data folder: the system's own, else the XDG one.
fs::path defaultHostFolder()
{
    fs::path base;
    if (auto system = tarnwick::host::app::systemDataFolder()) {
        base = std::move(*system);
    } else if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && fs::path(data).is_absolute()) {
        base = data;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = fs::path(home) / ".local" / "share";
    } else {
        throw std::runtime_error("no per-user data folder: set HOME or XDG_DATA_HOME, or pass --host-dir DIR");
    }
    return base / "tarnwick";
}

// The folders the plugin writes to, as the real host has them; each one
// made here is named on the console. One that cannot be made is named too,
// and the plugin reports what it then cannot write.
void createMissingFolders(std::initializer_list<fs::path> folders)
{
    for (const auto& folder : folders) {
        std::error_code error;
        if (fs::is_directory(folder, error)) continue;
        fs::create_directories(folder, error);
        std::cout << (error ? fmt::format("cannot create the folder {}: {}\n", consoleText(text::narrowFromPath(folder)),
                                          error.message())
                            : fmt::format("created the folder {}\n", consoleText(text::narrowFromPath(folder))));
    }
    std::cout << std::flush;
}

// Hands a signal to the host, or keeps it for the host still to come.
class StopRelay {
public:
    void signalled(int signal)
    {
        std::lock_guard lock(mutex);
        if (firstSignal == 0) firstSignal = signal;
        if (host != nullptr) host->postStop();
    }

    // Null before the host goes away: the signal thread outlives it.
    void attach(Host* host)
    {
        std::lock_guard lock(mutex);
        this->host = host;
        if (host != nullptr && firstSignal != 0) host->postStop();
    }

    int signal() const
    {
        std::lock_guard lock(mutex);
        return firstSignal;
    }

private:
    mutable std::mutex mutex;
    Host* host = nullptr;
    int firstSignal = 0;
};

// https://no-color.org: any non-empty NO_COLOR turns colour off.
bool wantsColour()
{
    const char* noColour = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    if (noColour != nullptr && *noColour != '\0') return false;
    if (term != nullptr && std::string_view(term) == "dumb") return false;
    return tarnwick::host::app::isTerminal(stdout);
}

int run(const Options& options)
{
#if defined(__GLIBC__)
    // A console line may be megabytes long. Blocks that large get a mapping
    // of their own, given back when freed; by default glibc raises this
    // threshold after the first such block, and its heap then keeps the
    // memory of every long line after it is gone.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    const bool terminalInput = !options.script && tarnwick::host::app::standardInputIsTerminal();
#if TARNWICK_HAVE_LIBEDIT
    const bool editing = terminalInput && tarnwick::host::app::isTerminal(stdout);
#else
    const bool editing = false;
#endif
    // First, before any thread starts: they inherit the signal mask.
    StopRelay stopRelay;
    tarnwick::host::app::SessionSignals signals(editing, [&stopRelay](int signal) { stopRelay.signalled(signal); });

    // Everything named on the command line is relative to where the user
    // started, even after --game-root moves the working directory.
    const fs::path startFolder = fs::current_path();
    const auto absolute = [](const std::optional<fs::path>& path) {
        return path ? std::optional(fs::absolute(*path)) : std::nullopt;
    };
    const auto script = absolute(options.script);
    const auto trace = absolute(options.trace);
    const fs::path plugin = options.plugin ? fs::absolute(*options.plugin)
                                           : defaultPlugin(tarnwick::host::app::executablePath().parent_path());
    const fs::path hostFolder =
        options.hostFolder ? fs::absolute(*options.hostFolder) : defaultHostFolder();
    const fs::path dataFolder = options.dataFolder ? fs::absolute(*options.dataFolder) : hostFolder / "data";
    createMissingFolders({hostFolder / "plugins" / "settings", dataFolder});

    if (options.gameRoot) {
        const fs::path workingFolder = fs::absolute(*options.gameRoot) / "Binaries" / "Win64";
        fs::create_directories(workingFolder);
        fs::current_path(workingFolder);
    }

    const bool colour = wantsColour();
    HostOptions hostOptions;
    hostOptions.hostFolder = hostFolder;
    hostOptions.dataFolder = dataFolder;
    hostOptions.tracePath = trace;
    hostOptions.echoConsoleLines = !terminalInput;
    hostOptions.configFile = hostFolder / "cfg" / "config.cfg";
    hostOptions.execFolder = startFolder;
    hostOptions.colour = colour;

#if TARNWICK_HAVE_LIBEDIT
    // Line editing needs the terminal on both sides; declared before the
    // host, which writes to it until the very end.
    std::optional<tarnwick::host::app::LineEditor> editor;
    if (editing) {
        std::setlocale(LC_CTYPE, "");  // libedit decodes typed characters by the locale
        editor.emplace("> ", colour, hostFolder / "console_history");
        hostOptions.console = &editor->output();
    }
#endif
    // Opened before the plugin loads: input that cannot be read stops
    // everything before it starts.
    std::optional<tarnwick::host::app::LineReader> reader;
    if (!editing) reader.emplace(script, terminalInput ? std::optional<std::string>("> ") : std::nullopt);

    Host host(hostOptions);
    struct Attached {
        StopRelay& relay;
        ~Attached() { relay.attach(nullptr); }
    } attached{stopRelay};
    stopRelay.attach(&host);
    host.loadPlugin(plugin);
    for (const auto& line : options.execLines) host.postLine(line);
#if TARNWICK_HAVE_LIBEDIT
    if (editor) {
        struct StopReading {
            tarnwick::host::app::LineEditor& editor;
            ~StopReading() { editor.stop(); }
        } stopReading{*editor};
        editor->start([&host] { return host.consoleNames(); },
                      [&host](std::string line) { host.postLine(std::move(line)); },
                      [&host] { host.postEndOfInput(); }, [&host] { return host.postInterrupt(); });
        host.run();
    }
#endif
    if (reader) {
        reader->start([&host](std::string line) { host.postLine(std::move(line)); },
                      [&host] { host.postEndOfInput(); });
        host.run();
    }
    const bool inputFailed = reader && reader->failed();
    reader.reset();
    host.unloadPlugin();
    int exitCode = inputFailed ? failed : succeeded;
    try {
        host.saveConfig();
    } catch (const std::system_error& error) {
        std::cerr << "tarnwick-host: the variables were not saved: " << consoleText(error.what()) << '\n';
        exitCode = failed;
    }
    try {
        host.finishTrace();
    } catch (const std::system_error& error) {
        std::cerr << "tarnwick-host: the trace is incomplete: " << consoleText(error.what()) << '\n';
        exitCode = failed;
    }
    // A failure says more than how the session ended.
    if (exitCode == succeeded && stopRelay.signal() != 0) exitCode = 128 + stopRelay.signal();
    return exitCode;
}

}  // namespace

int tarnwick::host::app::hostMain(int argc, char** argv)
{
    const tarnwick::host::app::ConsoleTextOutput consoleOutput;
    try {
        const Options options = parseArguments(argc, argv);
        if (options.help) {
            std::cout << usage;
            return succeeded;
        }
        if (options.version) {
            std::cout << fmt::format("tarnwick-host {} (plugin API version {})\n", TARNWICK_VERSION,
                                     BakkesMod::Plugin::hostApiVersion);
            return succeeded;
        }
        return run(options);
    } catch (const UsageError& error) {
        std::cerr << "tarnwick-host: " << consoleText(error.what()) << " (see --help)\n";
        return badCommandLine;
    } catch (const PluginLoadError& error) {
        std::cerr << "tarnwick-host: " << consoleText(error.what()) << '\n';
        return pluginNotLoaded;
    } catch (const std::exception& error) {
        std::cerr << "tarnwick-host: " << consoleText(error.what()) << '\n';
        return failed;
    }
}
