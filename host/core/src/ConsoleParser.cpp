#include "ConsoleParser.h"

#include <optional>

#include <fmt/format.h>

namespace tarnwick::host {
namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::vector<ConsoleWords> parseConsoleLine(std::string_view line)
{
    std::vector<ConsoleWords> commands;
    ConsoleWords words;
    // A word exists once anything, even an empty pair of quotes, started it.
    std::optional<std::string> word;
    std::optional<std::size_t> quoteStart;

    const auto endWord = [&] {
        if (word) words.push_back(std::move(*word));
        word.reset();
    };
    const auto endCommand = [&] {
        endWord();
        if (!words.empty()) commands.push_back(std::move(words));
        words.clear();
    };

    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoteStart) {
            if (c == '"') {
                quoteStart.reset();
            } else {
                word->push_back(c);
            }
        } else if (c == '"') {
            quoteStart = i;
            if (!word) word.emplace();
        } else if (c == ';') {
            endCommand();
        } else if (isBlank(c)) {
            endWord();
        } else {
            if (!word) word.emplace();
            word->push_back(c);
        }
    }
    if (quoteStart) {
        throw ConsoleSyntaxError(
            fmt::format("unterminated double quote at column {}: close it with another '\"'", *quoteStart + 1));
    }
    endCommand();
    return commands;
}

}  // namespace tarnwick::host
