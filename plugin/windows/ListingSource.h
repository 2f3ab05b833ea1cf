#pragma once

// The Windows walk reads the file system through this seam. Tests feed it
// listings as Windows delivers them where Wine cannot make the real thing:
// links to files, dangling links, reparse points that are not links, the
// errors of network paths. Paths reach it in the extended form ("\\?\").

#include <windows.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "FileWalk.h"

namespace tarnwick::plugin::win32 {

// One entry of a folder listing, as FindFirstFileExW hands it over.
struct ListedEntry {
    const wchar_t* name = nullptr;
    DWORD attributes = 0;
    DWORD reparseTag = 0;  // meaningful with FILE_ATTRIBUTE_REPARSE_POINT only
};

class FolderListing {
public:
    virtual ~FolderListing() = default;
    // The next entry: ERROR_SUCCESS, ERROR_NO_MORE_FILES at the end, or the
    // failure. The entry's name is valid until the next call.
    virtual DWORD next(ListedEntry& entry) = 0;
};

class ListingSource {
public:
    virtual ~ListingSource() = default;
    // The listing of the folder whose path text is `folder`, separator
    // included; nothing, with `error` set, when it cannot be opened.
    virtual std::unique_ptr<FolderListing> list(const std::wstring& folder, DWORD& error) = 0;
    // The attributes of what `path` finally leads to, links followed:
    // ERROR_SUCCESS, or the failure.
    virtual DWORD targetAttributes(const std::wstring& path, DWORD& attributes) = 0;
};

// FindFirstFileExW (basic information, large fetch) and CreateFileW.
std::unique_ptr<ListingSource> windowsFileSystem();

// forEachRegularFile on the given file system. Only a link costs a query:
// its target's.
void forEachRegularFile(const std::filesystem::path& folder, ListingSource& fileSystem,
                        const std::function<void(WalkedPath)>& onFile);

}  // namespace tarnwick::plugin::win32
