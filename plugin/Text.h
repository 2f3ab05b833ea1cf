#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#if defined(_WIN32)
#include <tarnwick/text/CodePage.h>
#endif

namespace tarnwick::plugin {

// Conversions between the host's narrow text and file-system paths.

// Narrow text to a path, and back. Never lossy: text that cannot be converted
// exactly raises std::system_error.
std::filesystem::path pathFromNarrow(std::string_view text);
std::string narrowFromPath(const std::filesystem::path& path);
// The same for a path's text, as a walk hands it over.
std::string narrowFromNative(std::basic_string_view<std::filesystem::path::value_type> text);

// The narrow text a map the walk found is listed and loaded by. Where the
// code page cannot hold a name below the maps folder (the first
// `folderLength` characters of `file`), that name's short 8.3 form stands
// in: the system keeps those for programs limited to a code page. Nothing
// when such a name has no short form.
std::optional<std::string> narrowForListing(std::basic_string_view<std::filesystem::path::value_type> file,
                                            std::size_t folderLength);

// A path's text for a log line, whatever the code page holds: what it
// cannot hold as \uXXXX, control characters escaped as `printable` does.
std::string printablePath(std::basic_string_view<std::filesystem::path::value_type> text);

#if defined(_WIN32)
// Narrow text is in the process code page.
using tarnwick::text::processCodePage;

// The same conversions in a given code page. Bytes invalid in it, and
// characters it cannot represent exactly, raise std::system_error with the
// system's code.
std::filesystem::path pathFromNarrow(std::string_view text, unsigned codePage);
std::string narrowFromPath(const std::filesystem::path& path, unsigned codePage);

// The short 8.3 name of the last name in `path`, or that name itself where
// the volume keeps none.
using ShortNameLookup = std::function<std::wstring(const std::wstring& path)>;
// narrowForListing in a given code page, short names from `shortNameOf`.
std::optional<std::string> narrowForListing(std::wstring_view file, std::size_t folderLength, unsigned codePage,
                                            const ShortNameLookup& shortNameOf);
std::string printablePath(std::wstring_view text, unsigned codePage);

#endif

// The text with control characters escaped (\n, \r, \t, \xHH), so that it
// stays one console line.
std::string printable(std::string_view text);

// True for a line break of either kind.
bool holdsLineBreak(std::string_view text);


// The engine's wide text as a path.
std::filesystem::path pathFromWide(const std::wstring& text);

}  // namespace tarnwick::plugin
