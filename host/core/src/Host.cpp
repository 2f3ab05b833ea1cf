#include "tarnwick/host/Host.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>

#include <fmt/format.h>

#include "bakkesmod/sdk.h"
#include "ConfigFile.h"
#include "ConsoleParser.h"
#include "PluginLibrary.h"
#include "PluginSession.h"
#include "SettingsPage.h"
#include "Paint.h"
#include "Text.h"
#include "Trace.h"

namespace tarnwick::host {
namespace {

using Clock = std::chrono::steady_clock;
using BakkesMod::Plugin::BakkesModPlugin;
using BakkesMod::Plugin::DeleteMeFunction;
using BakkesMod::Plugin::GetPluginFunction;
using BakkesMod::Plugin::PluginInfo;

constexpr std::string_view preLoadEvent = "Function ProjectX.EngineShare_X.EventPreLoadMap";
constexpr std::string_view freePlayMap = "Park_P";
// Caps timer delays and waits (about 115 days) so every deadline stays
// representable on the steady clock.
constexpr double longestDelay = 1e7;
// runPending stops after this many turns, so a timer that keeps re-arming
// itself with no delay cannot hang the caller.
constexpr int maxPendingTurns = 10000;
// A file that execs itself would otherwise never end.
constexpr int maxExecDepth = 16;

// The pre-load function's parameter block: the map's engine string first;
// the rest is the game's and stays zero here.
struct PreLoadParameters {
    EngineString map;
    std::array<std::byte, 48> rest;
};

std::string_view originName(CommandOrigin origin)
{
    return origin == CommandOrigin::console ? "console" : "plugin";
}

std::string textOf(const char* text)
{
    return text != nullptr ? std::string(text) : std::string();
}

double sanitizedDelay(double seconds)
{
    if (!(seconds >= 0)) return 0;  // negative or NaN
    return std::min(seconds, longestDelay);
}

bool typeable(std::string_view name)
{
    return !name.empty() && name.find_first_of(" \t\r\n\v\f\";") == std::string_view::npos;
}

std::size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::optional<std::size_t> positiveNumber(std::string_view text)
{
    std::size_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || number == 0) return std::nullopt;
    return number;
}

std::string_view kindName(ControlKind kind)
{
    switch (kind) {
    case ControlKind::button: return "button";
    case ControlKind::checkBox: return "check box";
    case ControlKind::dropDown: return "drop-down";
    case ControlKind::textBox: return "text box";
    }
    return "control";
}

// What to type to use a control of this kind.
std::string_view verbFor(ControlKind kind)
{
    switch (kind) {
    case ControlKind::button: return "press";
    case ControlKind::checkBox: return "tick";
    case ControlKind::dropDown: return "pick";
    case ControlKind::textBox: return "type";
    }
    return "press";
}

struct LoadedPlugin {
    PluginLibrary library;  // first member: closed after everything else is gone
    PluginIdentity identity;
    std::shared_ptr<PluginSession> session;
    std::shared_ptr<BakkesModPlugin> instance;
    DeleteMeFunction deleteMe = nullptr;
};

}  // namespace

struct Host::State final : HostServices {
    // Commands that wait their turn: the rest of a line after a `wait` or
    // an `exec`, or one line of an exec'd file.
    struct HeldCommands {
        std::vector<ConsoleWords> commands;
        std::optional<std::string> line;
        std::string where;  // "FILE:LINE: " for a line of a file
        CommandOrigin origin;
        int execDepth = 0;
    };
    struct ShownPage {
        SettingsPage page;
        std::size_t firstNumber;
    };

