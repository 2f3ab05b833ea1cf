#pragma once

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

// Splits a console line into commands at ';' outside double quotes, and each
// command into words at blanks; double quotes group a word and are not part
// of it. Commands without words are left out. An unterminated quote raises
// ConsoleSyntaxError.
std::vector<ConsoleWords> parseConsoleLine(std::string_view line);

}  // namespace tarnwick::host
