// The walk reads listings with getdents64 and opens each subfolder relative
// to its parent. recursive_directory_iterator builds and splits a path
// object per entry and looks up each folder's whole path again; on a large
// maps folder that was a quarter of the scan.
#include "FileWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "FileStatus.h"
#include "posix/UniqueFd.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

enum class Kind { regularFile, folder, other };

// A folder on the way down. Its listing lies in the walk's listing buffer
// as records of a type byte, the name and a NUL.
struct OpenFolder {
    UniqueFd handle;
    std::size_t listingBegin;
    std::size_t nextEntry;
    std::size_t pathLength;  // the folder's path text, separator included
};

class Walk {
public:
    explicit Walk(const std::function<void(WalkedPath)>& onFile) : onFile(onFile) {}

    void run(const fs::path& folder)
    {
        UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root.get() < 0) {
            throw fs::filesystem_error("cannot open folder", folder, lastError());
        }
        path = folder.native();
        if (path.empty() || path.back() != '/') {
            path += '/';
        }
        enter(std::move(root));

        while (!open.empty()) {
            OpenFolder& current = open.back();
            if (current.nextEntry == listings.size()) {
                listings.resize(current.listingBegin);
                open.pop_back();
                continue;
            }
            const auto type = static_cast<unsigned char>(listings[current.nextEntry]);
            const char* name = listings.data() + current.nextEntry + 1;
            const std::size_t nameLength = std::strlen(name);
            current.nextEntry += nameLength + 2;
            path.resize(current.pathLength);
            path.append(name, nameLength);

            switch (kindOf(current.handle.get(), name, type)) {
            case Kind::regularFile:
                onFile(path);
                break;
            case Kind::folder:
                openSubfolder(current.handle.get(), name);
                break;
            case Kind::other:
                break;
            }
        }
    }

private:
    // The listing's own type decides for everything but links and the rare
    // file system that leaves the type out, so only those cost a query.
    Kind kindOf(int parent, const char* name, unsigned char type) const
    {
        switch (type) {
        case DT_REG:
            return Kind::regularFile;
        case DT_DIR:
            return Kind::folder;
        case DT_LNK:
            return kindOfLinkTarget(parent, name);
        case DT_UNKNOWN:
            break;
        default:
            return Kind::other;
        }
        struct stat status {};
        if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return unlessFailed(lastError());
        }
        if (S_ISLNK(status.st_mode)) {
            return kindOfLinkTarget(parent, name);
        }
        return S_ISREG(status.st_mode) ? Kind::regularFile : S_ISDIR(status.st_mode) ? Kind::folder : Kind::other;
    }

    // A link counts as the file it points to; a linked folder is not entered.
    Kind kindOfLinkTarget(int parent, const char* name) const
    {
        struct stat status {};
        if (::fstatat(parent, name, &status, 0) != 0) {
            return unlessFailed(lastError());
        }
        return S_ISREG(status.st_mode) ? Kind::regularFile : Kind::other;
    }

    // An entry gone since the listing, or a link to nothing, is no entry.
    Kind unlessFailed(const std::error_code& error) const
    {
        if (!meansNoEntry(error)) {
            throw fs::filesystem_error("cannot query", fs::path(path), error);
        }
        return Kind::other;
    }

    void openSubfolder(int parent, const char* name)
    {
        // Not following links: a folder replaced by a link since the listing
        // is not entered, as a linked folder never is.
        UniqueFd subfolder(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (subfolder.get() < 0) {
            const auto error = lastError();
            if (meansNoEntry(error)) {
                return;
            }
            throw fs::filesystem_error("cannot open folder", fs::path(path), error);
        }
        path += '/';
        enter(std::move(subfolder));
    }

    void enter(UniqueFd folder)
    {
        const std::size_t listingBegin = listings.size();
        readListing(folder.get());
        open.push_back({std::move(folder), listingBegin, listingBegin, path.size()});
    }

    void readListing(int folder)
    {
        for (;;) {
            const ssize_t filled = ::getdents64(folder, buffer.get(), bufferSize);
            if (filled == 0) {
                return;
            }
            if (filled < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw fs::filesystem_error("cannot read folder", fs::path(path), lastError());
            }
            for (std::size_t offset = 0; offset < static_cast<std::size_t>(filled);) {
                // The kernel fills the buffer with dirent64 records, each
                // aligned for the structure.
                const auto* record = reinterpret_cast<const dirent64*>(buffer.get() + offset);
                offset += record->d_reclen;
                const char* name = record->d_name;
                if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                    continue;
                }
                listings.push_back(static_cast<char>(record->d_type));
                listings.insert(listings.end(), name, name + std::strlen(name) + 1);
            }
        }
    }

    static constexpr std::size_t bufferSize = 64 * 1024;

    const std::function<void(WalkedPath)>& onFile;
    std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    std::vector<char> listings;
    std::vector<OpenFolder> open;
    std::string path;
};

}  // namespace

void forEachRegularFile(const fs::path& folder, const std::function<void(WalkedPath)>& onFile)
{
    Walk(onFile).run(folder);
}

}  // namespace tarnwick::plugin
