// Narrow text in the process code page, converted by the Windows API.
#include "Text.h"

#include <windows.h>

#include <tarnwick/text/CodePage.h>

#include <system_error>

#include <fmt/format.h>

namespace tarnwick::host::text {

namespace {

using ::tarnwick::text::isHighSurrogate;
using ::tarnwick::text::isLowSurrogate;

[[noreturn]] void raiseSystemError(DWORD code, const char* what)
{
    throw std::system_error(static_cast<int>(code), std::system_category(), what);
}

// Converts without raising: ERROR_SUCCESS, or the system's code.
DWORD tryUtf16FromNarrow(std::string_view text, unsigned codePage, std::u16string& out)
{
    std::wstring wide;
    const DWORD error = ::tarnwick::text::wideFromNarrow(text, codePage, wide);
    out.assign(wide.begin(), wide.end());
    return error;
}

DWORD tryNarrowFromUtf16(std::u16string_view text, unsigned codePage, std::string& out)
{
    return ::tarnwick::text::narrowFromWide(std::wstring(text.begin(), text.end()), codePage, out);
}

}  // namespace

unsigned processCodePage()
{
    return ::tarnwick::text::processCodePage();
}

std::u16string utf16FromNarrow(std::string_view text, unsigned codePage)
{
    std::u16string wide;
    if (const DWORD error = tryUtf16FromNarrow(text, codePage, wide); error != ERROR_SUCCESS) {
        raiseSystemError(error, "cannot convert narrow text");
    }
    return wide;
}

std::string narrowFromUtf16(std::u16string_view text, unsigned codePage)
{
    std::string narrow;
    if (const DWORD error = tryNarrowFromUtf16(text, codePage, narrow); error != ERROR_SUCCESS) {
        raiseSystemError(error, "cannot convert text to the process code page");
    }
    return narrow;
}

std::string escapeInvalidNarrow(std::string_view text, unsigned codePage)
{
    if (codePage == CP_UTF8) return escapeInvalidUtf8(text);
    std::u16string ignored;
    if (tryUtf16FromNarrow(text, codePage, ignored) == ERROR_SUCCESS) return std::string(text);
    // Character by character: the shortest run of bytes that converts is one
    // character; a byte that starts none is escaped.
    std::string result;
    while (!text.empty()) {
        std::size_t length = 0;
        for (std::size_t candidate = 1; candidate <= std::min<std::size_t>(4, text.size()); ++candidate) {
            if (tryUtf16FromNarrow(text.substr(0, candidate), codePage, ignored) == ERROR_SUCCESS) {
                length = candidate;
                break;
            }
        }
        if (length == 0) {
            result += fmt::format("\\x{:02X}", static_cast<unsigned char>(text.front()));
            length = 1;
        } else {
            result.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return result;
}

std::string utf8FromNarrow(std::string_view text, unsigned codePage)
{
    if (codePage == CP_UTF8) return escapeInvalidUtf8(text);
    return encodeUtf8(decodeUtf16(utf16FromNarrow(escapeInvalidNarrow(text, codePage), codePage)));
}

std::string narrowFromPath(const std::filesystem::path& path, unsigned codePage)
{
    const std::u16string wide(path.native().begin(), path.native().end());
    std::string narrow;
    if (tryNarrowFromUtf16(wide, codePage, narrow) == ERROR_SUCCESS) return narrow;
    std::string result;
    for (std::size_t at = 0; at < wide.size();) {
        // One character: a surrogate pair, or a single unit (even half a pair).
        const bool pair = isHighSurrogate(wide[at]) && at + 1 < wide.size() && isLowSurrogate(wide[at + 1]);
        const std::u16string_view one = std::u16string_view(wide).substr(at, pair ? 2 : 1);
        at += one.size();
        if (tryNarrowFromUtf16(one, codePage, narrow) == ERROR_SUCCESS) {
            result += narrow;
        } else {
            const char32_t c = pair ? 0x10000 + ((one[0] - 0xD800) << 10) + (one[1] - 0xDC00) : one[0];
            result += fmt::format("\\u{{{:04X}}}", static_cast<std::uint32_t>(c));
        }
    }
    return result;
}

std::u16string utf16FromNarrow(std::string_view text) { return utf16FromNarrow(text, processCodePage()); }

std::string narrowFromUtf16(std::u16string_view text) { return narrowFromUtf16(text, processCodePage()); }

std::filesystem::path pathFromNarrow(std::string_view text)
{
    const std::u16string wide = utf16FromNarrow(text);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}

std::string escapeInvalidNarrow(std::string_view text) { return escapeInvalidNarrow(text, processCodePage()); }

std::string utf8FromNarrow(std::string_view text) { return utf8FromNarrow(text, processCodePage()); }

std::string narrowFromPath(const std::filesystem::path& path) { return narrowFromPath(path, processCodePage()); }

std::string narrowEncodingName()
{
    const unsigned codePage = processCodePage();
    return codePage == CP_UTF8 ? "UTF-8" : fmt::format("code page {}", codePage);
}

std::string escapeControls(std::string_view bytes)
{
    if (processCodePage() == CP_UTF8) return escapeUtf8Controls(bytes);
    // No trail byte of a double-byte code page is below 0x40, so a byte
    // below 0x20, or DEL, is always a character of its own.
    std::string result;
    for (const char c : escapeInvalidNarrow(bytes)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            result += fmt::format("\\x{:02X}", byte);
        } else {
            result += c;
        }
    }
    return result;
}

}  // namespace tarnwick::host::text
