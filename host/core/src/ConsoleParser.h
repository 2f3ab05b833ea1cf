#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::host {

class ConsoleSyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One command's words, its name first.
using ConsoleWords = std::vector<std::string>;

// A word as typed: its text without the quotes, and where it lies in the line.
struct ConsoleToken {
    std::string text;
    std::size_t start = 0;  // its first character, a quote included
    std::size_t end = 0;    // one past its last
};

// A console line split into commands and words, also while it is being
// typed: every command is kept, empty ones too, so the last is the one the
// line ends in; an unterminated quote is noted, not an error.
struct ConsoleScan {
    std::vector<std::vector<ConsoleToken>> commands;  // never empty
    std::optional<std::size_t> openQuote;             // where an unterminated quote starts
};

// Splits at ';' outside double quotes, and each command into words at
// blanks; double quotes group a word and are not part of it.
ConsoleScan scanConsoleLine(std::string_view line);

// The words of a complete line, as scanConsoleLine splits it. Commands
// without words are left out. An unterminated quote raises
// ConsoleSyntaxError.
std::vector<ConsoleWords> parseConsoleLine(std::string_view line);

}  // namespace tarnwick::host
