#include "PathPattern.h"

#include "ChangeLine.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace tarnwick_watch {

std::size_t groupNesting(const filewatch::PathString& expression)
{
    std::size_t depth = 0;
    std::size_t deepest = 0;
    const std::size_t size = expression.size();
    for (std::size_t at = 0; at < size; ++at) {
        const auto c = expression[at];
        if (c == '\\') {
            ++at;
        } else if (c == '[') {
            // A bracket expression ends at the first ']' that is not its
            // first member nor inside [:class:], [.symbol.] or [=equivalent=].
            std::size_t end = at + 1;
            end += end < size && expression[end] == '^';
            end += end < size && expression[end] == ']';
            while (end < size && expression[end] != ']') {
                const auto delimiter = end + 1 < size ? expression[end + 1] : 0;
                if (expression[end] == '[' && (delimiter == ':' || delimiter == '.' || delimiter == '=')) {
                    for (end += 2; end + 1 < size && !(expression[end] == delimiter && expression[end + 1] == ']');) {
                        ++end;
                    }
                    end += 2;
                } else {
                    ++end;
                }
            }
            at = end;
        } else if (c == '(') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ')' && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

void PathPattern::refuseTooDeep(const filewatch::PathString& expression)
{
    if (groupNesting(expression) > deepestNesting) {
        const std::string shown = utf8Text(expression.substr(0, 40));
        throw std::invalid_argument("invalid regular expression \"" + shown + (expression.size() > 40 ? "..." : "") +
                                    "\": groups nested more than " + std::to_string(deepestNesting) + " deep");
    }
}

}  // namespace tarnwick_watch
