#include "FileStatus.h"

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace tarnwick::plugin {

bool meansNoEntry(const std::error_code& error)
{
    // Every query goes through the Windows API; the C runtime's errno
    // mapping would count more failures as "no entry" than these four.
    if (error.category() != std::system_category()) {
        return false;
    }
    const auto code = static_cast<DWORD>(error.value());
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH ||
           code == ERROR_INVALID_NAME;
}

namespace {

bool startsWith(std::wstring_view text, std::wstring_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

constexpr std::wstring_view extendedPrefix = L"\\\\?\\";
constexpr std::wstring_view extendedSharePrefix = L"\\\\?\\UNC\\";

// A handle that reads attributes only, links and junctions followed: no
// data access, so no other process's sharing mode can refuse it.
std::unique_ptr<void, decltype(&::CloseHandle)> openForAttributes(const fs::path& path)
{
    HANDLE opened = ::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return {opened == INVALID_HANDLE_VALUE ? nullptr : opened, &::CloseHandle};
}

}  // namespace

fs::path systemPath(const fs::path& path)
{
    const std::wstring& text = path.native();
    if (text.empty() || startsWith(text, extendedPrefix) || startsWith(text, L"\\\\.\\")) return path;
    // The extended form takes the path as it stands: made absolute here,
    // separators and "." and ".." resolved as the system would.
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(text.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        // Nothing to make of it: the call the path is for says why.
        if (length == 0) return path;
        const bool fits = length < full.size();
        full.resize(length);
        if (fits) break;
    }
    if (startsWith(full, L"\\\\.\\") || startsWith(full, extendedPrefix)) return fs::path(std::move(full));
    if (startsWith(full, L"\\\\")) return fs::path(std::wstring(extendedSharePrefix) + full.substr(2));
    return fs::path(std::wstring(extendedPrefix) + full);
}

fs::path displayPath(const fs::path& path)
{
    const std::wstring& text = path.native();
    if (startsWith(text, extendedSharePrefix)) return fs::path(L"\\\\" + text.substr(extendedSharePrefix.size()));
    if (startsWith(text, extendedPrefix)) return fs::path(text.substr(extendedPrefix.size()));
    return path;
}

fs::path finalPathOf(const fs::path& path)
{
    const auto fail = [&](DWORD code) {
        throw fs::filesystem_error("cannot resolve", path,
                                   std::error_code(static_cast<int>(code), std::system_category()));
    };
    // The C++ runtime's status emulation does not see links; the system
    // follows them when it opens the file.
    const auto file = openForAttributes(path);
    if (!file) fail(::GetLastError());

    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(file.get(), text.data(), static_cast<DWORD>(text.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) fail(::GetLastError());
        // Too small a buffer gives the size it needs, terminator included.
        const bool fits = length < text.size();
        text.resize(length);
        if (fits) break;
    }
    return fs::path(std::move(text));
}

unsigned long attributesFollowingLinks(const wchar_t* path, unsigned long& attributes)
{
    // Opening follows every link and junction to its end, where
    // GetFileAttributesExW would describe the link itself.
    HANDLE file = ::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
    FILE_BASIC_INFO information{};
    DWORD error = ERROR_SUCCESS;
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &information, sizeof information)) {
        error = ::GetLastError();
    }
    ::CloseHandle(file);
    attributes = information.FileAttributes;
    return error;
}

fs::file_status statusOf(const fs::path& path, const char* operation)
{
    // One query for what is not a link; a link costs a second, following it.
    const fs::path queried = systemPath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    DWORD error = ERROR_SUCCESS;
    DWORD attributes = 0;
    if (!::GetFileAttributesExW(queried.c_str(), GetFileExInfoStandard, &data)) {
        error = ::GetLastError();
    } else {
        attributes = data.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            error = attributesFollowingLinks(queried.c_str(), attributes);
        }
    }
    if (error != ERROR_SUCCESS) {
        const std::error_code code(static_cast<int>(error), std::system_category());
        if (meansNoEntry(code)) return fs::file_status(fs::file_type::not_found);
        throw fs::filesystem_error(operation, path, code);
    }
    return fs::file_status((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? fs::file_type::directory
                                                                        : fs::file_type::regular);
}

bool isLink(const fs::path& path)
{
    // The listing carries the reparse tag; tag 0 is how Wine shows its Unix links.
    WIN32_FIND_DATAW data;
    HANDLE found = ::FindFirstFileExW(systemPath(path).c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                      nullptr, 0);
    if (found == INVALID_HANDLE_VALUE) return false;
    ::FindClose(found);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0));
}

bool holdsNoBytes(const fs::path& path)
{
    const auto file = openForAttributes(path);
    FILE_STANDARD_INFO information{};
    if (!file || !::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &information, sizeof information)) {
        throw fs::filesystem_error("status", path,
                                   std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
    }
    return !information.Directory && information.EndOfFile.QuadPart == 0;
}

}  // namespace tarnwick::plugin
