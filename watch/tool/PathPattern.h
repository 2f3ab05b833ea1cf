#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <cstddef>
#include <memory>

namespace tarnwick_watch {

// A pattern of --include or --exclude: POSIX extended syntax, looked for
// anywhere in a path. Matching takes time that grows with the path's length,
// never exponentially with it, whatever the pattern: it runs for every
// change, and a pattern must not be able to stall the tool.
class PathPattern {
public:
    // Groups nested deeper than this are refused: compiling a pattern
    // recurses once per level, and a deep enough one would overflow the
    // stack.
    static constexpr std::size_t deepestNesting = 100;

    // Throws std::invalid_argument with a message for the user.
    explicit PathPattern(const filewatch::PathString& expression);
    ~PathPattern();
    PathPattern(PathPattern&&) noexcept;
    PathPattern& operator=(PathPattern&&) noexcept;

    bool foundIn(const filewatch::PathString& path) const;

private:
    struct Compiled;
    // The platform's matcher; throws std::invalid_argument.
    static std::unique_ptr<Compiled> compile(const filewatch::PathString& expression);
    // Throws std::invalid_argument for groups nested too deep.
    static void refuseTooDeep(const filewatch::PathString& expression);

    std::unique_ptr<Compiled> compiled;
};

// How deeply the groups of an extended expression nest; parentheses inside
// a bracket expression or after a backslash are characters, not groups.
std::size_t groupNesting(const filewatch::PathString& expression);

}  // namespace tarnwick_watch
