#include "Completion.h"

#include <algorithm>

#include "ConsoleParser.h"

namespace tarnwick::host::app {

Completion complete(std::string_view line, const std::vector<std::string>& names)
{
    Completion completion;
    completion.wordStart = line.size();
    // Split as the console will run it; inside an open quote there is
    // nothing to complete (a path or free text).
    const ConsoleScan scan = scanConsoleLine(line);
    if (scan.openQuote) return completion;
    std::vector<ConsoleToken> words = scan.commands.back();  // the command the line ends in
    if (!words.empty() && words.back().end == line.size()) {
        completion.wordStart = words.back().start;
        words.pop_back();
    }
    const std::string_view word = line.substr(completion.wordStart);

    static const std::vector<std::string> pageActions{"pick", "press", "tick", "type"};
    static const std::vector<std::string> pluginActions{"load", "unload"};
    const std::vector<std::string>* candidates = nullptr;
    if (words.empty()) {
        candidates = &names;
    } else if (words.size() == 1 && words[0].text == "help") {
        candidates = &names;
    } else if (words.size() == 1 && words[0].text == "page") {
        candidates = &pageActions;
    } else if (words.size() == 1 && words[0].text == "plugin") {
        candidates = &pluginActions;
    }
    if (candidates == nullptr) return completion;
    for (const auto& candidate : *candidates) {
        if (candidate.starts_with(word)) completion.matches.push_back(candidate);
    }
    std::sort(completion.matches.begin(), completion.matches.end());
    completion.matches.erase(std::unique(completion.matches.begin(), completion.matches.end()),
                             completion.matches.end());
    return completion;
}

std::string commonPrefix(const std::vector<std::string>& words)
{
    if (words.empty()) return {};
    std::string prefix = words.front();
    for (const auto& word : words) {
        const auto mismatch = std::mismatch(prefix.begin(), prefix.end(), word.begin(), word.end());
        prefix.erase(mismatch.first, prefix.end());
    }
    return prefix;
}

}  // namespace tarnwick::host::app
