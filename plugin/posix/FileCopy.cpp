#include "FileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace tarnwick::plugin {

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

}  // namespace tarnwick::plugin