    explicit State(HostOptions hostOptions);
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    double now() const
    {
        if (options.clock == ClockMode::manual) return manualNow.load();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    Clock::time_point realTimeAt(double seconds) const
    {
        return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // A console line in one colour.
    struct Painted {
        Paint paint;
        std::string text;
    };

    // Console lines carry names, values and messages from outside: their
    // control characters are shown escaped, never sent to the terminal.
    void print(std::string_view line) { printShown(consoleText(line)); }
    void print(const Painted& line) { printShown(paint(options.colour, line.paint, consoleText(line.text))); }

    // For text whose outside parts are escaped already.
    void printShown(std::string_view line)
    {
        std::lock_guard lock(consoleMutex);
        console << line << '\n' << std::flush;
    }

    void reportError(const std::string& message)
    {
        printShown(fmt::format("{} {}", paint(options.colour, Paint::red, "error:"), consoleText(message)));
        trace.record("error", {{"text", message}});
    }

    // Every call into plugin code goes through here: whatever escapes is
    // reported and the host carries on.
    template <typename Call>
    void callPlugin(std::string_view what, Call&& call)
    {
        ++pluginCallDepth;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{pluginCallDepth};
        try {
            call();
        } catch (const std::exception& error) {
            reportError(fmt::format("{} failed: {}", what, error.what()));
        } catch (...) {
            reportError(fmt::format("{} failed with an exception that is not a std::exception", what));
        }
    }

    // A plugin's library must not go away while its code is on the stack, so
    // loading and unloading asked for from inside a plugin call wait a turn.
    void outsidePluginCalls(std::function<void()> action)
    {
        if (pluginCallDepth > 0) {
            gameTasks.push_back(std::move(action));
        } else {
            action();
        }
    }

    // --- console -------------------------------------------------------

    // `where` names the file and line of a line from `exec`, for messages.
    void execute(std::string_view line, CommandOrigin origin, int execDepth = 0, std::string_view where = {})
    {
        trace.record("command", {{"text", std::string(line)}, {"from", originName(origin)}});
        std::vector<ConsoleWords> commands;
        try {
            commands = parseConsoleLine(line);
        } catch (const ConsoleSyntaxError& error) {
            print(mistake(fmt::format("{}cannot run \"{}\": {}", where, line, error.what())));
            return;
        }
        runCommands(std::move(commands), origin, execDepth);
    }

    void runCommands(std::vector<ConsoleWords> commands, CommandOrigin origin, int execDepth)
    {
        for (auto command = commands.begin(); command != commands.end(); ++command) {
            const bool waits = command->front() == "wait";
            if (waits || command->front() == "exec") {
                std::vector<HeldCommands> lines;
                if (waits ? !startWait(*command) : !readExecFile(*command, origin, execDepth, lines)) continue;
                // What follows on this line runs after the wait, or after the file's lines.
                std::vector<ConsoleWords> rest(std::make_move_iterator(command + 1),
                                               std::make_move_iterator(commands.end()));
                if (!rest.empty()) held.push_front({std::move(rest), {}, {}, origin, execDepth});
                held.insert(held.begin(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
                return;
            }
            runCommand(*command);
        }
    }

    static Painted mistake(std::string message) { return {Paint::yellow, std::move(message)}; }

    // Names close to a mistyped one, for "did you mean".
    std::vector<std::string> similarNames(std::string_view name) const
    {
        std::vector<std::pair<std::size_t, std::string>> scored;
        for (const auto& candidate : allNames()) {
            const std::size_t gap = std::max(name.size(), candidate.size()) - std::min(name.size(), candidate.size());
            const bool prefix = name.size() >= 3 && candidate.starts_with(name);
            // Lengths further apart are never that close; a line of megabytes
            // must not cost its length times every name's.
            if (gap > 2 && !prefix) continue;
            const std::size_t distance = prefix ? gap : editDistance(name, candidate);
            const bool close = distance <= (name.size() < 5 ? 1u : 2u);
            if (close || prefix) scored.emplace_back(distance, candidate);
        }
        std::sort(scored.begin(), scored.end());
        std::vector<std::string> names;
        for (std::size_t i = 0; i < scored.size() && i < 3; ++i) names.push_back(scored[i].second);
        return names;
    }

    Painted unknownName(std::string_view name) const
    {
        const auto similar = similarNames(name);
        const std::string guess = similar.empty() ? "" : fmt::format("; did you mean {}?", fmt::join(similar, ", "));
        return mistake(fmt::format("unknown command or variable \"{}\"{} (type help for the list)", name, guess));
    }

    void runCommand(const ConsoleWords& words)
    {
        const std::string& name = words.front();
        if (const Builtin* builtin = findBuiltin(name)) {
            (this->*builtin->run)(words);
        } else if (const auto command = commands.find(name); command != commands.end()) {
            const auto callback = command->second.callback;
            callPlugin(fmt::format("command {}", name), [&] { callback(words); });
        } else if (const auto variable = variables.find(name); variable != variables.end()) {
            const auto keep = variable->second;
            if (words.size() == 1) {
                print(fmt::format("{} = \"{}\"", name, keep->value));
                return;
            }
            if (words.size() > 2) {
                print(mistake(fmt::format(
                    "{} takes one value; the words after \"{}\" are ignored (quote a value with blanks)", name,
                    words[1])));
            }
            setVariable(*keep, words[1]);
        } else {
            print(unknownName(name));
        }
    }

    bool startWait(const ConsoleWords& words)
    {
        double seconds = -1;
        if (words.size() == 2) {
            const auto& text = words[1];
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
            if (error != std::errc() || end != text.data() + text.size()) seconds = -1;
        }
        if (!(seconds >= 0 && seconds <= longestDelay)) {
            print(mistake(words.size() == 2
                              ? fmt::format("wait: \"{}\" is not a number of seconds such as 1 or 0.5", words[1])
                              : std::string("usage: wait SECONDS (a number such as 1 or 0.5, not negative)")));
            return false;
        }
        resumeInputAt = now() + seconds;
        return true;
    }

    // --- built-in commands ----------------------------------------------

    struct Builtin {
        std::string_view name;
        std::string_view help;
        void (State::*run)(const ConsoleWords&);
    };

    static const std::vector<Builtin>& builtins()
    {
        static const std::vector<Builtin> table{
            {"cl_settings_refreshplugins", "re-read and show the plugin settings pages", &State::refreshSettings},
            {"cvarlist", "list the console variables and their values", &State::listVariables},
            {"exec", "exec FILE: run the console lines of FILE", &State::execCommand},
            {"help", "help [NAME]: list the commands and variables, or show one", &State::help},
            {"load_freeplay", "load the free-play map", &State::loadFreePlay},
            {"load_workshop", "load_workshop PATH: load a map file", &State::loadWorkshop},
            {"page", "page [pick|type|tick|press CONTROL [VALUE]]: show the settings pages, or use a control",
             &State::pageCommand},
            {"plugin", "plugin load [FILE] | plugin unload", &State::pluginCommand},
            {"preload", "preload NAME: the game fires the pre-load event for NAME", &State::preload},
            {"quit", "unload the plugin and exit", &State::quitCommand},
            {"wait", "wait SECONDS: keep the game running that long before the next line", &State::waitCommand},
        };
        return table;
    }

    static const Builtin* findBuiltin(std::string_view name)
    {
        for (const auto& builtin : builtins()) {
            if (builtin.name == name) return &builtin;
        }
        return nullptr;
    }

    void loadWorkshop(const ConsoleWords& words)
    {
        if (words.size() != 2) {
            print("usage: load_workshop PATH (quote a path with blanks)");
            return;
        }
        startMapLoad(words[1]);
    }

    void loadFreePlay(const ConsoleWords&) { startMapLoad(std::string(freePlayMap)); }

    void preload(const ConsoleWords& words)
    {
        if (words.size() != 2) {
            print("usage: preload NAME");
            return;
        }
        startMapLoad(words[1]);
    }

    void waitCommand(const ConsoleWords& words) { startWait(words); }

    // runCommands handles exec itself; this runs only if that changes.
    void execCommand(const ConsoleWords& words)
    {
        std::vector<HeldCommands> lines;
        if (readExecFile(words, CommandOrigin::console, 0, lines)) {
            held.insert(held.begin(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
        }
    }

    // A path typed as narrow text, or nothing after saying why.
    std::optional<std::filesystem::path> pathOf(const std::string& text, std::string_view command)
    {
        try {
            return text::pathFromNarrow(text);
        } catch (const std::system_error&) {
            print(mistake(fmt::format("{}: \"{}\" is not a file name: it is not valid text in {}", command,
                                      text::escapeInvalidNarrow(text), text::narrowEncodingName())));
            return std::nullopt;
        }
    }

    std::optional<std::filesystem::path> findExecFile(const std::filesystem::path& file)
    {
        std::vector<std::filesystem::path> places;
        if (file.is_absolute()) {
            places.push_back(file);
        } else {
            places.push_back(options.execFolder.empty() ? file : options.execFolder / file);
            if (options.configFile) places.push_back(options.configFile->parent_path() / file);
        }
        for (const auto& place : places) {
            std::error_code error;
            if (std::filesystem::is_regular_file(place, error)) return place;
        }
        std::vector<std::string> shown;
        for (const auto& place : places) shown.push_back(text::narrowFromPath(place));
        print(mistake(fmt::format("exec: no file {} (looked for {})", text::narrowFromPath(file),
                                  fmt::join(shown, " and "))));
        return std::nullopt;
    }

    // The lines of an exec'd file, ready to go in front of the input.
    bool readExecFile(const ConsoleWords& words, CommandOrigin origin, int execDepth, std::vector<HeldCommands>& lines)
    {
        if (words.size() != 2) {
            print(mistake("usage: exec FILE (quote a path with blanks)"));
            return false;
        }
        if (execDepth >= maxExecDepth) {
            print(mistake(fmt::format("exec: files nested more than {} deep; does {} exec itself?", maxExecDepth,
                                      words[1])));
            return false;
        }
        const auto named = pathOf(words[1], "exec");
        if (!named) return false;
        const auto file = findExecFile(*named);
        if (!file) return false;
        std::ifstream in(*file, std::ios::binary);
        std::string line;
        for (std::size_t number = 1; std::getline(in, line); ++number) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const auto first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line.compare(first, 2, "//") == 0 || line[first] == '#') continue;
            const std::string where = fmt::format("{}:{}: ", text::narrowFromPath(file->filename()), number);
            lines.push_back({{}, std::move(line), where, origin, execDepth + 1});
        }
        if (in.bad() || (!in.eof() && in.fail())) {
            print(mistake(fmt::format("exec: cannot read {}", text::narrowFromPath(*file))));
            lines.clear();
            return false;
        }
        return true;
    }

    void quitCommand(const ConsoleWords&) { quit = true; }

    void pluginCommand(const ConsoleWords& words)
    {
        if (words.size() == 2 && words[1] == "unload") {
            if (!loaded) {
                print("no plugin is loaded");
                return;
            }
            outsidePluginCalls([this] { unload(); });
        } else if ((words.size() == 2 || words.size() == 3) && words[1] == "load") {
            std::filesystem::path file = lastLibrary;
            if (words.size() == 3) {
                const auto named = pathOf(words[2], "plugin load");
                if (!named) return;
                file = *named;
            }
            if (file.empty()) {
                print("usage: plugin load FILE (no plugin was loaded before)");
                return;
            }
            outsidePluginCalls([this, file] {
                try {
                    load(file);
                } catch (const PluginLoadError& error) {
                    reportError(error.what());
                }
            });
        } else {
            print("usage: plugin load [FILE] | plugin unload");
        }
    }

    void listVariables(const ConsoleWords&)
    {
        if (variables.empty()) print("no console variables");
        for (const auto& [name, variable] : variables) {
            print(fmt::format("{} = \"{}\"  {}", name, variable->value, variable->description));
        }
    }

    void help(const ConsoleWords& words)
    {
        if (words.size() > 2) {
            print(mistake("usage: help [NAME]"));
            return;
        }
        if (words.size() == 2) {
            helpOn(words[1]);
            return;
        }
        const auto heading = [this](std::string_view text) { print(Painted{Paint::bold, std::string(text)}); };
        heading("host commands:");
        for (const auto& builtin : builtins()) print(fmt::format("  {:<28} {}", builtin.name, builtin.help));
        if (!commands.empty()) heading("plugin commands:");
        for (const auto& [name, command] : commands) print(fmt::format("  {:<28} {}", name, command.description));
        if (!variables.empty()) heading("variables:");
        for (const auto& [name, variable] : variables) {
            print(fmt::format("  {:<28} {} (now \"{}\")", name, variable->description, variable->value));
        }
        print("NAME shows a variable, NAME VALUE sets it; ';' separates commands; help NAME shows one");
    }

    void helpOn(const std::string& name)
    {
        if (const Builtin* builtin = findBuiltin(name)) {
            print(fmt::format("{} (host command): {}", name, builtin->help));
        } else if (const auto command = commands.find(name); command != commands.end()) {
            print(fmt::format("{} (command of {}): {}", name, command->second.owner->className(),
                              command->second.description));
        } else if (const auto variable = variables.find(name); variable != variables.end()) {
            const auto& v = *variable->second;
            print(fmt::format("{} (variable of {}): {}", name, v.owner->className(), v.description));
            print(fmt::format("  value \"{}\", default \"{}\", {}", v.value, v.defaultValue,
                              v.saveToConfig ? "saved in the config file" : "not saved"));
        } else {
            print(unknownName(name));
        }
    }

    void refreshSettings(const ConsoleWords&) { readPages(true); }

    // Reads every settings page, numbering the controls on from one page to
    // the next, and keeps them for the page commands; shows them if told.
    void readPages(bool show)
    {
        const auto folder = options.hostFolder / "plugins" / "settings";
        std::error_code error;
        std::vector<std::filesystem::path> files;
        for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
             entry.increment(error)) {
            std::error_code statusError;
            if (entry->path().extension() == ".set" && entry->is_regular_file(statusError)) {
                files.push_back(entry->path());
            }
        }
        if (error) {
            print(mistake(fmt::format("cannot read the settings folder {}: {}", text::narrowFromPath(folder),
                                      error.message())));
            return;
        }
        if (files.empty()) print(mistake(fmt::format("no settings pages in {}", text::narrowFromPath(folder))));
        std::sort(files.begin(), files.end());
        pages.clear();
        std::size_t nextNumber = 1;
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            if (!in) {
                print(mistake(fmt::format("cannot read settings page {}", text::narrowFromPath(file))));
                continue;
            }
            trace.record("settings", {{"file", text::narrowFromPath(file)}});
            pages.push_back({parseSettingsPage(content.str()), nextNumber});
            nextNumber += pages.back().page.controls.size();
            if (show) showPage(pages.back());
        }
    }

    void showPage(const ShownPage& shownPage)
    {
        std::string shown = renderSettingsPage(
            shownPage.page,
            [this](std::string_view name) {
                const auto variable = variables.find(name);
                return variable != variables.end() ? std::optional(variable->second->value) : std::nullopt;
            },
            {shownPage.firstNumber, options.colour});
        if (!shown.empty() && shown.back() == '\n') shown.pop_back();
        printShown(shown);  // the page escapes what it shows of the file
    }

    // page: show the pages; page VERB CONTROL [VALUE]: use a control as a
    // click on the drawn page would.
    void pageCommand(const ConsoleWords& words)
    {
        if (words.size() == 1) {
            readPages(true);
            return;
        }
        const std::string& verb = words[1];
        const bool takesValue = verb == "pick" || verb == "type";
        if (!(takesValue || verb == "tick" || verb == "press")) {
            print(mistake(fmt::format("page: unknown action \"{}\"; use page pick, type, tick or press", verb)));
            return;
        }
        if (words.size() != (takesValue ? 4u : 3u)) {
            print(mistake(fmt::format("usage: page {} CONTROL{} (CONTROL: its number on the page or its name){}", verb,
                                      verb == "pick" ? " OPTION" : verb == "type" ? " TEXT" : "",
                                      verb == "type" ? "; quote a text with blanks" : "")));
            return;
        }
        if (pages.empty()) readPages(false);
        const SettingsControl* control = findControl(verb, words[2]);
        if (control == nullptr) return;
        const std::string& where = control->label;
        if (control->kind == ControlKind::button) {
            print(fmt::format("{}: runs {}", where, control->name));
            execute(control->name, CommandOrigin::console);
            return;
        }
        const auto variable = findVariable(control->name);
        if (!variable) {
            print(mistake(fmt::format("page {}: there is no variable {} for {}; is its plugin loaded?", verb,
                                      control->name, where)));
            return;
        }
        std::string value;
        if (control->kind == ControlKind::checkBox) {
            value = readsTrue(variable->value) ? "0" : "1";
        } else if (control->kind == ControlKind::textBox) {
            value = words[3];
        } else {
            const auto option = findOption(*control, words[3]);
            if (!option) return;
            value = option->value;
        }
        setVariable(*variable, value);
        print(fmt::format("{}: {} = \"{}\"", where, control->name, variable->value));
    }

    const SettingsControl* findControl(const std::string& verb, const std::string& reference)
    {
        std::size_t count = 0;
        for (const auto& shown : pages) count += shown.page.controls.size();
        if (count == 0) {
            print(mistake("page: no controls to use; the settings pages are empty or missing"));
            return nullptr;
        }
        const SettingsControl* found = nullptr;
        if (const auto number = positiveNumber(reference)) {
            for (const auto& shown : pages) {
                if (*number >= shown.firstNumber && *number < shown.firstNumber + shown.page.controls.size()) {
                    found = &shown.page.controls[*number - shown.firstNumber];
                }
            }
            if (found == nullptr) {
                print(mistake(fmt::format("page {}: no control {}; the pages have controls 1 to {}", verb, reference,
                                          count)));
                return nullptr;
            }
        } else {
            // By name, preferring the control the verb is for.
            for (const auto& shown : pages) {
                for (const auto& control : shown.page.controls) {
                    if (control.name != reference) continue;
                    if (found == nullptr || (verbFor(found->kind) != verb && verbFor(control.kind) == verb)) {
                        found = &control;
                    }
                }
            }
            if (found == nullptr) {
                print(mistake(fmt::format("page {}: \"{}\" is neither a control number (1 to {}) nor the name of a "
                                          "control; type page to see them",
                                          verb, reference, count)));
                return nullptr;
            }
        }
        if (verbFor(found->kind) != verb) {
            print(mistake(fmt::format("page {}: {} is a {}; use page {} {}", verb, found->label, kindName(found->kind),
                                      verbFor(found->kind), reference)));
            return nullptr;
        }
        return found;
    }

    std::optional<SettingsOption> findOption(const SettingsControl& control, const std::string& reference)
    {
        if (const auto number = positiveNumber(reference)) {
            if (*number <= control.options.size()) return control.options[*number - 1];
        }
        for (const auto& option : control.options) {
            if (option.text == reference || option.value == reference) return option;
        }
        if (control.options.empty()) {
            print(mistake(fmt::format("page pick: {} has no options to pick", control.label)));
        } else {
            print(mistake(fmt::format("page pick: {} has no option \"{}\"; pick a number from 1 to {} or an "
                                      "option's text",
                                      control.label, reference, control.options.size())));
        }
        return std::nullopt;
    }

    // --- the game ---------------------------------------------------------

    void startMapLoad(std::string map)
    {
        gameTasks.push_back([this, map = std::move(map)] { fireMapLoad(map); });
    }

    void fireMapLoad(const std::string& map)
    {
        std::u16string units;
        try {
            // Narrow text is in the process code page, as the plugin wrote it.
            units = text::utf16FromNarrow(map);
        } catch (const std::system_error&) {
            reportError(fmt::format("cannot load map \"{}\": its name is not valid text in {}",
                                    text::escapeInvalidNarrow(map), text::narrowEncodingName()));
            return;
        }
        units.push_back(u'\0');
        const auto count = static_cast<std::int32_t>(std::min<std::size_t>(units.size(), INT32_MAX));
        PreLoadParameters parameters{{units.data(), count, count}, {}};

        print(fmt::format("game: loading map {}", map));
        trace.record("preload", {{"map", map}});
        std::vector<AddressHook> matching;
        for (const auto& hook : hooks) {
            if (hook.eventName == preLoadEvent) matching.push_back(hook.hook);
        }
        for (const auto& hook : matching) {
            callPlugin(fmt::format("hook on {}", preLoadEvent), [&] {
                hook(std::bit_cast<std::uintptr_t>(&callerObject), &parameters, std::string(preLoadEvent));
            });
        }
    }

    // --- the plugin -------------------------------------------------------

    void load(const std::filesystem::path& file)
    {
        if (loaded) {
            throw PluginLoadError(
                fmt::format("{} is loaded already; unload it first", text::narrowFromPath(loaded->identity.library)));
        }
        PluginLibrary library = PluginLibrary::open(file);
        const auto* info = static_cast<const PluginInfo*>(library.symbol("exports"));
        void* const getPluginAddress = library.symbol("getPlugin");
        void* const deleteMeAddress = library.symbol("deleteMe");
        std::vector<std::string> missing;
        if (info == nullptr) missing.emplace_back("exports");
        if (getPluginAddress == nullptr) missing.emplace_back("getPlugin");
        if (deleteMeAddress == nullptr) missing.emplace_back("deleteMe");
        if (!missing.empty()) {
            throw PluginLoadError(fmt::format("{} is not a plugin for this host: it does not export {}",
                                              text::narrowFromPath(file), fmt::join(missing, ", ")));
        }
        if (info->hostApiVersion != BakkesMod::Plugin::hostApiVersion) {
            throw PluginLoadError(fmt::format("{} was built for host API version {}; this host runs version {}",
                                              text::narrowFromPath(file), info->hostApiVersion,
                                              BakkesMod::Plugin::hostApiVersion));
        }
        PluginIdentity identity{file,
                                info->hostApiVersion,
                                textOf(info->sourceFile),
                                textOf(info->className),
                                textOf(info->displayName),
                                textOf(info->versionText),
                                info->pluginType};

        std::shared_ptr<BakkesModPlugin>* handle = nullptr;
        try {
            handle = std::bit_cast<GetPluginFunction>(getPluginAddress)();
        } catch (const std::exception& error) {
            throw PluginLoadError(
                fmt::format("getPlugin of {} failed: {}", text::narrowFromPath(file), error.what()));
        }
        if (handle == nullptr || !*handle) {
            throw PluginLoadError(
                fmt::format("getPlugin of {} returned no plugin object", text::narrowFromPath(file)));
        }

        auto session = std::make_shared<PluginSession>(*this, identity.className);
        auto instance = *handle;
        instance->cvarManager = std::make_shared<CVarManagerWrapper>(session);
        instance->gameWrapper = std::make_shared<GameWrapper>(session);
        lastLibrary = file;
        trace.record("plugin", {{"action", "load"},
                                {"name", identity.className},
                                {"version", identity.version},
                                {"api", identity.hostApiVersion}});
        print(fmt::format("loaded {} {} from {}", identity.displayName, identity.version,
                          text::narrowFromPath(file)));
        loaded.emplace(LoadedPlugin{std::move(library), std::move(identity), std::move(session), instance,
                                    std::bit_cast<DeleteMeFunction>(deleteMeAddress)});
        callPlugin("onLoad", [&] { instance->onLoad(); });
    }

    void unload()
    {
        if (!loaded) return;
        trace.record("plugin", {{"action", "unload"},
                                {"name", loaded->identity.className},
                                {"version", loaded->identity.version},
                                {"api", loaded->identity.hostApiVersion}});
        callPlugin("onUnload", [&] { loaded->instance->onUnload(); });
        callPlugin("deleteMe", [&] { loaded->deleteMe(); });
        LoadedPlugin gone = std::move(*loaded);
        loaded.reset();
        print(fmt::format("unloaded {}", gone.identity.displayName));
        gone.instance.reset();
        if (options.keepCallablesAfterUnload) {
            retained.push_back(std::move(gone));
            return;
        }
        release(std::move(gone));
    }

    // Detaches the session and destroys every callable the plugin handed
    // over; they hold code of the library, so this comes before closing it.
    void release(LoadedPlugin plugin)
    {
        plugin.session->detach();
        const PluginSession* owner = plugin.session.get();
        std::erase_if(commands, [&](const auto& entry) { return entry.second.owner == owner; });
        std::erase_if(variables, [&](const auto& entry) {
            if (entry.second->owner != owner) return false;
            if (entry.second->saveToConfig) keepForConfig(config, *entry.second);
            entry.second->services = nullptr;
            entry.second->changeCallbacks.clear();
            return true;
        });
        std::erase_if(hooks, [&](const Hook& hook) { return hook.owner == owner; });
        refreshNames();
        std::vector<Timer> dropped;
        {
            std::lock_guard lock(mutex);
            for (auto timer = timers.begin(); timer != timers.end();) {
                if (timer->second.owner.get() == owner) {
                    dropped.push_back(std::move(timer->second));
                    timer = timers.erase(timer);
                } else {
                    ++timer;
                }
            }
        }
    }

    // --- HostServices -----------------------------------------------------

    void registerCommand(PluginSession& owner, std::string name, CommandCallback callback,
                         std::string description) override
    {
        if (!typeable(name) || findBuiltin(name) != nullptr || variables.contains(name)) {
            print(fmt::format("[{}] cannot register command \"{}\": the name is taken or cannot be typed",
                              owner.className(), name));
            return;
        }
        commands.insert_or_assign(std::move(name), Command{&owner, std::move(callback), std::move(description)});
        refreshNames();
    }

    std::shared_ptr<ConsoleVariable> registerVariable(PluginSession& owner, std::string name,
                                                      std::string defaultValue, std::string description,
                                                      bool saveToConfig) override
    {
        if (const auto existing = variables.find(name); existing != variables.end()) return existing->second;
        if (!typeable(name) || findBuiltin(name) != nullptr || commands.contains(name)) {
            print(fmt::format("[{}] cannot register variable \"{}\": the name is taken or cannot be typed",
                              owner.className(), name));
            return nullptr;
        }
        auto variable = std::make_shared<ConsoleVariable>(*this, owner, name, std::move(defaultValue),
                                                          std::move(description), saveToConfig);
        // Restored as the plugin registers it, so its first reads see the saved value.
        if (const auto saved = config.find(name); saveToConfig && options.configFile && saved != config.end()) {
            variable->value = saved->second;
        }
        variables.emplace(std::move(name), variable);
        refreshNames();
        return variable;
    }

    // --- config and names ------------------------------------------------

    void readConfig()
    {
        if (!options.configFile) return;
        const auto& file = *options.configFile;
        std::error_code error;
        if (!std::filesystem::exists(file, error) && !error) return;  // the first run
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        if (error || !in) {
            // Saving over a file that could not be read would lose it.
            configUnreadable = true;
            reportError(fmt::format("cannot read the config file {}{}; it will not be saved either",
                                    text::narrowFromPath(file), error ? ": " + error.message() : std::string()));
            return;
        }
        auto parsed = parseConfig(content.str());
        config = std::move(parsed.values);
        for (const auto& problem : parsed.problems) {
            print(mistake(
                fmt::format("{}:{}: skipped: {}", text::narrowFromPath(file), problem.line, problem.message)));
        }
    }

    void saveConfig()
    {
        if (!options.configFile || configUnreadable) return;
        ConfigValues values = config;
        for (const auto& [name, variable] : variables) {
            if (variable->saveToConfig) keepForConfig(values, *variable);
        }
        if (const auto folder = options.configFile->parent_path(); !folder.empty()) {
            std::filesystem::create_directories(folder);
        }
        replaceFile(*options.configFile, formatConfig(values));
        config = std::move(values);
    }

    // A value no console line can hold leaves the one saved before.
    void keepForConfig(ConfigValues& values, const ConsoleVariable& variable)
    {
        if (!options.configFile) return;
        if (configCanHold(variable.value)) {
            values.insert_or_assign(variable.name, variable.value);
        } else {
            print(mistake(fmt::format("{} is not saved: a console line cannot hold its value's double quote or "
                                      "line break",
                                      variable.name)));
        }
    }

    std::vector<std::string> allNames() const
    {
        std::vector<std::string> all;
        for (const auto& builtin : builtins()) all.emplace_back(builtin.name);
        for (const auto& [name, command] : commands) all.push_back(name);
        for (const auto& [name, variable] : variables) all.push_back(name);
        std::sort(all.begin(), all.end());
        return all;
    }

    void refreshNames()
    {
        auto all = allNames();
        std::lock_guard lock(namesMutex);
        names = std::move(all);
    }

    std::shared_ptr<ConsoleVariable> findVariable(std::string_view name) override
    {
        const auto variable = variables.find(name);
        return variable != variables.end() ? variable->second : nullptr;
    }

    void setVariable(ConsoleVariable& variable, std::string value) override
    {
        const auto keep = variable.shared_from_this();
        const std::string oldValue = std::exchange(variable.value, std::move(value));
        trace.record("cvar", {{"name", variable.name}, {"value", variable.value}});
        // A callable may add further callables; those wait for the next set.
        const auto callbacks = variable.changeCallbacks;
        for (const auto& callback : callbacks) {
            callPlugin(fmt::format("change callable of {}", variable.name),
                       [&] { callback(oldValue, CVarWrapper(keep)); });
        }
    }

    void executeFromPlugin(PluginSession& owner, std::string_view line, bool echo) override
    {
        if (echo) print(fmt::format("[{}] runs: {}", owner.className(), line));
        execute(line, CommandOrigin::plugin);
    }

    void log(PluginSession& owner, std::string_view message) override
    {
        print(fmt::format("[{}] {}", owner.className(), message));
        trace.record("log", {{"text", std::string(message)}});
    }

    void hookEvent(PluginSession& owner, std::string eventName, AddressHook hook) override
    {
        hooks.push_back({&owner, std::move(eventName), std::move(hook)});
    }

    std::filesystem::path hostFolder() const override { return options.hostFolder; }
    std::filesystem::path dataFolder() const override { return options.dataFolder; }

    void setTimer(std::shared_ptr<PluginSession> owner, TimeoutCallback callback, double delaySeconds) override
    {
        const double delay = sanitizedDelay(delaySeconds);
        {
            std::lock_guard lock(mutex);
            // Read under the lock: timers set one after another get due
            // times in that order, whichever threads set them.
            timers.emplace(std::pair(now() + delay, nextTimerSequence++), Timer{std::move(owner), std::move(callback)});
            ++generation;
            trace.record("timer_set", {{"delay", delay}});
        }
        wake.notify_all();
    }

    // --- the game loop ----------------------------------------------------

    struct Timer {
        std::shared_ptr<PluginSession> owner;
        TimeoutCallback callback;
    };

    // The earliest due timer set before this turn began.
    std::optional<Timer> takeDueTimer(std::uint64_t setBefore)
    {
        std::lock_guard lock(mutex);
        const double time = now();
        for (auto timer = timers.begin(); timer != timers.end() && timer->first.first <= time; ++timer) {
            if (timer->first.second < setBefore) {
                Timer due = std::move(timer->second);
                timers.erase(timer);
                return due;
            }
        }
        return std::nullopt;
    }

    bool takeConsoleLine()
    {
        if (quit || now() < resumeInputAt) return false;
        if (!held.empty()) {
            auto rest = std::move(held.front());
            held.pop_front();
            if (rest.line) {
                if (options.echoConsoleLines) print(fmt::format("> {}", *rest.line));
                execute(*rest.line, rest.origin, rest.execDepth, rest.where);
            } else {
                runCommands(std::move(rest.commands), rest.origin, rest.execDepth);
            }
            return true;
        }
        std::optional<std::string> line;
        {
            std::lock_guard lock(mutex);
            if (input.empty()) return false;
            line = std::move(input.front());
            input.pop_front();
        }
        if (!line) {
            quit = true;
        } else {
            if (options.echoConsoleLines) print(fmt::format("> {}", *line));
            execute(*line, CommandOrigin::console);
        }
        return true;
    }

    // One turn: the timers that are due, then the game events queued by the
    // previous turn, then at most one console line. Returns whether anything
    // ran.
    bool turn()
    {
        bool ran = false;
        std::uint64_t setBefore = 0;
        bool stop = false;
        std::optional<std::size_t> interruptedInput;
        {
            std::lock_guard lock(mutex);
            setBefore = nextTimerSequence;
            stop = std::exchange(stopRequested, false);
            interruptedInput = std::exchange(droppedByInterrupt, std::nullopt);
        }
        if (stop) {
            quit = true;
            held.clear();
            return true;
        }
        if (interruptedInput) interruptRunning(*interruptedInput);
        while (auto timer = takeDueTimer(setBefore)) {
            ran = true;
            if (!timer->owner->attached()) continue;
            trace.record("timer_fired");
            GameWrapper game(timer->owner);
            callPlugin("timer", [&] { timer->callback(&game); });
        }
        if (!gameTasks.empty()) {
            const auto tasks = std::exchange(gameTasks, {});
            for (const auto& task : tasks) task();
            ran = true;
        }
        ran = takeConsoleLine() || ran;
        busy = !held.empty() || resumeInputAt > now();
        return ran;
    }

    // Ctrl-C: the wait and what it holds back end here; `droppedInput`
    // lines entered before it were dropped already.
    void interruptRunning(std::size_t droppedInput)
    {
        const bool waiting = resumeInputAt > now();
        const std::size_t dropped = held.size() + droppedInput;
        if (!waiting && dropped == 0) return;
        resumeInputAt = 0.0;
        held.clear();
        std::vector<std::string> what;
        if (waiting) what.emplace_back("the wait ended");
        if (dropped > 0) what.push_back(fmt::format("{} line{} not run", dropped, dropped == 1 ? "" : "s"));
        print(mistake(fmt::format("interrupted: {}", fmt::join(what, ", "))));
    }

    // As a terminal drops what was typed ahead when Ctrl-C interrupts, lines
    // entered before it and not yet run go too, so whatever was entered
    // last never starts after the interrupt. The end of the input stays.
    bool interrupt()
    {
        bool running = busy;
        {
            std::lock_guard lock(mutex);
            const auto dropped = std::erase_if(input, [](const auto& line) { return line.has_value(); });
            running = running || dropped > 0;
            droppedByInterrupt = droppedByInterrupt.value_or(0) + dropped;
            ++generation;
        }
        wake.notify_all();
        return running;
    }

    void runPending()
    {
        for (int turns = 0; turns < maxPendingTurns && turn(); ++turns) {
        }
    }

    bool inputWaiting()
    {
        std::lock_guard lock(mutex);
        return !held.empty() || !input.empty();
    }

    // Runs turns until `done` holds or the deadline passes. Between turns it
    // sleeps until the next timer or the end of a wait is due, or until
    // another thread posts something.
    bool loop(const std::function<bool()>& done, std::optional<Clock::time_point> deadline)
    {
        for (;;) {
            std::uint64_t seen = 0;
            {
                std::lock_guard lock(mutex);
                seen = generation;
            }
            while (!done() && turn()) {
            }
            if (done()) return true;

            std::unique_lock lock(mutex);
            if (generation != seen) continue;
            if (deadline && Clock::now() >= *deadline) return false;
            auto wakeAt = deadline.value_or(Clock::time_point::max());
            if (options.clock == ClockMode::real) {
                if (!timers.empty()) wakeAt = std::min(wakeAt, realTimeAt(timers.begin()->first.first));
                if (resumeInputAt > now() && (!held.empty() || !input.empty())) {
                    wakeAt = std::min(wakeAt, realTimeAt(resumeInputAt));
                }
            }
            const auto changed = [&] { return generation != seen; };
            if (wakeAt == Clock::time_point::max()) {
                wake.wait(lock, changed);
            } else {
                wake.wait_until(lock, wakeAt, changed);
            }
        }
    }

    void runFor(double seconds)
    {
        seconds = sanitizedDelay(seconds);
        if (options.clock == ClockMode::real) {
            loop([] { return false; }, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds)));
            return;
        }
        const double end = now() + seconds;
        for (;;) {
            runPending();
            std::optional<double> next;
            {
                std::lock_guard lock(mutex);
                if (!timers.empty()) next = timers.begin()->first.first;
            }
            if (resumeInputAt > now() && inputWaiting()) next = std::min(next.value_or(resumeInputAt), resumeInputAt);
            if (!next || *next > end || *next <= now()) break;
            manualNow = *next;
        }
        manualNow = std::max(now(), end);
        runPending();
    }

