#include "file_walk.h"

#include <system_error>

#include "text.h"

namespace fs = std::filesystem;

void forEachRegularFile(const fs::path& folder, const std::function<void(WalkedPath)>& onFile)
{
    std::error_code error;
    fs::recursive_directory_iterator entry(folder, error);
    if (error) {
        throw fs::filesystem_error("cannot open folder", folder, error);
    }
    // The folder the walk enters next; named when entering it fails.
    fs::path folderToEnter;
    for (; entry != fs::recursive_directory_iterator(); entry.increment(error)) {
        if (error) {
            throw fs::filesystem_error("cannot open folder", folderToEnter, error);
        }
        folderToEnter.clear();
        // The listing's own file type decides for everything but links, so
        // only a link costs a status query.
        const bool regularFile = entry->is_regular_file(error);
        if (error && !meansNoEntry(error)) {
            throw fs::filesystem_error("cannot query", entry->path(), error);
        }
        if (regularFile) {
            onFile(entry->path().native());
        } else if (!entry->is_symlink(error) && entry->is_directory(error)) {
            folderToEnter = entry->path();
        }
    }
    if (error) {
        throw fs::filesystem_error("cannot open folder", folderToEnter, error);
    }
}
