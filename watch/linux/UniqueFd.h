#pragma once

#include <unistd.h>

#include <utility>

namespace filewatch::inotify {

// Owns one file descriptor and closes it exactly once.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.fd, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd; }
    explicit operator bool() const noexcept { return fd >= 0; }

    void reset(int replacement = -1) noexcept
    {
        if (fd >= 0) {
            // No retry on EINTR: Linux has released the descriptor either way.
            ::close(fd);
        }
        fd = replacement;
    }

private:
    int fd = -1;
};

}  // namespace filewatch::inotify
