#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "Paint.h"
#include "Trace.h"

namespace tarnwick::host {

// A console line in one colour.
struct Painted {
    Paint paint;
    std::string text;
};

// A mistake of whoever typed the line, shown in yellow.
inline Painted mistake(std::string message) { return {Paint::yellow, std::move(message)}; }

// The console's output. Lines carry names, values and messages from
// outside: their control characters are shown escaped, never sent to the
// terminal. Any thread; each line is written whole.
class ConsoleOutput {
public:
    ConsoleOutput(std::ostream& console, bool colour, Trace& trace);

    void print(std::string_view line);
    void print(const Painted& line);
    // For text whose outside parts are escaped already.
    void printShown(std::string_view line);
    // Shown in red and traced.
    void reportError(const std::string& message);

    // A path typed as narrow text, or nothing after saying why `command`
    // cannot use it.
    std::optional<std::filesystem::path> typedPath(const std::string& text, std::string_view command);

    bool colour() const { return inColour; }

private:
    std::ostream& console;
    const bool inColour;
    Trace& trace;
    std::mutex mutex;
};

}  // namespace tarnwick::host
