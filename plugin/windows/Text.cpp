#include "Text.h"

#include "FileStatus.h"

#include <tarnwick/text/CodePage.h>

#include <windows.h>

#include <algorithm>
#include <memory>

#include <fmt/format.h>

namespace fs = std::filesystem;

namespace tarnwick::plugin {

namespace {

[[noreturn]] void raiseConversionError(DWORD code, const char* what)
{
    throw std::system_error(static_cast<int>(code), std::system_category(), what);
}

// `wide` in the code page, exactly: ERROR_SUCCESS, or why it cannot be.
DWORD convertToNarrow(std::wstring_view wide, unsigned codePage, std::string& narrow)
{
    return tarnwick::text::narrowFromWide(wide, codePage, narrow);
}

}  // namespace

fs::path pathFromNarrow(std::string_view text, unsigned codePage)
{
    std::wstring wide;
    if (const DWORD error = tarnwick::text::wideFromNarrow(text, codePage, wide); error != ERROR_SUCCESS) {
        raiseConversionError(error, "cannot convert narrow text to a path");
    }
    return fs::path(std::move(wide));
}

namespace {

std::string narrowFromWide(std::wstring_view wide, unsigned codePage)
{
    std::string narrow;
    if (const DWORD error = convertToNarrow(wide, codePage, narrow); error != ERROR_SUCCESS) {
        raiseConversionError(error, "cannot convert a path to narrow text");
    }
    return narrow;
}

std::wstring shortNameFromSystem(const std::wstring& path)
{
    const std::wstring system = systemPath(path).native();
    std::wstring shortPath(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetShortPathNameW(system.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
        if (length == 0) {
            const std::error_code error(static_cast<int>(::GetLastError()), std::system_category());
            // Gone since it was listed: nothing to name it by.
            if (meansNoEntry(error)) return fs::path(path).filename().native();
            throw fs::filesystem_error("cannot find the short name", fs::path(path), error);
        }
        // Too small a buffer gives the size it needs, terminator included.
        const bool fits = length < shortPath.size();
        shortPath.resize(length);
        if (fits) break;
    }
    return shortPath.substr(shortPath.find_last_of(L"\\/") + 1);
}

}  // namespace

std::string narrowFromPath(const fs::path& path, unsigned codePage)
{
    return narrowFromWide(path.native(), codePage);
}

fs::path pathFromNarrow(std::string_view text)
{
    return pathFromNarrow(text, processCodePage());
}

std::string narrowFromPath(const fs::path& path)
{
    return narrowFromPath(path, processCodePage());
}

std::string narrowFromNative(std::wstring_view text)
{
    return narrowFromWide(text, processCodePage());
}

std::optional<std::string> narrowForListing(std::wstring_view file, std::size_t folderLength, unsigned codePage,
                                            const ShortNameLookup& shortNameOf)
{
    std::string narrow;
    const DWORD error = convertToNarrow(file, codePage, narrow);
    if (error != ERROR_NO_UNICODE_TRANSLATION) {
        if (error != ERROR_SUCCESS) raiseConversionError(error, "cannot convert a path to narrow text");
        return narrow;
    }
    // Name by name below the maps folder, whose text came from narrow text.
    std::wstring listed(file.substr(0, folderLength));
    for (std::size_t at = folderLength; at <= file.size();) {
        const std::size_t end = std::min(file.find_first_of(L"\\/", at), file.size());
        std::wstring name(file.substr(at, end - at));
        if (convertToNarrow(name, codePage, narrow) != ERROR_SUCCESS) {
            std::wstring shortName = shortNameOf(std::wstring(file.substr(0, end)));
            if (shortName == name || convertToNarrow(shortName, codePage, narrow) != ERROR_SUCCESS) {
                return std::nullopt;
            }
            name = std::move(shortName);
        }
        listed += name;
        if (end < file.size()) listed += file[end];
        at = end + 1;
    }
    return narrowFromWide(listed, codePage);
}

std::optional<std::string> narrowForListing(std::wstring_view file, std::size_t folderLength)
{
    return narrowForListing(file, folderLength, processCodePage(), shortNameFromSystem);
}

std::string printablePath(std::wstring_view text, unsigned codePage)
{
    std::string shown;
    std::string narrow;
    for (std::size_t at = 0; at < text.size();) {
        const bool pair = IS_HIGH_SURROGATE(text[at]) && at + 1 < text.size() && IS_LOW_SURROGATE(text[at + 1]);
        const std::wstring_view character = text.substr(at, pair ? 2 : 1);
        at += character.size();
        if (convertToNarrow(character, codePage, narrow) == ERROR_SUCCESS) {
            shown += printable(narrow);
        } else if (pair) {
            const auto codePoint = 0x10000 + ((static_cast<unsigned>(character[0]) - 0xD800) << 10) +
                                   (static_cast<unsigned>(character[1]) - 0xDC00);
            shown += fmt::format("\\U{:08X}", codePoint);
        } else {
            shown += fmt::format("\\u{:04X}", static_cast<unsigned>(character[0]));
        }
    }
    return shown;
}

std::string printablePath(std::wstring_view text)
{
    return printablePath(text, processCodePage());
}

fs::path pathFromWide(const std::wstring& text)
{
    // Both are UTF-16 on Windows.
    return fs::path(text);
}

}  // namespace tarnwick::plugin
