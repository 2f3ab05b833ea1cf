#include "Text.h"

#include <tarnwick/text/Unicode.h>

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
    return fs::path(tarnwick::text::encodeUtf8(std::u32string(text.begin(), text.end())));
}

}  // namespace tarnwick::plugin
