#include "Text.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

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

std::optional<std::string> narrowForListing(std::string_view file, std::size_t)
{
    return std::string(file);
}

std::string printablePath(std::string_view text)
{
    return printable(text);
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

}  // namespace tarnwick::plugin
