#include "Text.h"

#include <fmt/format.h>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace tarnwick::plugin {

#if !defined(_WIN32)

// On Linux narrow text and paths are the same bytes.
fs::path pathFromNarrow(std::string_view text)
{
    return fs::path(std::string(text));
}

std::string narrowFromPath(const fs::path& path)
{
    return path.native();
}

std::string narrowFromNative(std::string_view text)
{
    return std::string(text);
}

fs::path pathFromWide(const std::wstring& text)
{
    // Wide text becomes the UTF-8 bytes the file system stores. The
    // library's own conversion goes by the C locale, which refuses anything
    // beyond ASCII.
    std::string utf8;
    utf8.reserve(text.size());
    for (const wchar_t wide : text) {
        const auto c = static_cast<char32_t>(wide);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                                    "cannot convert wide text to a path");
        }
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else if (c < 0x800) {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            utf8 += static_cast<char>(0xE0 | (c >> 12));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | (c >> 18));
            utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return fs::path(std::move(utf8));
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

#endif

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                out += fmt::format("\\x{:02X}", byte);
            } else {
                out += c;
            }
        }
    }
    return out;
}

bool holdsLineBreak(std::string_view text)
{
    // Two scans with memchr beat one find_first_of, which tests each byte
    // against the set.
    return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

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

#if !defined(_WIN32)
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
#endif

bool pathExists(const fs::path& path)
{
    const auto type = statusOf(path, "exists").type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

}  // namespace tarnwick::plugin
