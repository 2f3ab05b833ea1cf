#include "ConsoleOutput.h"

#include <system_error>

#include <fmt/format.h>

#include "Text.h"
#include "tarnwick/host/Host.h"

namespace tarnwick::host {

ConsoleOutput::ConsoleOutput(std::ostream& console, bool colour, Trace& trace)
    : console(console), inColour(colour), trace(trace)
{
}

void ConsoleOutput::print(std::string_view line) { printShown(consoleText(line)); }

void ConsoleOutput::print(const Painted& line) { printShown(paint(inColour, line.paint, consoleText(line.text))); }

void ConsoleOutput::printShown(std::string_view line)
{
    std::lock_guard lock(mutex);
    console << line << '\n' << std::flush;
}

void ConsoleOutput::reportError(const std::string& message)
{
    printShown(fmt::format("{} {}", paint(inColour, Paint::red, "error:"), consoleText(message)));
    trace.record("error", {{"text", message}});
}

std::optional<std::filesystem::path> ConsoleOutput::typedPath(const std::string& text, std::string_view command)
{
    try {
        return text::pathFromNarrow(text);
    } catch (const std::system_error&) {
        print(mistake(fmt::format("{}: \"{}\" is not a file name: it is not valid text in {}", command,
                                  text::escapeInvalidNarrow(text), text::narrowEncodingName())));
        return std::nullopt;
    }
}

}  // namespace tarnwick::host