    // The next turn ends the session.
    void stop()
    {
        {
            std::lock_guard lock(mutex);
            stopRequested = true;
            ++generation;
        }
        wake.notify_all();
    }

    void post(std::optional<std::string> line)
    {
        {
            std::lock_guard lock(mutex);
            input.push_back(std::move(line));
            ++generation;
        }
        wake.notify_all();
    }

    // --- state ------------------------------------------------------------

    HostOptions options;
    std::ostream& console;
    const Clock::time_point start = Clock::now();
    std::atomic<double> manualNow{0.0};
    Trace trace;
    std::mutex consoleMutex;

    // Game thread only.
    struct Command {
        const PluginSession* owner;
        CommandCallback callback;
        std::string description;
    };
    struct Hook {
        const PluginSession* owner;
        std::string eventName;
        AddressHook hook;
    };
    std::map<std::string, Command, std::less<>> commands;
    std::map<std::string, std::shared_ptr<ConsoleVariable>, std::less<>> variables;
    std::vector<Hook> hooks;
    std::vector<std::function<void()>> gameTasks;  // run on the next turn
    std::deque<HeldCommands> held;
    std::vector<ShownPage> pages;  // as last read, for the page commands
    ConfigValues config;           // saved values, also of variables not registered now
    bool configUnreadable = false;
    double resumeInputAt = 0.0;
    bool quit = false;
    int pluginCallDepth = 0;
    std::optional<LoadedPlugin> loaded;
    std::vector<LoadedPlugin> retained;  // unloaded, but kept live on request
    std::filesystem::path lastLibrary;
    const int callerObject = 0;  // the game object that calls hooks; only its address matters

