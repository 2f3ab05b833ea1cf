#pragma once

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ConsoleOutput.h"
#include "ConsoleParser.h"
#include "GameLoop.h"
#include "Trace.h"
#include "tarnwick/host/Host.h"

namespace tarnwick::host {

// Runs one command once the console has split its line. Game thread.
class CommandRunner {
public:
    virtual void runCommand(const ConsoleWords& words) = 0;

protected:
    ~CommandRunner() = default;
};

// Runs console lines: splits them into commands, holds what follows a
// `wait` or an `exec` until its turn, and reads exec'd files. Game thread
// only.
class Console final : public InputSide {
public:
    struct Options {
        std::filesystem::path execFolder;  // see HostOptions
        std::optional<std::filesystem::path> configFile;
        bool echoLines = false;
    };

    Console(Options options, GameLoop& loop, CommandRunner& runner, ConsoleOutput& output, Trace& trace);

    // `where` names the file and line of a line from `exec`, for messages.
    void execute(std::string_view line, CommandOrigin origin, int execDepth = 0, std::string_view where = {});

    void quit() { quitting = true; }
    bool quitRequested() const { return quitting; }

    bool runLine() override;
    bool holdsCommands() const override { return !held.empty(); }
    double waitEndsAt() const override { return resumeInputAt; }
    void stop() override;
    void interrupt(std::size_t droppedLines) override;

private:
    // Commands that wait their turn: the rest of a line after a `wait` or
    // an `exec`, or one line of an exec'd file.
    struct HeldCommands {
        std::vector<ConsoleWords> commands;
        std::optional<std::string> line;
        std::string where;  // "FILE:LINE: " for a line of a file
        CommandOrigin origin;
        int execDepth = 0;
    };

    void runCommands(std::vector<ConsoleWords> commands, CommandOrigin origin, int execDepth);
    bool startWait(const ConsoleWords& words);
    std::optional<std::filesystem::path> findExecFile(const std::filesystem::path& file);
    // The lines of an exec'd file, ready to go in front of the input.
    bool readExecFile(const ConsoleWords& words, CommandOrigin origin, int execDepth,
                      std::vector<HeldCommands>& lines);

    const Options options;
    GameLoop& loop;
    CommandRunner& runner;
    ConsoleOutput& output;
    Trace& trace;
    std::deque<HeldCommands> held;
    double resumeInputAt = 0.0;
    bool quitting = false;
};

}  // namespace tarnwick::host
