#include "FileCopy.h"

#include <windows.h>

#include <memory>
#include <system_error>
#include <vector>

#include "FileStatus.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

void copyInto(const fs::path& from, FileBeside& to)
{
    const auto fail = [&] {
        throw fs::filesystem_error("copy", from,
                                   std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
    };
    HANDLE opened = ::CreateFileW(systemPath(from).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) fail();
    const std::unique_ptr<void, decltype(&::CloseHandle)> in(opened, &::CloseHandle);
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr)) fail();
        if (count == 0) return;
        to.write(std::string_view(buffer.data(), count));
    }
}

}  // namespace tarnwick::plugin
