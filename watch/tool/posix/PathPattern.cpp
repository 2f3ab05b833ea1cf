// The C library's POSIX matcher: the syntax the option promises, and, for
// the extended syntax without back-references, matching without
// backtracking (the same one inotifywait uses).
#include "PathPattern.h"

#include <regex.h>

#include <stdexcept>
#include <string>

namespace tarnwick_watch {

struct PathPattern::Compiled {
    explicit Compiled(const regex_t& expression) : expression(expression) {}
    ~Compiled() { ::regfree(&expression); }
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;

    regex_t expression;
};

std::unique_ptr<PathPattern::Compiled> PathPattern::compile(const filewatch::PathString& expression)
{
    refuseTooDeep(expression);
    regex_t compiled;
    // A failed regcomp leaves nothing to free.
    if (const int error = ::regcomp(&compiled, expression.c_str(), REG_EXTENDED | REG_NOSUB); error != 0) {
        char reason[256];
        ::regerror(error, &compiled, reason, sizeof reason);
        throw std::invalid_argument("invalid regular expression \"" + expression + "\": " + reason);
    }
    return std::make_unique<Compiled>(compiled);
}

PathPattern::PathPattern(const filewatch::PathString& expression) : compiled(compile(expression)) {}
PathPattern::~PathPattern() = default;
PathPattern::PathPattern(PathPattern&&) noexcept = default;
PathPattern& PathPattern::operator=(PathPattern&&) noexcept = default;

bool PathPattern::foundIn(const filewatch::PathString& path) const
{
    return ::regexec(&compiled->expression, path.c_str(), 0, nullptr, 0) == 0;
}

}  // namespace tarnwick_watch
