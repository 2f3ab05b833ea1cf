#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwick::host {

// Where a console line came from, as the trace records it.
enum class CommandOrigin { console, plugin };

// Real time for the program; a manual clock lets tests step time exactly.
enum class ClockMode { real, manual };

struct HostOptions {
    std::filesystem::path hostFolder;  // what GetBakkesModPath returns
    std::filesystem::path dataFolder;  // what GetDataFolder returns
    std::optional<std::filesystem::path> tracePath;
    std::ostream* console = nullptr;  // console output; null means standard output
    ClockMode clock = ClockMode::real;
    // A host that keeps what a plugin handed it after unloading it: the
    // library stays open and its commands, variables, hooks and pending
    // timers stay live. Only for testing that a plugin survives such a host.
    bool keepCallablesAfterUnload = false;
    // Print each console line taken from the input before running it, so a
    // scripted run reads like a transcript.
    bool echoConsoleLines = false;
    // Keeps variables registered with saving on between runs: read when the
    // host starts, restored on registration, written by saveConfig. None:
    // nothing is kept.
    std::optional<std::filesystem::path> configFile;
    // Where `exec` looks for a relative FILE first (then beside the config
    // file); empty means the working directory.
    std::filesystem::path execFolder;
    // Console output in ANSI colour, for a terminal.
    bool colour = false;
    // Keeps every traced event in memory for events(). Only tests read
    // them; a program leaves this off, so the trace costs no memory.
    bool keepEvents = false;
};

// What a plugin's exported record says about it.
struct PluginIdentity {
    std::filesystem::path library;
    int hostApiVersion = 0;
    std::string sourceFile;
    std::string className;
    std::string displayName;
    std::string version;
    int pluginType = 0;
};

// Text from outside (names, values, messages) as the console shows it:
// control characters and bytes that are not UTF-8 escaped as \xNN (\u00NN
// for the C1 controls), so no name can move the cursor, retitle or clear
// the terminal. The trace keeps the exact text.
std::string consoleText(std::string_view text);

class PluginLoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Host {
public:
    using Seconds = std::chrono::duration<double>;

    explicit Host(HostOptions options);
    ~Host();  // unloads the plugin if one is loaded
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads a plugin library, as the real host does: reads "exports", checks
    // the API version, calls getPlugin, fills the handles, calls onLoad.
    // Throws PluginLoadError with a message that says what is wrong.
    void loadPlugin(const std::filesystem::path& library);
    // onUnload, deleteMe, then drops everything the plugin registered (its
    // commands, variables, change callables, hooks and pending timers) and
    // closes the library.
    void unloadPlugin();
    bool hasPlugin() const;
    const PluginIdentity& plugin() const;  // requires hasPlugin()

    // Everything below runs on the calling thread, which is the game thread.

    // Runs one console line. Errors that escape a plugin callable are caught,
    // printed and traced; the host keeps running.
    void execute(std::string_view line, CommandOrigin origin = CommandOrigin::console);

    // The game starts loading a map: fires the pre-load event with `map` as
    // the engine string, on the next turn of the game loop.
    void startMapLoad(std::string_view map);

    // Runs the work that is due now (timers, queued game events, timers set
    // from other threads) without waiting.
    void runPending();
    // Runs the game loop for `duration`: real time, or an instant step of the
    // manual clock that fires every timer falling due on the way, in order.
    void runFor(Seconds duration);
    // Runs the game loop until `done` holds or `deadline` (real time) passes;
    // the manual clock does not move. Returns done().
    bool runUntil(const std::function<bool()>& done, Seconds deadline);

    // Console input, as a reader thread delivers it; safe from any thread.
    // The game loop takes one line per turn, none while a `wait` runs.
    void postLine(std::string line);
    // After the lines posted so far, the input ends: the host quits.
    void postEndOfInput();
    // The session ends at the next turn, as `quit` would end it there: a
    // running wait, held commands and lines not yet run are dropped. Safe
    // from any thread (the one that sees a signal, say).
    void postStop();
    // Ends a running wait and drops the commands held behind it (the rest
    // of a line, the lines of an exec'd file) and the lines posted before
    // and not yet run, as Ctrl-C on a terminal does; lines posted after it
    // run. Returns whether anything was running or waiting to run. Safe
    // from any thread.
    bool postInterrupt();
    // Runs the game loop until `quit` or the end of the input.
    void run();
    bool quitRequested() const;

    // Seconds since the host started, on the host's clock.
    double now() const;

    // Every traced event so far, in order, as the objects of the trace file.
    // Safe from any thread. Throws std::logic_error unless
    // HostOptions::keepEvents is set.
    std::vector<nlohmann::json> events() const;
    std::vector<nlohmann::json> events(std::string_view kind) const;

    // Looks up a variable's value (for tests and the console).
    std::optional<std::string> variable(std::string_view name) const;
    // Sets a variable as "NAME VALUE" on the console does (traced, change
    // callables run), for values no console line can carry.
    void setVariable(std::string_view name, std::string value);
    bool hasCommand(std::string_view name) const;

    // Every command and variable name, sorted, for completion. Safe from
    // any thread.
    std::vector<std::string> consoleNames() const;

    // Writes the config file: the variables registered with saving on, live
    // or unloaded, and what it held for names nothing registered. Values a
    // console line cannot carry are left out with a warning. Throws
    // std::system_error when the file cannot be written.
    void saveConfig();

    // Closes the trace file. Throws the std::system_error of the first write
    // of it that failed (that failure was also shown on the console when it
    // happened, and the trace stopped there).
    void finishTrace();

private:
    struct State;
    std::shared_ptr<State> state;
};

}  // namespace tarnwick::host
