#include "ReplaceWhole.h"

#include <windows.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "FileStatus.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

namespace {

[[noreturn]] void fail(const fs::path& target, DWORD code)
{
    throw fs::filesystem_error("cannot replace", target,
                               std::error_code(static_cast<int>(code), std::system_category()));
}

// The file to replace: where `target` is a link the user keeps, the file it
// leads to, so that the link stays.
fs::path fileLinkLeadsTo(const fs::path& target)
{
    const fs::path file = systemPath(target);
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return finalPathOf(target);
    }
    return file;
}

// Scanners, the search indexer and backup tools open a freshly written file
// for a moment, and meanwhile the system refuses to replace or remove it.
bool heldByAnotherProgram(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

DWORD replaceOnce(const fs::path& file, const fs::path& beside)
{
    // ReplaceFileW keeps the replaced file's attributes and security.
    if (::ReplaceFileW(file.c_str(), beside.c_str(), nullptr,
                       REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = ::GetLastError();
    // Nothing to replace: a first page, or one ReplaceFileW removed before
    // failing to move the new one in.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return error;
    return ::MoveFileExW(beside.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING) ? ERROR_SUCCESS
                                                                                  : ::GetLastError();
}

}  // namespace

FileBeside::FileBeside(const fs::path& target, fs::path path)
    : target(target), path(std::move(path)), handle(INVALID_HANDLE_VALUE)
{
}

FileBeside::~FileBeside()
{
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
}

void FileBeside::write(std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr)) fail(target, ::GetLastError());
        bytes.remove_prefix(written);
    }
}

void FileBeside::close()
{
    if (!::CloseHandle(std::exchange(handle, INVALID_HANDLE_VALUE))) fail(target, ::GetLastError());
}

void replaceWhole(const fs::path& target, std::string_view suffix, const std::function<void(FileBeside&)>& fill)
{
    const fs::path file = fileLinkLeadsTo(target);
    FileBeside beside(target, {});
    for (int attempt = 0; beside.handle == INVALID_HANDLE_VALUE; ++attempt) {
        beside.path = freshNameBeside(file, suffix);
        // Exclusive: never a file that is there already, nor through a link.
        beside.handle = ::CreateFileW(beside.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
        if (beside.handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt == 100) fail(target, error);
        }
    }
    try {
        fill(beside);
        beside.close();
        // Nothing tells when another program lets go of the file: the replace
        // is tried again every 50 ms for up to 750 ms. A bounded retry of the
        // system's refusal, not a wait for anything of ours.
        DWORD error = replaceOnce(file, beside.path);
        for (int retry = 0; heldByAnotherProgram(error) && retry < 15; ++retry) {
            ::Sleep(50);
            error = replaceOnce(file, beside.path);
        }
        if (error != ERROR_SUCCESS) fail(target, error);
    } catch (...) {
        // Closed first: it is open without delete sharing.
        if (beside.handle != INVALID_HANDLE_VALUE) ::CloseHandle(std::exchange(beside.handle, INVALID_HANDLE_VALUE));
        ::DeleteFileW(beside.path.c_str());
        throw;
    }
}

}  // namespace tarnwick::plugin
