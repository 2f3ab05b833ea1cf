// tarnwick-host: loads a plugin and plays the mod host's and the game's
// parts around it, driven by console lines from a script or the terminal.
// One session, from the folders through the console to the exit code; the
// command line is read in CommandLine.cpp.

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

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <fmt/format.h>

#include "CommandLine.h"
#include "Platform.h"
#include "Text.h"
#include "bakkesmod/plugin.h"
#include "tarnwick/host/Host.h"

#if TARNWICK_HAVE_LIBEDIT
#include "LineEditor.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::host;
using namespace tarnwick::host::app;

#if defined(_WIN32)
constexpr std::string_view pluginFileName = "Tarnwick.dll";
#else
constexpr std::string_view pluginFileName = "Tarnwick.so";
#endif

// The exit codes, as --help documents them.
enum ExitCode : int { succeeded = 0, failed = 1, badCommandLine = 2, pluginNotLoaded = 3 };

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
    if (auto system = systemDataFolder()) {
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

// The files and folders of a session, absolute: everything named on the
// command line is relative to where the user started, even after
// --game-root moves the working directory.
struct SessionPaths {
    fs::path startFolder;
    std::optional<fs::path> script;
    std::optional<fs::path> trace;
    fs::path plugin;
    fs::path hostFolder;
    fs::path dataFolder;
};

SessionPaths sessionPaths(const Options& options)
{
    const auto absolute = [](const std::optional<fs::path>& path) {
        return path ? std::optional(fs::absolute(*path)) : std::nullopt;
    };
    SessionPaths paths;
    paths.startFolder = fs::current_path();
    paths.script = absolute(options.script);
    paths.trace = absolute(options.trace);
    paths.plugin = options.plugin ? fs::absolute(*options.plugin) : defaultPlugin(executablePath().parent_path());
    paths.hostFolder = options.hostFolder ? fs::absolute(*options.hostFolder) : defaultHostFolder();
    paths.dataFolder = options.dataFolder ? fs::absolute(*options.dataFolder) : paths.hostFolder / "data";
    return paths;
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

// --game-root: the game runs in its Binaries/Win64 folder.
void enterGameRoot(const fs::path& gameRoot)
{
    const fs::path workingFolder = fs::absolute(gameRoot) / "Binaries" / "Win64";
    fs::create_directories(workingFolder);
    fs::current_path(workingFolder);
}

// Hands a signal to the host, or keeps it for the host still to come.
class StopRelay {
public:
    // While it lives, signals stop the host; the signal thread outlives the
    // host, so it is detached before the host goes away.
    class Attachment {
    public:
        explicit Attachment(StopRelay& relay) : relay(relay) {}
        ~Attachment() { relay.attach(nullptr); }
        Attachment(const Attachment&) = delete;
        Attachment& operator=(const Attachment&) = delete;

    private:
        StopRelay& relay;
    };

    void signalled(int signal)
    {
        std::lock_guard lock(mutex);
        if (firstSignal == 0) firstSignal = signal;
        if (host != nullptr) host->postStop();
    }

    // A signal that came before stops the host at once.
    [[nodiscard]] Attachment attach(Host& target)
    {
        attach(&target);
        return Attachment(*this);
    }

    int signal() const
    {
        std::lock_guard lock(mutex);
        return firstSignal;
    }

private:
    void attach(Host* target)
    {
        std::lock_guard lock(mutex);
        host = target;
        if (host != nullptr && firstSignal != 0) host->postStop();
    }

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
    return isTerminal(stdout);
}

// A console line may be megabytes long. Blocks that large get a mapping of
// their own, given back when freed; by default glibc raises this threshold
// after the first such block, and its heap then keeps the memory of every
// long line after it is gone.
void keepNoMemoryOfLongLines()
{
#if defined(__GLIBC__)
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

HostOptions hostOptionsFor(const SessionPaths& paths, bool terminalInput)
{
    HostOptions options;
    options.hostFolder = paths.hostFolder;
    options.dataFolder = paths.dataFolder;
    options.tracePath = paths.trace;
    options.echoConsoleLines = !terminalInput;
    options.configFile = paths.hostFolder / "cfg" / "config.cfg";
    options.execFolder = paths.startFolder;
    options.colour = wantsColour();
    return options;
}

#if TARNWICK_HAVE_LIBEDIT
void startFeeding(LineEditor& editor, Host& host)
{
    editor.start([&host] { return host.consoleNames(); },
                 [&host](std::string line) { host.postLine(std::move(line)); }, [&host] { host.postEndOfInput(); },
                 [&host] { return host.postInterrupt(); });
}
#endif

void startFeeding(LineReader& reader, Host& host)
{
    reader.start([&host](std::string line) { host.postLine(std::move(line)); }, [&host] { host.postEndOfInput(); });
}

// The console's input feeding the host while it lives: it stops reading
// before the host it feeds can go away.
template <class Input>
class Feeding {
public:
    Feeding(Input& input, Host& host) : input(input) { startFeeding(input, host); }
    ~Feeding() { input.stop(); }
    Feeding(const Feeding&) = delete;
    Feeding& operator=(const Feeding&) = delete;

private:
    Input& input;
};

template <class Input>
void runFedBy(Input& input, Host& host)
{
    const Feeding<Input> feeding(input, host);
    host.run();
}

// Prints why `step` failed; false when it did.
template <class Step>
bool reportFailure(std::string_view what, Step&& step)
{
    try {
        step();
        return true;
    } catch (const std::system_error& error) {
        std::cerr << "tarnwick-host: " << what << ": " << consoleText(error.what()) << '\n';
        return false;
    }
}

// Unloads the plugin, saves the variables and closes the trace. A failure
// says more than how the session ended.
int endSession(Host& host, bool inputFailed, const StopRelay& stopRelay)
{
    host.unloadPlugin();
    bool ok = !inputFailed;
    ok = reportFailure("the variables were not saved", [&host] { host.saveConfig(); }) && ok;
    ok = reportFailure("the trace is incomplete", [&host] { host.finishTrace(); }) && ok;
    if (!ok) return failed;
    return stopRelay.signal() != 0 ? 128 + stopRelay.signal() : succeeded;
}

int run(const Options& options)
{
    keepNoMemoryOfLongLines();
    const bool terminalInput = !options.script && standardInputIsTerminal();
#if TARNWICK_HAVE_LIBEDIT
    const bool editing = terminalInput && isTerminal(stdout);
#else
    const bool editing = false;
#endif
    // First, before any thread starts: they inherit the signal mask.
    StopRelay stopRelay;
    const SessionSignals signals(editing, [&stopRelay](int signal) { stopRelay.signalled(signal); });

    const SessionPaths paths = sessionPaths(options);
    createMissingFolders({paths.hostFolder / "plugins" / "settings", paths.dataFolder});
    if (options.gameRoot) enterGameRoot(*options.gameRoot);
    HostOptions hostOptions = hostOptionsFor(paths, terminalInput);

#if TARNWICK_HAVE_LIBEDIT
    // Line editing needs the terminal on both sides; made before the host,
    // which writes to it until the very end.
    std::optional<LineEditor> editor;
    if (editing) {
        std::setlocale(LC_CTYPE, "");  // libedit decodes typed characters by the locale
        editor.emplace("> ", hostOptions.colour, paths.hostFolder / "console_history");
        hostOptions.console = &editor->output();
    }
#endif
    // Opened before the plugin loads: input that cannot be read stops
    // everything before it starts.
    std::optional<LineReader> reader;
    if (!editing) reader.emplace(paths.script, terminalInput ? std::optional<std::string>("> ") : std::nullopt);

    Host host(hostOptions);
    const auto attached = stopRelay.attach(host);
    host.loadPlugin(paths.plugin);
    for (const auto& line : options.execLines) host.postLine(line);
#if TARNWICK_HAVE_LIBEDIT
    if (editor) runFedBy(*editor, host);
#endif
    if (reader) runFedBy(*reader, host);
    const bool inputFailed = reader && reader->failed();
    reader.reset();
    return endSession(host, inputFailed, stopRelay);
}

}  // namespace

int tarnwick::host::app::hostMain(int argc, char** argv)
{
    const ConsoleTextOutput consoleOutput;
    try {
        const Options options = parseArguments(argc, argv);
        if (options.help) {
            std::cout << usage();
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
