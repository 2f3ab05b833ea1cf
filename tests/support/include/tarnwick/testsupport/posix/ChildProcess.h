// The runner on POSIX: fork (or clone) and exec, a pipe or a pseudo-terminal
// on each side, a thread per output stream draining it as it fills.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

extern char** environ;

namespace tarnwick::testsupport {

class ChildProcess : public ChildOutput {
public:
    ChildProcess(std::vector<std::string> command, ChildOptions childOptions = {})
        : arguments(std::move(command)), options(std::move(childOptions))
    {
        int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
        std::string terminalName;
        if (options.terminal) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pty");
            terminalName = ::ptsname(master);
            const winsize size{24, 100, 0, 0};
            ::ioctl(master, TIOCSWINSZ, &size);
            in[1] = master;
            out[0] = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
        } else if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("no pipes");
        }
        // Everything the child needs is made before it exists.
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        for (char** setting = options.inheritEnvironment ? environ : nullptr; setting && *setting; ++setting) {
            const std::string_view inherited(*setting);
            const auto name = inherited.substr(0, inherited.find('=') + 1);
            bool replaced = false;
            for (const auto& own : options.environment) replaced = replaced || own.starts_with(name);
            if (!replaced) environment.push_back(*setting);
        }
        for (auto& own : options.environment) environment.push_back(own.data());
        environment.push_back(nullptr);
        const std::string folder = options.workingFolder.string();
        Setup setup{options, argv.data(), environment.data(), folder.c_str(), terminalName.c_str(),
                    in[0], out[1], options.errorsToOutput ? out[1] : err[1]};
        // The test's own writes to a program that has gone fail instead of
        // ending the test; the program starts with the default.
        ::signal(SIGPIPE, SIG_IGN);
        if (options.ownUserNamespace) {
            std::vector<char> stack(1 << 20);
            processId = ::clone(start, stack.data() + stack.size(), CLONE_NEWUSER | SIGCHLD, &setup);
        } else if ((processId = ::fork()) == 0) {
            start(&setup);
        }
        for (const int end : {in[0], out[1], err[1]}) {
            if (end >= 0) ::close(end);
        }
        if (processId < 0 && !options.ownUserNamespace) {
            for (const int end : {in[1], out[0], err[0]}) {
                if (end >= 0) ::close(end);
            }
            throw std::runtime_error("cannot start " + arguments.at(0));
        }
        input = in[1];
        if (options.inputFile) closeInput();
        if (options.outputUnread) {
            unreadOutputEnd = out[0];
        } else {
            collect(standardOutput, out[0]);
        }
        if (err[0] >= 0) collect(standardError, err[0]);
    }

    ~ChildProcess()
    {
        if (processId > 0) {
            ::kill(processId, SIGKILL);
            ::waitpid(processId, nullptr, 0);
        }
        closeInput();
        closeOutput();
        stop(standardError);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // -1 when no user namespace could be made for it.
    pid_t pid() const { return processId; }
    // The pipe nobody reads (ChildOptions::outputUnread).
    int unreadOutput() const { return unreadOutputEnd; }

    // Writes to standard input; the outputs are drained meanwhile, so
    // neither side blocks the other however much goes through.
    void send(std::string_view text)
    {
        while (!text.empty()) {
            pollfd watched{input, POLLOUT, 0};
            ASSERT_GT(::poll(&watched, 1, 60'000), 0) << "the program took no input for a minute";
            if (watched.revents & (POLLERR | POLLHUP)) FAIL() << "the program stopped reading";
            const ssize_t written = ::write(input, text.data(), std::min<std::size_t>(text.size(), 65536));
            ASSERT_GT(written, 0);
            text.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    void closeInput()
    {
        if (input >= 0) ::close(std::exchange(input, -1));
    }
    // Someone starts reading the pipe nobody read so far.
    void startReadingOutput()
    {
        if (unreadOutputEnd >= 0) collect(standardOutput, std::exchange(unreadOutputEnd, -1));
    }
    // The reader of the output goes away, as `head -1` does.
    void closeOutput()
    {
        stop(standardOutput);
        if (unreadOutputEnd >= 0) ::close(std::exchange(unreadOutputEnd, -1));
    }

    // Reads the outputs to their end and returns the exit
    // status (see killedBy); -1 if the program still runs at the deadline
    // (or never started). A program that has closed its outputs gets ten
    // seconds more to end.
    int finish(std::chrono::milliseconds deadline = std::chrono::seconds(60))
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        waitUntil(outputChanged, [&] { return !standardOutput.open && !standardError.open; }, deadline);
        if (processId <= 0) return -1;
        const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       end - std::chrono::steady_clock::now()),
                                   std::chrono::milliseconds(std::chrono::seconds(10)));
        int status = 0;
        if (!waitUntil([&] { return ::waitpid(processId, &status, WNOHANG) == processId; }, left)) return -1;
        processId = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : killedBy(WTERMSIG(status));
    }

private:
    struct Setup {
        const ChildOptions& options;
        char** argv;
        char** environment;
        const char* folder;
        const char* terminal;
        int input, output, errors;
    };

    // The child, up to exec: async-signal-safe calls only.
    static int start(void* context)
    {
        const auto& setup = *static_cast<const Setup*>(context);
        const auto& options = setup.options;
        ::signal(SIGPIPE, SIG_DFL);
        if (options.terminal) {
            ::setsid();
            const int terminal = ::open(setup.terminal, O_RDWR);
            ::ioctl(terminal, TIOCSCTTY, 0);
            for (const int stream : {0, 1, 2}) ::dup2(terminal, stream);
        } else {
            ::dup2(options.inputFile ? ::open(options.inputFile->c_str(), O_RDONLY) : setup.input, 0);
            ::dup2(options.outputFile ? ::open(options.outputFile, O_WRONLY) : setup.output, 1);
            ::dup2(setup.errors, 2);
        }
        if (*setup.folder && ::chdir(setup.folder) != 0) ::_exit(126);
        if (options.inChild) options.inChild();
        ::execve(setup.argv[0], setup.argv, setup.environment);
        ::_exit(127);
    }

    // Reads `fd` until it ends or `stop` says its reader has gone.
    void collect(Stream& stream, int fd)
    {
        int* stopper = &stream == &standardOutput ? stopOut : stopErr;
        if (::pipe2(stopper, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
        ChildOutput::collect(
            stream,
            [fd, stopRead = stopper[0]](char* buffer, std::size_t size) -> long {
                pollfd watched[] = {{fd, POLLIN, 0}, {stopRead, POLLIN, 0}};
                for (;;) {
                    if (::poll(watched, 2, -1) < 0 && errno == EINTR) continue;
                    if (watched[1].revents != 0) return 0;
                    const ssize_t count = ::read(fd, buffer, size);
                    // EIO from a pseudo-terminal once the program has closed it.
                    if (count >= 0 || errno != EINTR) return count;
                }
            },
            [fd] { ::close(fd); });
    }
    void stop(Stream& stream)
    {
        int* stopper = &stream == &standardOutput ? stopOut : stopErr;
        if (!stream.reader.joinable()) return;
        [[maybe_unused]] const auto written = ::write(stopper[1], "", 1);
        join(stream);
        ::close(stopper[0]);
        ::close(stopper[1]);
    }

    std::vector<std::string> arguments;
    ChildOptions options;
    std::vector<char*> argv;
    std::vector<char*> environment;
    pid_t processId = -1;
    int input = -1;
    int unreadOutputEnd = -1;
    int stopOut[2] = {-1, -1};
    int stopErr[2] = {-1, -1};
};

}  // namespace tarnwick::testsupport
