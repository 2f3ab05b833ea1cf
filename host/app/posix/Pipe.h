#pragma once

#include <optional>
#include <vector>

#include <signal.h>

// The pipes of the host program's threads on POSIX: one thread wakes
// another that sleeps in poll. POSIX only.
namespace tarnwick::host::app {

// A pipe, both ends closed exactly once, on destruction.
class Pipe {
public:
    // `flags`: pipe2's, with O_CLOEXEC added. Throws std::system_error
    // with `failure` as its message when the pipe cannot be made.
    Pipe(int flags, const char* failure);
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int readEnd() const { return ends[0]; }
    int writeEnd() const { return ends[1]; }
    // Makes the read end readable; a full pipe is readable already.
    void notify() const;
    // Reads what the pipe holds; the pipe must not block (O_NONBLOCK).
    void drain() const;

private:
    int ends[2] = {-1, -1};
};

// The self-pipe trick: while it lives, each of `signals` that arrives is
// written to a pipe as a byte, which a thread sleeping in poll on readEnd()
// takes with next(). The handler does nothing else, so any thread may run
// it. The handlers found before come back on destruction.
class SignalPipe {
public:
    // Throws std::system_error when the pipe cannot be made.
    explicit SignalPipe(std::vector<int> signals);
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    int readEnd() const { return pipe.readEnd(); }
    // The signal that arrived first and has not been taken, if any.
    std::optional<int> next() const;

private:
    Pipe pipe;
    std::vector<int> signals;
    std::vector<struct sigaction> saved;
};

}  // namespace tarnwick::host::app
