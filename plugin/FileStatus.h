#pragma once

#include <filesystem>
#include <system_error>

namespace tarnwick::plugin {

// The file-system queries every operation shares, with the system's own
// answers: on Windows the Windows API, never the C++ runtime's emulation.

// The errors that mean "no such entry" rather than a failed query. On
// Windows these are the system's file not found, path not found, bad network
// path and invalid name, and nothing else.
bool meansNoEntry(const std::error_code& error);

// Status following symbolic links; a missing entry gives file_type::not_found.
// Any other failure raises std::filesystem::filesystem_error(operation, path).
std::filesystem::file_status statusOf(const std::filesystem::path& path, const char* operation);
bool pathExists(const std::filesystem::path& path);

// The file or folder `path` leads to once every link on the way is followed,
// as the system resolves it. Raises std::filesystem::filesystem_error.
std::filesystem::path finalPathOf(const std::filesystem::path& path);

// `path` in the form the system's file calls take at any length: on Windows
// absolute, after "\\?\" ("\\?\UNC\" for a share); elsewhere as it is.
std::filesystem::path systemPath(const std::filesystem::path& path);
// The same path as the user gave it or would: without that prefix.
std::filesystem::path displayPath(const std::filesystem::path& path);

// True for a symbolic link (on Windows also a junction or another name
// surrogate), which a save changes the target of, not itself.
bool isLink(const std::filesystem::path& path);

// True when `path`, links followed, is a file that holds no bytes: a map
// created and not yet written. Raises std::filesystem::filesystem_error.
bool holdsNoBytes(const std::filesystem::path& path);

#if defined(_WIN32)
// The attributes of what `path` finally leads to, links and junctions
// followed: ERROR_SUCCESS, or the failure's code.
unsigned long attributesFollowingLinks(const wchar_t* path, unsigned long& attributes);
#endif

}  // namespace tarnwick::plugin
