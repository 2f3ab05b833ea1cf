#include "FileStatus.h"

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace tarnwick::plugin {

bool meansNoEntry(const std::error_code& error)
{
    // A dangling link, a file used as a folder and a link loop all leave
    // nothing at the end of the path.
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
           error == std::errc::too_many_symbolic_link_levels || error == std::errc::invalid_argument ||
           error == std::errc::filename_too_long;
}

fs::path systemPath(const fs::path& path)
{
    return path;
}

fs::path displayPath(const fs::path& path)
{
    return path;
}

fs::path finalPathOf(const fs::path& path)
{
    std::error_code error;
    auto resolved = fs::canonical(path, error);
    if (error) {
        throw fs::filesystem_error("cannot resolve", path, error);
    }
    return resolved;
}

fs::file_status statusOf(const fs::path& path, const char* operation)
{
    std::error_code error;
    auto status = fs::status(path, error);
    if (error) {
        if (meansNoEntry(error)) {
            return fs::file_status(fs::file_type::not_found);
        }
        throw fs::filesystem_error(operation, path, error);
    }
    return status;
}

bool isLink(const fs::path& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool holdsNoBytes(const fs::path& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw fs::filesystem_error("status", path, std::error_code(errno, std::system_category()));
    }
    return S_ISREG(status.st_mode) && status.st_size == 0;
}

}  // namespace tarnwick::plugin