    // Shared with other threads.
    std::mutex mutex;
    std::condition_variable wake;
    std::map<std::pair<double, std::uint64_t>, Timer> timers;  // by due time, then order set
    std::uint64_t nextTimerSequence = 0;
    std::deque<std::optional<std::string>> input;  // nullopt: the input ended
    std::uint64_t generation = 0;                  // bumped by anything that may need the loop
    bool stopRequested = false;                    // postStop
    std::optional<std::size_t> droppedByInterrupt;  // postInterrupt: input lines it dropped
    std::atomic<bool> busy{false};                 // a wait runs or commands are held (game thread writes)
    mutable std::mutex namesMutex;
    std::vector<std::string> names;  // a copy of allNames() for other threads
};

Host::State::State(HostOptions hostOptions)
    : options(std::move(hostOptions)),
      console(options.console != nullptr ? *options.console : std::cout),
      trace(options.tracePath, options.keepEvents, [this] { return now(); },
            [this](const std::system_error& failure) {
                reportError(fmt::format("{}; the trace stops here", failure.what()));
            })
{
    readConfig();
    refreshNames();
}

Host::State::~State()
{
    unload();
    for (auto& plugin : retained) release(std::move(plugin));
}

Host::Host(HostOptions options) : state_(std::make_shared<State>(std::move(options))) {}

