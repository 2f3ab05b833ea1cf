#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>
#endif

#include "Tarnwick.h"
#include "GamePaths.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

namespace {

#if defined(_WIN32)
void copyWhole(const fs::path& from, const fs::path& to, std::error_code& error)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
}
#else
// fs::copy_file turns a copy the disk cut short into "Input/output error";
// this copy passes on the system's own reason ("No space left on device").
void copyWhole(const fs::path& from, const fs::path& to, std::error_code& error)
{
    struct Descriptor {
        int fd;
        ~Descriptor()
        {
            if (fd >= 0) ::close(fd);
        }
    };
    const auto fail = [&] { error.assign(errno, std::generic_category()); };
    error.clear();
    const Descriptor in{::open(from.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat status = {};
    if (in.fd < 0 || ::fstat(in.fd, &status) != 0) return fail();
    Descriptor out{::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, status.st_mode & 07777)};
    if (out.fd < 0) return fail();
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t count = ::read(in.fd, buffer.data(), buffer.size());
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            return fail();
        }
        for (ssize_t done = 0; done < count;) {
            const ssize_t written = ::write(out.fd, buffer.data() + done, static_cast<std::size_t>(count - done));
            if (written < 0) {
                if (errno == EINTR) continue;
                return fail();
            }
            done += written;
        }
    }
    if (::close(std::exchange(out.fd, -1)) != 0) fail();
}
#endif

}  // namespace

std::string Tarnwick::gameMapFolder()
{
    // Read whole, however long the working directory is.
    return narrowFromPath(gameMapFolderFor(fs::current_path()));
}

void Tarnwick::restoreUnderpass()
{
    const std::string mapFolder = gameMapFolder();
    const fs::path backup = gameWrapper->GetDataFolder() / pathFromNarrow("Labs_Underpass_P.upk");
    if (!pathExists(backup)) {
        return;
    }
    const fs::path target = pathFromNarrow(mapFolder) / pathFromNarrow("Labs_Underpass_P.upk");

    // Copy beside the target first and let the finished copy take its place,
    // so a copy that fails half-way leaves the game's file as it was.
    fs::path copy = target;
    copy += ".restoring";
    std::error_code error;
    copyWhole(backup, copy, error);
    if (error) {
        std::error_code ignored;
        fs::remove(copy, ignored);
        throw fs::filesystem_error("copy", backup, copy, error);
    }
    fs::rename(copy, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(copy, ignored);
        throw fs::filesystem_error("replace", copy, target, error);
    }

    log("Restored Labs_Underpass_P.upk");
    issueCommand("load_freeplay");
}

}  // namespace tarnwick::plugin
