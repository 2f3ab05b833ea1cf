#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <atomic>
#include <optional>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include "posix/Pipe.h"
#endif

// What the host program needs from the operating system; one source file
// per platform implements it.
namespace tarnwick::host::app {

// The program, its arguments in UTF-8 (main.cpp); each platform's entry
// point hands them over.
int hostMain(int argc, char** argv);

std::filesystem::path executablePath();

bool standardInputIsTerminal();
bool isTerminal(std::FILE* stream);

// The per-user data folder the system names itself (Windows: LOCALAPPDATA);
// nothing where the XDG rules apply, as they do on Windows without one.
std::optional<std::filesystem::path> systemDataFolder();

// Turns what ends a session from outside into one call of `onStop` with the
// signal's number, on a thread of its own, so the host can end the session
// as `quit` does: SIGTERM, SIGHUP, SIGPIPE (the output's reader has gone)
// and, unless the line editor takes it, SIGINT. SIGXFSZ is ignored, so a
// write past the file-size limit fails with EFBIG like any other failed
// write. Constructed before any other thread starts: the others inherit
// these signals blocked. On Windows: Ctrl-C, Ctrl-Break and the console's
// close, which waits until this is destroyed.
class SessionSignals {
public:
    using StopCallback = std::function<void(int signal)>;

    SessionSignals(bool editorTakesInterrupt, StopCallback onStop);
    ~SessionSignals();
    SessionSignals(const SessionSignals&) = delete;
    SessionSignals& operator=(const SessionSignals&) = delete;

private:
    struct State;
    std::unique_ptr<State> state;
};

// On a Windows console, shows the host's narrow text, which is in the process
// code page, by writing standard output and error as UTF-16: the console's
// own code page is another. Nothing changes elsewhere, or when the output
// goes to a file or a pipe. Undone on destruction.
class ConsoleTextOutput {
public:
    ConsoleTextOutput();
    ~ConsoleTextOutput();
    ConsoleTextOutput(const ConsoleTextOutput&) = delete;
    ConsoleTextOutput& operator=(const ConsoleTextOutput&) = delete;

private:
#if defined(_WIN32)
    struct Streams;
    std::unique_ptr<Streams> streams;
#endif
};

// Reads console lines on a thread of its own and hands each one over as it
// arrives, then reports the end of the input. Destruction stops the thread,
// even while it waits for a line that never comes.
class LineReader {
public:
    using LineCallback = std::function<void(std::string line)>;
    using EndCallback = std::function<void()>;

    // Opens `script`, or takes standard input when there is none. Throws
    // std::system_error when it cannot be opened or is not something to
    // read lines from (a folder).
    LineReader(const std::optional<std::filesystem::path>& script, std::optional<std::string> prompt);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    void start(LineCallback onLine, EndCallback onEnd);
    // From here on nothing is delivered; the destructor does it too.
    void stop();
    // Whether the input ended in a read error rather than at its end (the
    // error was shown on standard error).
    bool failed() const;

private:
#if defined(_WIN32)
    // Shared with the reading thread, which may stay blocked in a read that
    // cannot be cancelled; it then ends with the process, delivering nothing.
    struct Shared;
    class Reading;  // the thread's steps
    std::shared_ptr<Shared> shared;
#else
    void read();

    std::string name;  // for messages: the script, or "standard input"
    int input = -1;
    bool ownsInput = false;
    std::optional<Pipe> stopPipe;  // tells the thread to stop
    std::optional<std::string> prompt;
    LineCallback onLine;
    EndCallback onEnd;
    std::atomic<bool> readFailed{false};
#endif
    std::thread thread;
};

}  // namespace tarnwick::host::app
