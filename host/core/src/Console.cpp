#include "Console.h"

#include <charconv>
#include <fstream>
#include <iterator>

#include <fmt/format.h>

#include "Text.h"

namespace tarnwick::host {
namespace {

// A file that execs itself would otherwise never end.
constexpr int maxExecDepth = 16;

std::string_view originName(CommandOrigin origin)
{
    return origin == CommandOrigin::console ? "console" : "plugin";
}

}  // namespace

Console::Console(Options options, GameLoop& loop, CommandRunner& runner, ConsoleOutput& output, Trace& trace)
    : options(std::move(options)), loop(loop), runner(runner), output(output), trace(trace)
{
}

void Console::execute(std::string_view line, CommandOrigin origin, int execDepth, std::string_view where)
{
    trace.record("command", {{"text", std::string(line)}, {"from", originName(origin)}});
    std::vector<ConsoleWords> commands;
    try {
        commands = parseConsoleLine(line);
    } catch (const ConsoleSyntaxError& error) {
        output.print(mistake(fmt::format("{}cannot run \"{}\": {}", where, line, error.what())));
        return;
    }
    runCommands(std::move(commands), origin, execDepth);
}

// `wait` and `exec` are taken here, before any command runs, since what
// follows them on the line has to wait its turn.
void Console::runCommands(std::vector<ConsoleWords> commands, CommandOrigin origin, int execDepth)
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
        runner.runCommand(*command);
    }
}

bool Console::startWait(const ConsoleWords& words)
{
    double seconds = -1;
    if (words.size() == 2) {
        const auto& text = words[1];
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
        if (error != std::errc() || end != text.data() + text.size()) seconds = -1;
    }
    if (!(seconds >= 0 && seconds <= GameLoop::longestDelay)) {
        output.print(mistake(words.size() == 2
                                  ? fmt::format("wait: \"{}\" is not a number of seconds such as 1 or 0.5", words[1])
                                  : std::string("usage: wait SECONDS (a number such as 1 or 0.5, not negative)")));
        return false;
    }
    resumeInputAt = loop.now() + seconds;
    return true;
}

std::optional<std::filesystem::path> Console::findExecFile(const std::filesystem::path& file)
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
    output.print(mistake(
        fmt::format("exec: no file {} (looked for {})", text::narrowFromPath(file), fmt::join(shown, " and "))));
    return std::nullopt;
}

bool Console::readExecFile(const ConsoleWords& words, CommandOrigin origin, int execDepth,
                           std::vector<HeldCommands>& lines)
{
    if (words.size() != 2) {
        output.print(mistake("usage: exec FILE (quote a path with blanks)"));
        return false;
    }
    if (execDepth >= maxExecDepth) {
        output.print(mistake(
            fmt::format("exec: files nested more than {} deep; does {} exec itself?", maxExecDepth, words[1])));
        return false;
    }
    const auto named = output.typedPath(words[1], "exec");
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
        output.print(mistake(fmt::format("exec: cannot read {}", text::narrowFromPath(*file))));
        lines.clear();
        return false;
    }
    return true;
}

bool Console::runLine()
{
    if (quitting || loop.now() < resumeInputAt) return false;
    if (!held.empty()) {
        auto rest = std::move(held.front());
        held.pop_front();
        if (rest.line) {
            if (options.echoLines) output.print(fmt::format("> {}", *rest.line));
            execute(*rest.line, rest.origin, rest.execDepth, rest.where);
        } else {
            runCommands(std::move(rest.commands), rest.origin, rest.execDepth);
        }
        return true;
    }
    std::optional<std::string> line;
    if (!loop.takeInput(line)) return false;
    if (!line) {
        quitting = true;
    } else {
        if (options.echoLines) output.print(fmt::format("> {}", *line));
        execute(*line, CommandOrigin::console);
    }
    return true;
}

void Console::stop()
{
    quitting = true;
    held.clear();
}

// Ctrl-C: the wait and what it holds back end here; `droppedLines` lines
// entered before it were dropped already.
void Console::interrupt(std::size_t droppedLines)
{
    const bool waiting = resumeInputAt > loop.now();
    const std::size_t dropped = held.size() + droppedLines;
    if (!waiting && dropped == 0) return;
    resumeInputAt = 0.0;
    held.clear();
    std::vector<std::string> what;
    if (waiting) what.emplace_back("the wait ended");
    if (dropped > 0) what.push_back(fmt::format("{} line{} not run", dropped, dropped == 1 ? "" : "s"));
    output.print(mistake(fmt::format("interrupted: {}", fmt::join(what, ", "))));
}

}  // namespace tarnwick::host
