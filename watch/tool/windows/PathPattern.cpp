// MinGW's C runtime has no POSIX matcher and Debian packages no other for
// it, so the standard library's matcher runs in the mode of libstdc++ that
// simulates the automaton breadth first: polynomial in the path's length,
// never exponential. It takes no back-references, which the extended syntax
// does not have either.
#include "PathPattern.h"

#include "ChangeLine.h"

#include <regex>
#include <stdexcept>
#include <string>

namespace tarnwick_watch {

struct PathPattern::Compiled {
    std::wregex expression;
};

std::unique_ptr<PathPattern::Compiled> PathPattern::compile(const filewatch::PathString& expression)
{
    refuseTooDeep(expression);
    try {
        return std::make_unique<Compiled>(Compiled{std::wregex(
            expression, std::regex::extended | std::regex::nosubs | std::regex_constants::__polynomial)});
    } catch (const std::regex_error& error) {
        throw std::invalid_argument("invalid regular expression \"" + utf8Text(expression) + "\": " + error.what());
    }
}

PathPattern::PathPattern(const filewatch::PathString& expression) : compiled(compile(expression)) {}
PathPattern::~PathPattern() = default;
PathPattern::PathPattern(PathPattern&&) noexcept = default;
PathPattern& PathPattern::operator=(PathPattern&&) noexcept = default;

bool PathPattern::foundIn(const filewatch::PathString& path) const
{
    return std::regex_search(path, compiled->expression);
}

}  // namespace tarnwick_watch
