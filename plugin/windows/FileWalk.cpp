// The walk reads listings with FindFirstFileExW and decides by the
// attributes they carry. std::filesystem is no help here: MinGW's runtime
// answers symlink_status with a stat that follows links, so it entered
// folder links and junctions (one to a parent recursed until the path was too
// long) and queried every entry once more.
#include "windows/ListingSource.h"

#include <system_error>
#include <utility>
#include <vector>

#include "FileStatus.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin::win32 {

namespace {

std::error_code systemError(DWORD code)
{
    return {static_cast<int>(code), std::system_category()};
}

bool isDotOrDotDot(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

class FindListing final : public FolderListing {
public:
    FindListing(HANDLE handle, const WIN32_FIND_DATAW& first) : handle(handle), data(first) {}
    FindListing(const FindListing&) = delete;
    FindListing& operator=(const FindListing&) = delete;
    ~FindListing() override { ::FindClose(handle); }

    DWORD next(ListedEntry& entry) override
    {
        // FindFirstFileExW already read the first entry.
        if (!std::exchange(firstPending, false) && !::FindNextFileW(handle, &data)) {
            return ::GetLastError();
        }
        // With a reparse point, the listing puts its tag in dwReserved0.
        entry = {data.cFileName, data.dwFileAttributes, data.dwReserved0};
        return ERROR_SUCCESS;
    }

private:
    HANDLE handle;
    WIN32_FIND_DATAW data;
    bool firstPending = true;
};

class WindowsFileSystem final : public ListingSource {
public:
    std::unique_ptr<FolderListing> list(const std::wstring& folder, DWORD& error) override
    {
        pattern.assign(folder).push_back(L'*');
        WIN32_FIND_DATAW first;
        // The short 8.3 name is of no use here, and a larger buffer saves
        // round trips on large folders.
        HANDLE handle = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &first, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH);
        if (handle == INVALID_HANDLE_VALUE) {
            error = ::GetLastError();
            return nullptr;
        }
        return std::make_unique<FindListing>(handle, first);
    }

    DWORD targetAttributes(const std::wstring& path, DWORD& attributes) override
    {
        return attributesFollowingLinks(path.c_str(), attributes);
    }

private:
    std::wstring pattern;
};

enum class Kind { regularFile, folder, other };

class Walk {
public:
    Walk(ListingSource& fileSystem, const std::function<void(WalkedPath)>& onFile)
        : fileSystem(fileSystem), onFile(onFile)
    {
    }

    void run(const fs::path& folder)
    {
        path = folder.native();
        if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) {
            path += L'\\';
        }
        // The system is asked in the extended form, which holds any length;
        // the names below are joined to both forms alike.
        systemRoot = systemPath(path).native();
        if (systemRoot.back() != L'\\') {
            systemRoot += L'\\';
        }
        shownRootLength = path.size();
        DWORD error = ERROR_SUCCESS;
        auto root = fileSystem.list(systemText(), error);
        if (!root) {
            // A drive's root has no "." or "..": empty, it lists nothing at all.
            if (error == ERROR_FILE_NOT_FOUND) {
                return;
            }
            throw fs::filesystem_error("cannot open folder", folder, systemError(rootError(folder, error)));
        }
        open.push_back({std::move(root), path.size()});

        ListedEntry entry;
        while (!open.empty()) {
            OpenFolder& current = open.back();
            const DWORD result = current.listing->next(entry);
            if (result == ERROR_NO_MORE_FILES) {
                open.pop_back();
                continue;
            }
            if (result != ERROR_SUCCESS) {
                const fs::path failed = open.size() == 1 ? folder : fs::path(path.substr(0, current.pathLength - 1));
                throw fs::filesystem_error("cannot read folder", failed, systemError(result));
            }
            if (isDotOrDotDot(entry.name)) {
                continue;
            }
            path.resize(current.pathLength);
            path += entry.name;

            switch (kindOf(entry)) {
            case Kind::regularFile:
                onFile(path);
                break;
            case Kind::folder:
                openSubfolder();
                break;
            case Kind::other:
                break;
            }
        }
    }

private:
    struct OpenFolder {
        std::unique_ptr<FolderListing> listing;
        std::size_t pathLength;  // the folder's path text, separator included
    };

    // A link (a reparse point whose tag is a name surrogate: a symbolic link,
    // a junction) counts as what it leads to, and a linked folder is never
    // entered. Other reparse points, such as cloud-sync placeholders and
    // deduplicated files, are the user's own files and folders. Wine lists
    // its Unix links with tag 0.
    static bool isLink(const ListedEntry& entry)
    {
        return (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
               (entry.reparseTag == 0 || IsReparseTagNameSurrogate(entry.reparseTag));
    }

    // The listing's attributes decide for everything but links.
    Kind kindOf(const ListedEntry& entry)
    {
        if (!isLink(entry)) {
            return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::folder : Kind::regularFile;
        }
        DWORD target = 0;
        if (const DWORD error = fileSystem.targetAttributes(systemText(), target); error != ERROR_SUCCESS) {
            // A link to nothing is not a file.
            if (meansNoEntry(systemError(error))) {
                return Kind::other;
            }
            throw fs::filesystem_error("cannot query", fs::path(path), systemError(error));
        }
        return (target & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::other : Kind::regularFile;
    }

    void openSubfolder()
    {
        path += L'\\';
        DWORD error = ERROR_SUCCESS;
        auto listing = fileSystem.list(systemText(), error);
        if (!listing) {
            // Gone since its parent was listed.
            if (meansNoEntry(systemError(error))) {
                return;
            }
            path.pop_back();
            throw fs::filesystem_error("cannot open folder", fs::path(path), systemError(error));
        }
        open.push_back({std::move(listing), path.size()});
    }

    // A file named as the folder to walk: Windows says "directory name
    // invalid" (Wine says "invalid name", which would read as no entry).
    DWORD rootError(const fs::path& folder, DWORD error)
    {
        DWORD attributes = 0;
        if (fileSystem.targetAttributes(systemPath(folder).native(), attributes) == ERROR_SUCCESS &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return ERROR_DIRECTORY;
        }
        return error;
    }

    // The current path in the extended form.
    const std::wstring& systemText()
    {
        system.assign(systemRoot).append(path, shownRootLength);
        return system;
    }

    ListingSource& fileSystem;
    const std::function<void(WalkedPath)>& onFile;
    std::vector<OpenFolder> open;
    std::wstring path;  // as the folder was given, then the names
    std::wstring systemRoot;
    std::size_t shownRootLength = 0;
    std::wstring system;
};

}  // namespace

std::unique_ptr<ListingSource> windowsFileSystem()
{
    return std::make_unique<WindowsFileSystem>();
}

void forEachRegularFile(const fs::path& folder, ListingSource& fileSystem,
                        const std::function<void(WalkedPath)>& onFile)
{
    Walk(fileSystem, onFile).run(folder);
}

}  // namespace tarnwick::plugin::win32

namespace tarnwick::plugin {

void forEachRegularFile(const fs::path& folder, const std::function<void(WalkedPath)>& onFile)
{
    win32::WindowsFileSystem fileSystem;
    win32::forEachRegularFile(folder, fileSystem, onFile);
}

}  // namespace tarnwick::plugin
