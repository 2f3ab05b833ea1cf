#pragma once

#include <windows.h>

#include <utility>

namespace filewatch::win32 {

// Owns one kernel handle and closes it exactly once. Both null and
// INVALID_HANDLE_VALUE mean "none": CreateFileW fails with the one,
// CreateEventW with the other.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.handle, nullptr));
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return handle; }
    explicit operator bool() const noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

    void reset(HANDLE replacement = nullptr) noexcept
    {
        if (*this) {
            ::CloseHandle(handle);
        }
        handle = replacement;
    }

private:
    HANDLE handle = nullptr;
};

}  // namespace filewatch::win32
