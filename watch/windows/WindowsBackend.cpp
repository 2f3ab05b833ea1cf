#include "WindowsBackend.h"

#include "NotifyRecords.h"

#include <algorithm>
#include <span>
#include <system_error>

namespace filewatch::win32 {

static_assert(offsetof(FILE_NOTIFY_INFORMATION, FileName) == notifyHeaderSize);
static_assert(std::is_same_v<RecordName, PathString>);

namespace {

[[noreturn]] void throwSystemError(DWORD error)
{
    throw std::system_error(static_cast<int>(error), std::system_category());
}

[[noreturn]] void throwLastError()
{
    throwSystemError(::GetLastError());
}

}  // namespace

WindowsBackend::WindowsBackend(WindowsTuning tuning) : tuning(std::move(tuning)), bufferLength(this->tuning.bufferSize)
{
}

bool WindowsBackend::open(const PathString& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throwLastError();
    }
    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const PathString opened = isDirectory ? path : splitPath(path).first;
    // Full sharing: the watch must not keep anyone from renaming or deleting.
    directory = UniqueHandle(::CreateFileW(opened.c_str(), FILE_LIST_DIRECTORY,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!directory) {
        throwLastError();
    }
    stopEvent = UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent) {
        throwLastError();
    }
    return isDirectory;
}

void WindowsBackend::arm(detail::Batch&)
{
    buffer = std::make_unique<std::byte[]>(bufferLength);
    const DWORD simulated = tuning.readEventFailure ? tuning.readEventFailure() : 0;
    if (simulated != 0) {
        throwSystemError(simulated);
    }
    // Without it no read can be issued: a watcher that started anyway would
    // report nothing, ever, so the constructor raises the error instead.
    readEvent = UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!readEvent) {
        throwLastError();
    }
    // Issued before the watcher reports ready, so a change made right after
    // the constructor returns is seen.
    issueRead();
}

bool WindowsBackend::collect(detail::Batch& batch)
{
    if (!readOutstanding && !directoryGone) {
        issueRead();
    }
    if (!waitForRecords()) {
        return false;
    }
    collectRecords(batch);
    return true;
}

void WindowsBackend::issueRead()
{
    for (;;) {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = readEvent.get();
        DWORD error = tuning.readFailure ? tuning.readFailure(bufferLength) : 0;
        if (error == 0) {
            if (::ReadDirectoryChangesW(directory.get(), buffer.get(), bufferLength, TRUE, notifyFilter, &bytesReturned,
                                        &overlapped, nullptr)) {
                readOutstanding = true;
                ++readsIssued;
                return;
            }
            error = ::GetLastError();
        }
        // Otherwise no read began, and waiting for one would never end.
        if (error == ERROR_INVALID_PARAMETER && bufferLength > networkBufferSize) {
            bufferLength = networkBufferSize;
            continue;
        }
        // Not at the first read: the constructor raises that one.
        if (readsIssued > 0 && directoryDeleted(error)) {
            return;
        }
        throwSystemError(error);
    }
}

bool WindowsBackend::waitForRecords()
{
    if (tuning.beforeWait) {
        tuning.beforeWait();
    }
    if (goneUnreported) {
        return true;
    }
    if (!readOutstanding) {
        // The directory is gone, so no read: idle until teardown.
        if (::WaitForSingleObject(stopEvent.get(), INFINITE) == WAIT_FAILED) {
            throwLastError();
        }
        return false;
    }
    const HANDLE waitList[2] = {readEvent.get(), stopEvent.get()};
    switch (::WaitForMultipleObjects(2, waitList, FALSE, INFINITE)) {
    case WAIT_OBJECT_0: return true;
    case WAIT_OBJECT_0 + 1: return false;
    default:
        // Looping on a failed wait would spin; end the monitor instead.
        throwLastError();
    }
}

void WindowsBackend::collectRecords(detail::Batch& batch)
{
    const auto gone = [&] {
        goneUnreported = false;
        batch.warn({WarningKind::root_removed, {}, {}, "the watched folder was deleted"});
    };
    if (goneUnreported) {
        gone();
        return;
    }
    const auto overflow = [&] {
        batch.warn({WarningKind::overflow, {}, {}, "the system's change buffer overflowed and changes were lost"});
        readCompleted(0);
    };
    DWORD bytes = 0;
    const BOOL succeeded = ::GetOverlappedResult(directory.get(), &overlapped, &bytes, TRUE);
    readOutstanding = false;
    if (!succeeded) {
        const DWORD error = ::GetLastError();
        // The system's own queue overflowed; Wine and some redirectors say so
        // with this error instead of a read of 0 bytes.
        if (error == ERROR_NOTIFY_ENUM_DIR) {
            overflow();
            return;
        }
        if (directoryDeleted(error)) {
            gone();
            return;
        }
        throwSystemError(error);
    }
    // 0 bytes: the system's own queue overflowed, and the changes are lost.
    if (bytes == 0) {
        overflow();
        return;
    }
    const std::span<const std::byte> filled(buffer.get(), std::min(bytes, bufferLength));
    auto records = walkNotifyRecords(filled);
    readCompleted(records.size());
    addChanges(records, batch);
}

bool WindowsBackend::directoryDeleted(DWORD error)
{
    if (error != ERROR_ACCESS_DENIED) {
        return false;
    }
    // Our handle keeps a deleted folder pending deletion until it closes.
    FILE_STANDARD_INFO standard{};
    const bool deletePending =
        tuning.deletePending ? tuning.deletePending()
                             : ::GetFileInformationByHandleEx(directory.get(), FileStandardInfo, &standard,
                                                              sizeof standard) &&
                                   standard.DeletePending;
    if (!deletePending) {
        return false;
    }
    directoryGone = true;
    goneUnreported = true;
    return true;
}

void WindowsBackend::readCompleted(std::size_t records)
{
    if (tuning.afterRead) {
        tuning.afterRead(records);
    }
}

void WindowsBackend::disarm() noexcept
{
    if (readOutstanding) {
        // The read must let go of the buffer before it is freed. CancelIo
        // reaches only reads of this thread: the monitor issued them all.
        ::CancelIo(directory.get());
        DWORD ignored = 0;
        ::GetOverlappedResult(directory.get(), &overlapped, &ignored, TRUE);
        readOutstanding = false;
    }
    readEvent.reset();
    buffer.reset();
}

void WindowsBackend::signalStop() noexcept
{
    if (stopEvent) {
        ::SetEvent(stopEvent.get());
    }
}

void WindowsBackend::close() noexcept
{
    directory.reset();
    stopEvent.reset();
}

std::unique_ptr<detail::Backend> makeWindowsBackend(WindowsTuning tuning)
{
    return std::make_unique<WindowsBackend>(std::move(tuning));
}

}  // namespace filewatch::win32

std::unique_ptr<filewatch::detail::Backend> filewatch::detail::makePlatformBackend()
{
    return std::make_unique<win32::WindowsBackend>();
}
