#include "FileCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "posix/UniqueFd.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

void copyInto(const fs::path& from, FileBeside& to)
{
    const auto fail = [&] {
        throw fs::filesystem_error("copy", from, std::error_code(errno, std::generic_category()));
    };
    const UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) fail();
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t count = ::read(in.get(), buffer.data(), buffer.size());
        if (count == 0) return;
        if (count < 0) {
            if (errno == EINTR) continue;
            fail();
        }
        to.write(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    }
}

}  // namespace tarnwick::plugin
