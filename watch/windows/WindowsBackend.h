// The Windows backend: one overlapped ReadDirectoryChangesW on the whole
// tree at a time, and an event that ends the monitor's wait.
#pragma once

#include "../src/Backend.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>

namespace filewatch::win32 {

// Test seams; the defaults are what production uses.
struct WindowsTuning {
    DWORD bufferSize = 262144;
    // Return a Windows error code to fail ReadDirectoryChangesW (given the
    // buffer length it would be called with) or the read event's creation
    // with it; 0 makes the real call.
    std::function<DWORD(DWORD bufferLength)> readFailure;
    std::function<DWORD()> readEventFailure;
    // Runs on the monitor thread before each wait, e.g. to hold it back.
    std::function<void()> beforeWait;
    // Runs on the monitor thread after each completed read, with its number
    // of records; 0 for an overflow.
    std::function<void(std::size_t records)> afterRead;
    // Answers in place of the system whether the watched folder is pending
    // deletion; Wine never says so.
    std::function<bool()> deletePending;
};

class WindowsBackend final : public detail::Backend {
public:
    // Redirectors for network shares refuse reads of more than 64 KiB.
    static constexpr DWORD networkBufferSize = 65536;
    static constexpr DWORD notifyFilter = 0x17F;

    explicit WindowsBackend(WindowsTuning tuning = {});

    bool open(const PathString& path) override;
    void arm(detail::Batch& batch) override;
    bool collect(detail::Batch& batch) override;
    void disarm() noexcept override;
    void signalStop() noexcept override;
    void close() noexcept override;

private:
    void issueRead();
    // Blocks until the read completes (true) or stop is signalled (false).
    bool waitForRecords();
    void collectRecords(detail::Batch& batch);
    void readCompleted(std::size_t records);
    // Whether `error` from a read means that the watched directory was
    // deleted: the system refuses reads on a directory pending deletion.
    bool directoryDeleted(DWORD error);

    WindowsTuning tuning;
    UniqueHandle directory;
    UniqueHandle stopEvent;
    // Owned by the monitor thread.
    UniqueHandle readEvent;
    std::unique_ptr<std::byte[]> buffer;
    DWORD bufferLength;
    OVERLAPPED overlapped{};
    DWORD bytesReturned = 0;
    bool readOutstanding = false;
    std::size_t readsIssued = 0;
    // The watched directory was deleted; the owner is told once, then the
    // monitor idles until teardown.
    bool directoryGone = false;
    bool goneUnreported = false;
};

std::unique_ptr<detail::Backend> makeWindowsBackend(WindowsTuning tuning = {});

}  // namespace filewatch::win32
