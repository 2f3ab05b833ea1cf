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
    : options_(std::move(options)), loop_(loop), runner_(runner), output_(output), trace_(trace)
{
}

void Console::execute(std::string_view line, CommandOrigin origin, int execDepth, std::string_view where)
{
    trace_.record("command", {{"text", std::string(line)}, {"from", originName(origin)}});
    std::vector<ConsoleWords> commands;
    try {
        commands = parseConsoleLine(line);
    } catch (const ConsoleSyntaxError& error) {
        output_.print(mistake(fmt::format("{}cannot run \"{}\": {}", where, line, error.what())));
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
            if (!rest.empty()) held_.push_front({std::move(rest), {}, {}, origin, execDepth});
            held_.insert(held_.begin(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
            return;
        }
        runner_.runCommand(*command);
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
        output_.print(mistake(words.size() == 2
                                  ? fmt::format("wait: \"{}\" is not a number of seconds such as 1 or 0.5", words[1])
                                  : std::string("usage: wait SECONDS (a number such as 1 or 0.5, not negative)")));
        return false;
    }
    resumeInputAt_ = loop_.now() + seconds;
    return true;
}

std::optional<std::filesystem::path> Console::findExecFile(const std::filesystem::path& file)
{
    std::vector<std::filesystem::path> places;
    if (file.is_absolute()) {
        places.push_back(file);
    } else {
        places.push_back(options_.execFolder.empty() ? file : options_.execFolder / file);
        if (options_.configFile) places.push_back(options_.configFile->parent_path() / file);
    }
    for (const auto& place : places) {
        std::error_code error;
        if (std::filesystem::is_regular_file(place, error)) return place;
    }
    std::vector<std::string> shown;
    for (const auto& place : places) shown.push_back(text::narrowFromPath(place));
    output_.print(mistake(
        fmt::format("exec: no file {} (looked for {})", text::narrowFromPath(file), fmt::join(shown, " and "))));
    return std::nullopt;
}

bool Console::readExecFile(const ConsoleWords& words, CommandOrigin origin, int execDepth,
                           std::vector<HeldCommands>& lines)
{
    if (words.size() != 2) {
        output_.print(mistake("usage: exec FILE (quote a path with blanks)"));
        return false;
    }
    if (execDepth >= maxExecDepth) {
        output_.print(mistake(
            fmt::format("exec: files nested more than {} deep; does {} exec itself?", maxExecDepth, words[1])));
        return false;
    }
    const auto named = output_.typedPath(words[1], "exec");
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
        output_.print(mistake(fmt::format("exec: cannot read {}", text::narrowFromPath(*file))));
        lines.clear();
        return false;
    }
    return true;
}

bool Console::runLine()
{
    if (quit_ || loop_.now() < resumeInputAt_) return false;
    if (!held_.empty()) {
        auto rest = std::move(held_.front());
        held_.pop_front();
        if (rest.line) {
            if (options_.echoLines) output_.print(fmt::format("> {}", *rest.line));
            execute(*rest.line, rest.origin, rest.execDepth, rest.where);
        } else {
            runCommands(std::move(rest.commands), rest.origin, rest.execDepth);
        }
        return true;
    }
    std::optional<std::string> line;
    if (!loop_.takeInput(line)) return false;
    if (!line) {
        quit_ = true;
    } else {
        if (options_.echoLines) output_.print(fmt::format("> {}", *line));
        execute(*line, CommandOrigin::console);
    }
    return true;
}

void Console::stop()
{
    quit_ = true;
    held_.clear();
}

// Ctrl-C: the wait and what it holds back end here; `droppedLines` lines
// entered before it were dropped already.
void Console::interrupt(std::size_t droppedLines)
{
    const bool waiting = resumeInputAt_ > loop_.now();
    const std::size_t dropped = held_.size() + droppedLines;
    if (!waiting && dropped == 0) return;
    resumeInputAt_ = 0.0;
    held_.clear();
    std::vector<std::string> what;
    if (waiting) what.emplace_back("the wait ended");
    if (dropped > 0) what.push_back(fmt::format("{} line{} not run", dropped, dropped == 1 ? "" : "s"));
    output_.print(mistake(fmt::format("interrupted: {}", fmt::join(what, ", "))));
}

}  // namespace tarnwick::host
