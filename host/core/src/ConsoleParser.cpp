#include "ConsoleParser.h"

#include <fmt/format.h>

namespace tarnwick::host {
namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

ConsoleScan scanConsoleLine(std::string_view line)
{
    ConsoleScan scan;
    scan.commands.emplace_back();
    // A word exists once anything, even an empty pair of quotes, started it.
    std::optional<ConsoleToken> word;

    const auto startWord = [&](std::size_t at) {
        if (!word) word = ConsoleToken{{}, at, at};
    };
    const auto endWord = [&](std::size_t at) {
        if (!word) return;
        word->end = at;
        scan.commands.back().push_back(std::move(*word));
        word.reset();
    };

    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (scan.openQuote) {
            if (c == '"') {
                scan.openQuote.reset();
            } else {
                word->text.push_back(c);
            }
        } else if (c == '"') {
            scan.openQuote = i;
            startWord(i);
        } else if (c == ';') {
            endWord(i);
            scan.commands.emplace_back();
        } else if (isBlank(c)) {
            endWord(i);
        } else {
            startWord(i);
            word->text.push_back(c);
        }
    }
    endWord(line.size());
    return scan;
}

std::vector<ConsoleWords> parseConsoleLine(std::string_view line)
{
    ConsoleScan scan = scanConsoleLine(line);
    if (scan.openQuote) {
        throw ConsoleSyntaxError(
            fmt::format("unterminated double quote at column {}: close it with another '\"'", *scan.openQuote + 1));
    }
    std::vector<ConsoleWords> commands;
    for (auto& tokens : scan.commands) {
        if (tokens.empty()) continue;
        ConsoleWords& words = commands.emplace_back();
        for (auto& token : tokens) words.push_back(std::move(token.text));
    }
    return commands;
}

}  // namespace tarnwick::host
