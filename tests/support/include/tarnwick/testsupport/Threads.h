#pragma once

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>
#endif

namespace tarnwick::testsupport {

// The first thread a process starts may bring a runtime thread of its own
// (ThreadSanitizer's): this starts one, once, before anything is counted.
inline void warmUpThreads()
{
    [[maybe_unused]] static const bool warmedUp = (std::thread([] {}).join(), true);
}

// Threads of this process, warmed up first.
inline std::size_t runningThreads()
{
    warmUpThreads();
#if defined(_WIN32)
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot list the threads");
    std::size_t threads = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        threads += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    }
    ::CloseHandle(snapshot);
    return threads;
#else
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                  std::filesystem::directory_iterator()));
#endif
}

}  // namespace tarnwick::testsupport
