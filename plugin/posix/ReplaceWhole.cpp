#include "ReplaceWhole.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace tarnwick::plugin {

namespace {

[[noreturn]] void fail(const fs::path& target, int code)
{
    throw fs::filesystem_error("cannot replace", target, std::error_code(code, std::generic_category()));
}

// The file `target` names once every symbolic link in its last name is
// followed: the new version goes there, so a link the user keeps (into a
// synced folder, say) stays a link and what it leads to gets the new text.
fs::path fileLinkLeadsTo(const fs::path& target)
{
    fs::path file = target;
    // As many links as the kernel follows in one path.
    for (int links = 0; links <= 40; ++links) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(file, error))) {
            return file;  // a failed query shows again, with its reason, when the file beside is made
        }
        const fs::path leadsTo = fs::read_symlink(file, error);
        if (error) fail(target, error.value());
        file = leadsTo.is_absolute() ? leadsTo : file.parent_path() / leadsTo;
    }
    fail(target, ELOOP);
}

// Only root may give a file away, and others only to a group they belong
// to; otherwise the new file stays the process's, as one it made anew would.
void keepOwner(int descriptor, const struct stat& replaced)
{
    if (::fchown(descriptor, replaced.st_uid, replaced.st_gid) == 0) return;
    if (::fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid) == 0) return;
}

}  // namespace

FileBeside::FileBeside(const fs::path& target, fs::path path) : target(target), path(std::move(path)) {}

FileBeside::~FileBeside() = default;

void FileBeside::write(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor.get(), bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(target, errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void FileBeside::close()
{
    if (::close(descriptor.release()) != 0) fail(target, errno);
}

void replaceWhole(const fs::path& target, std::string_view suffix, const std::function<void(FileBeside&)>& fill)
{
    const fs::path file = fileLinkLeadsTo(target);
    struct stat replaced = {};
    const bool replacing = ::stat(file.c_str(), &replaced) == 0;
    if (!replacing && errno != ENOENT) fail(target, errno);

    FileBeside beside(target, {});
    for (int attempt = 0; beside.descriptor.get() < 0; ++attempt) {
        beside.path = freshNameBeside(file, suffix);
        // Exclusive: never a file that is there already, nor through a link.
        const int made = ::open(beside.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (made < 0 && (errno != EEXIST || attempt == 100)) fail(target, errno);
        beside.descriptor = UniqueFd(made);
    }
    try {
        if (replacing) {
            // Owner first: a change of owner clears set-ID bits.
            keepOwner(beside.descriptor.get(), replaced);
            if (::fchmod(beside.descriptor.get(), replaced.st_mode & 07777) != 0) fail(target, errno);
        }
        fill(beside);
        beside.close();
        if (::rename(beside.path.c_str(), file.c_str()) != 0) fail(target, errno);
    } catch (...) {
        ::unlink(beside.path.c_str());
        throw;
    }
}

}  // namespace tarnwick::plugin
