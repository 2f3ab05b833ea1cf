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
#include <thread>
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

// What a child process has written, collected by a thread per stream as it
// comes, so that a full pipe never stops the program.
class ChildOutput {
public:
    std::string out() { return read(standardOutput); }
    std::string err() { return read(standardError); }

    // Until `text` is in the output, past what earlier waits found, or the
    // output has ended.
    bool waitFor(std::string_view text, std::chrono::milliseconds deadline = std::chrono::seconds(30))
    {
        return shows(standardOutput, text, deadline, &seenUpTo);
    }
    // Until `text` is anywhere in the output, or in the error output.
    bool outputHas(std::string_view text, std::chrono::milliseconds deadline = defaultDeadline)
    {
        return shows(standardOutput, text, deadline, nullptr);
    }
    bool errorHas(std::string_view text, std::chrono::milliseconds deadline = defaultDeadline)
    {
        return shows(standardError, text, deadline, nullptr);
    }

protected:
    struct Stream {
        std::string text;
        bool open = false;
        std::thread reader;
    };

    // Reads `stream` on a thread of its own: `read` fills the buffer and
    // returns the count, zero or less at the end; `close` runs then.
    template <class Read, class Close>
    void collect(Stream& stream, Read read, Close close)
    {
        stream.open = true;
        stream.reader = std::thread([this, &stream, read, close] {
            char buffer[65536];
            for (long count; (count = read(buffer, sizeof buffer)) > 0;) {
                std::lock_guard lock(outputChanged.mutex);
                stream.text.append(buffer, static_cast<std::size_t>(count));
                outputChanged.changed.notify_all();
            }
            close();
            std::lock_guard lock(outputChanged.mutex);
            stream.open = false;
            outputChanged.changed.notify_all();
        });
    }

    static void join(Stream& stream)
    {
        if (stream.reader.joinable()) stream.reader.join();
    }

    Signal outputChanged;
    Stream standardOutput;
    Stream standardError;

private:
    std::string read(const Stream& stream)
    {
        std::lock_guard lock(outputChanged.mutex);
        return stream.text;
    }

    bool shows(Stream& stream, std::string_view text, std::chrono::milliseconds deadline, std::size_t* seen)
    {
        std::size_t at = std::string::npos;
        waitUntil(
            outputChanged,
            [&] {
                at = stream.text.find(text, seen ? *seen : 0);
                return at != std::string::npos || !stream.open;
            },
            deadline);
        if (at != std::string::npos && seen) *seen = at + text.size();
        return at != std::string::npos;
    }

    std::size_t seenUpTo = 0;
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
