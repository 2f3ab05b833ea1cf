// The one child-process runner of the tests: a program started with its
// arguments, fed standard input, its output collected as it comes, its exit
// status awaited with a deadline.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Wait.h"

namespace tarnwick::testsupport {

struct ChildOptions {
    std::filesystem::path workingFolder;  // empty: this process's
    // NAME=VALUE settings, over the inherited environment unless told.
    std::vector<std::string> environment;
    bool inheritEnvironment = true;
    // Standard input from this file instead of the pipe `send` writes to.
    std::optional<std::filesystem::path> inputFile;
    // Standard error into standard output, in the order written.
    bool errorsToOutput = false;
#if defined(_WIN32)
    unsigned long creationFlags = 0;  // CreateProcessW's, CREATE_NEW_PROCESS_GROUP say
#else
    // On a pseudo-terminal of its own (24 rows, 100 columns) as its
    // controlling terminal, for input and both outputs.
    bool terminal = false;
    // Standard output to this file (/dev/full, say) instead of the pipe read.
    const char* outputFile = nullptr;
    // A pipe nobody reads: once it is full, the program's writes block.
    bool outputUnread = false;
    // In a user namespace of its own (clone, not unshare: a sanitizer's own
    // thread, started again in a forked child, makes the child refuse unshare).
    bool ownUserNamespace = false;
    // Runs in the child just before exec: async-signal-safe calls only.
    std::function<void()> inChild;
#endif
};

// The exit code, or 1000 + N after death by signal N (so it cannot pass for
// an exit with 128 + N), or -1 when the program outlived the deadline.
inline constexpr int killedBy(int signal)
{
    return 1000 + signal;
}

}  // namespace tarnwick::testsupport

#if defined(_WIN32)
#include "windows/ChildProcess.h"
#else
#include "posix/ChildProcess.h"
#endif

namespace tarnwick::testsupport {

struct Finished {
    int status = -1;  // as ChildProcess::finish returns it
    std::string out;
    std::string err;
};

// Runs `argv` to its end with `input` on its standard input.
inline Finished run(const std::vector<std::string>& argv, std::string_view input = {}, ChildOptions options = {},
                    std::chrono::milliseconds deadline = std::chrono::seconds(60))
{
    ChildProcess child(argv, std::move(options));
    child.send(input);
    child.closeInput();
    Finished finished;
    finished.status = child.finish(deadline);
    finished.out = child.out();
    finished.err = child.err();
    return finished;
}

}  // namespace tarnwick::testsupport
