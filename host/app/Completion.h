#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Tab completion on the console line, apart from the terminal so that it is
// tested without one.
namespace tarnwick::host::app {

struct Completion {
    std::size_t wordStart = 0;         // where the word being completed starts
    std::vector<std::string> matches;  // sorted; empty: nothing fits
};

// Completes the last word of `line` (the text before the cursor): a
// command or variable name from `names` as the first word of a command,
// a name after `help`, an action after `page` and `plugin`.
Completion complete(std::string_view line, const std::vector<std::string>& names);

// The longest start that every word shares.
std::string commonPrefix(const std::vector<std::string>& words);

}  // namespace tarnwick::host::app
