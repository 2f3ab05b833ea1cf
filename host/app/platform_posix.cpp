#include "platform.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <utility>

#include <fmt/format.h>

namespace tarnwick::host::app {

std::filesystem::path executablePath()
{
    return std::filesystem::read_symlink("/proc/self/exe");
}

bool standardInputIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

LineReader::LineReader(const std::optional<std::filesystem::path>& script, std::optional<std::string> prompt,
                       LineCallback onLine, EndCallback onEnd)
    : prompt_(std::move(prompt)), onLine_(std::move(onLine)), onEnd_(std::move(onEnd))
{
    if (script) {
        input_ = ::open(script->c_str(), O_RDONLY | O_CLOEXEC);
        if (input_ < 0) {
            throw std::system_error(errno, std::system_category(),
                                    fmt::format("cannot open script {}", script->string()));
        }
        ownsInput_ = true;
    } else {
        input_ = STDIN_FILENO;
    }
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        const int code = errno;
        if (ownsInput_) ::close(input_);
        throw std::system_error(code, std::system_category(), "cannot create the input reader's stop pipe");
    }
    stopRead_ = pipe[0];
    stopWrite_ = pipe[1];
    thread_ = std::thread([this] { read(); });
}

LineReader::~LineReader()
{
    const char stop = 0;
    while (::write(stopWrite_, &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    ::close(stopWrite_);
    ::close(stopRead_);
    if (ownsInput_) ::close(input_);
}

void LineReader::read()
{
    std::string pending;
    const auto deliverLines = [&] {
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            onLine_(std::move(line));
        }
    };
    for (;;) {
        if (prompt_) std::cout << *prompt_ << std::flush;
        bool haveLine = false;
        while (!haveLine) {
            pollfd watched[2] = {{input_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR) continue;
                std::cerr << "tarnwick-host: waiting for input failed: " << std::strerror(errno) << '\n';
                onEnd_();
                return;
            }
            if (watched[1].revents != 0) return;
            char buffer[4096];
            const ssize_t count = ::read(input_, buffer, sizeof buffer);
            if (count < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                std::cerr << "tarnwick-host: reading input failed: " << std::strerror(errno) << '\n';
                onEnd_();
                return;
            }
            if (count == 0) {
                // A last line without a line break still counts.
                if (!pending.empty()) onLine_(std::exchange(pending, {}));
                onEnd_();
                return;
            }
            pending.append(buffer, static_cast<std::size_t>(count));
            haveLine = pending.find('\n') != std::string::npos;
        }
        deliverLines();
    }
}

}  // namespace tarnwick::host::app