Host::~Host() = default;

void Host::loadPlugin(const std::filesystem::path& library) { state_->load(library); }

void Host::unloadPlugin() { state_->unload(); }

bool Host::hasPlugin() const { return state_->loaded.has_value(); }

const PluginIdentity& Host::plugin() const
{
    if (!state_->loaded) throw std::logic_error("no plugin is loaded");
    return state_->loaded->identity;
}

void Host::execute(std::string_view line, CommandOrigin origin) { state_->execute(line, origin); }

void Host::startMapLoad(std::string_view map) { state_->startMapLoad(std::string(map)); }

void Host::runPending() { state_->runPending(); }

void Host::runFor(Seconds duration) { state_->runFor(duration.count()); }

bool Host::runUntil(const std::function<bool()>& done, Seconds deadline)
{
    const double seconds = sanitizedDelay(deadline.count());
    return state_->loop(done, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(seconds)));
}

void Host::postLine(std::string line) { state_->post(std::move(line)); }

void Host::postEndOfInput() { state_->post(std::nullopt); }

void Host::postStop() { state_->stop(); }

bool Host::postInterrupt() { return state_->interrupt(); }

void Host::run()
{
    state_->loop([this] { return state_->quit; }, std::nullopt);
}

bool Host::quitRequested() const { return state_->quit; }

double Host::now() const { return state_->now(); }

std::vector<nlohmann::json> Host::events() const { return state_->trace.events(); }

std::vector<nlohmann::json> Host::events(std::string_view kind) const { return state_->trace.events(kind); }

std::optional<std::string> Host::variable(std::string_view name) const
{
    const auto variable = state_->variables.find(name);
    if (variable == state_->variables.end()) return std::nullopt;
    return variable->second->value;
}

void Host::setVariable(std::string_view name, std::string value)
{
    const auto variable = state_->findVariable(name);
    if (!variable) throw std::invalid_argument(fmt::format("no console variable \"{}\"", name));
    state_->setVariable(*variable, std::move(value));
}

bool Host::hasCommand(std::string_view name) const
{
    return state_->commands.contains(name) || State::findBuiltin(name) != nullptr;
}

std::vector<std::string> Host::consoleNames() const
{
    std::lock_guard lock(state_->namesMutex);
    return state_->names;
}

void Host::saveConfig() { state_->saveConfig(); }

void Host::finishTrace() { state_->trace.finish(); }

std::string consoleText(std::string_view text) { return text::escapeControls(text); }

}  // namespace tarnwick::host
