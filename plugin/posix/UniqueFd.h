#pragma once

#include <unistd.h>

#include <utility>

namespace tarnwick::plugin {

// Owns one open descriptor, or none (-1), and closes it exactly once.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
    UniqueFd& operator=(UniqueFd other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    ~UniqueFd()
    {
        if (fd >= 0) ::close(fd);
    }

    int get() const noexcept { return fd; }
    // Gives the descriptor up, to a close whose failure matters.
    int release() noexcept { return std::exchange(fd, -1); }

private:
    int fd;
};

}  // namespace tarnwick::plugin
