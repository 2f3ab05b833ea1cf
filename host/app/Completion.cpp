#include "Completion.h"

#include <algorithm>

namespace tarnwick::host::app {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

Completion complete(std::string_view line, const std::vector<std::string>& names)
{
    // The current command starts after the last ';' outside quotes; inside
    // an open quote there is nothing to complete (a path or free text).
    std::size_t commandStart = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted) commandStart = i + 1;
    }
    Completion completion;
    completion.wordStart = line.size();
    if (quoted) return completion;

    std::vector<std::string_view> words;  // the words before the one being completed
    std::size_t i = commandStart;
    for (;;) {
        while (i < line.size() && isBlank(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i])) ++i;
        if (i == line.size()) {
            completion.wordStart = start;
            break;
        }
        words.push_back(line.substr(start, i - start));
    }
    const std::string_view word = line.substr(completion.wordStart);

    static const std::vector<std::string> pageActions{"pick", "press", "tick", "type"};
    static const std::vector<std::string> pluginActions{"load", "unload"};
    const std::vector<std::string>* candidates = nullptr;
    if (words.empty()) {
        candidates = &names;
    } else if (words.size() == 1 && words[0] == "help") {
        candidates = &names;
    } else if (words.size() == 1 && words[0] == "page") {
        candidates = &pageActions;
    } else if (words.size() == 1 && words[0] == "plugin") {
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
