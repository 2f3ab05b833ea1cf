// The console line parser: any line either parses or raises its own syntax
// error, and the words it returns re-parse to the same words when quoted.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ConsoleParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    std::vector<tarnwick::host::ConsoleWords> commands;
    try {
        commands = tarnwick::host::parseConsoleLine(line);
    } catch (const tarnwick::host::ConsoleSyntaxError&) {
        return 0;
    }
    for (const auto& words : commands) {
        if (words.empty()) std::abort();  // commands without words are left out
        std::string quoted;
        bool quotable = true;
        for (const auto& word : words) {
            if (word.find('"') != std::string::npos) quotable = false;
            quoted += "\"" + word + "\" ";
        }
        if (!quotable) continue;
        const auto again = tarnwick::host::parseConsoleLine(quoted);
        if (again.size() != 1 || again.front() != words) std::abort();
    }
    return 0;
}
