// What a process holds open, for the tests that prove nothing leaks.
#pragma once

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fstream>
#endif

namespace tarnwick::testsupport {

// Open descriptors, or on Windows open handles, of this process.
inline std::size_t openHandles()
{
#if defined(_WIN32)
    DWORD handles = 0;
    if (!::GetProcessHandleCount(::GetCurrentProcess(), &handles)) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "cannot count handles");
    }
    return handles;
#else
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
#endif
}

#if !defined(_WIN32)
// The inotify instances `process` ("self" or a process id) has open, each
// with the number of watches the kernel lists for it; none once it is gone.
inline std::vector<std::size_t> inotifyInstances(const std::string& process = "self")
{
    std::vector<std::size_t> watchesPerInstance;
    const std::filesystem::path proc = "/proc/" + process;
    std::error_code gone;
    for (std::filesystem::directory_iterator fd(proc / "fd", gone), end; !gone && fd != end; fd.increment(gone)) {
        std::error_code closed;
        if (std::filesystem::read_symlink(fd->path(), closed) != "anon_inode:inotify") continue;
        std::ifstream info(proc / "fdinfo" / fd->path().filename());
        std::size_t watches = 0;
        for (std::string line; std::getline(info, line);) {
            watches += line.starts_with("inotify wd:");
        }
        watchesPerInstance.push_back(watches);
    }
    return watchesPerInstance;
}
#endif

}  // namespace tarnwick::testsupport
