#include "FileStatus.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace tarnwick::plugin {

bool meansNoEntry(const std::error_code& error)
{
#if defined(_WIN32)
    // Every query goes through the Windows API; the C runtime's errno
    // mapping would count more failures as "no entry" than these four.
    if (error.category() != std::system_category()) {
        return false;
    }
    const auto code = static_cast<DWORD>(error.value());
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH ||
           code == ERROR_INVALID_NAME;
#else
    // A dangling link, a file used as a folder and a link loop all leave
    // nothing at the end of the path.
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
           error == std::errc::too_many_symbolic_link_levels || error == std::errc::invalid_argument ||
           error == std::errc::filename_too_long;
#endif
}

bool pathExists(const fs::path& path)
{
    const auto type = statusOf(path, "exists").type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

}  // namespace tarnwick::plugin
