// Narrow text in the process code page, converted by the Windows API.
#include "Text.h"

#include <windows.h>

#include <climits>
#include <system_error>

#include <fmt/format.h>

namespace tarnwick::host::text {

namespace {

bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

[[noreturn]] void raiseSystemError(DWORD code, const char* what)
{
    throw std::system_error(static_cast<int>(code), std::system_category(), what);
}

int lengthAsInt(std::size_t length, const char* what)
{
    if (length > static_cast<std::size_t>(INT_MAX)) raiseSystemError(ERROR_ARITHMETIC_OVERFLOW, what);
    return static_cast<int>(length);
}

// Converts without raising; false when a byte is not part of a character.
bool tryUtf16FromNarrow(std::string_view text, unsigned codePage, std::u16string& out)
{
    out.clear();
    if (text.empty()) return true;
    const int size = lengthAsInt(text.size(), "narrow text too long");
    const int wideSize = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (wideSize == 0) return false;
    out.resize(static_cast<std::size_t>(wideSize));
    return ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size,
                                 reinterpret_cast<wchar_t*>(out.data()), wideSize) != 0;
}

bool takesDefaultCharacter(unsigned codePage)
{
    // These code pages refuse a default character and best-fit flags; they
    // report unmappable characters through WC_ERR_INVALID_CHARS instead.
    return codePage != CP_UTF8 && codePage != 54936;  // GB 18030
}

// Converts without raising; the system's code when a character has no exact
// mapping, ERROR_SUCCESS otherwise.
DWORD tryNarrowFromUtf16(std::u16string_view text, unsigned codePage, std::string& out)
{
    out.clear();
    if (text.empty()) return ERROR_SUCCESS;
    const int size = lengthAsInt(text.size(), "text too long");
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    // Best fit would quietly turn a character into another ("Ā" into "A"); a
    // used default character means one had no mapping at all.
    const bool withDefault = takesDefaultCharacter(codePage);
    const DWORD flags = withDefault ? WC_NO_BEST_FIT_CHARS : WC_ERR_INVALID_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = withDefault ? &usedDefault : nullptr;
    const int narrowSize = ::WideCharToMultiByte(codePage, flags, wide, size, nullptr, 0, nullptr, usedDefaultOut);
    if (narrowSize == 0) return ::GetLastError();
    if (usedDefault) return ERROR_NO_UNICODE_TRANSLATION;
    out.resize(static_cast<std::size_t>(narrowSize));
    if (::WideCharToMultiByte(codePage, flags, wide, size, out.data(), narrowSize, nullptr, usedDefaultOut) == 0) {
        return ::GetLastError();
    }
    return usedDefault ? ERROR_NO_UNICODE_TRANSLATION : ERROR_SUCCESS;
}

}  // namespace

unsigned processCodePage()
{
    if (___lc_codepage_func() == CP_UTF8) return CP_UTF8;
    return ::AreFileApisANSI() ? ::GetACP() : ::GetOEMCP();
}

std::u16string utf16FromNarrow(std::string_view text, unsigned codePage)
{
    std::u16string wide;
    if (!tryUtf16FromNarrow(text, codePage, wide)) {
        raiseSystemError(::GetLastError(), "cannot convert narrow text");
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
    if (tryUtf16FromNarrow(text, codePage, ignored)) return std::string(text);
    // Character by character: the shortest run of bytes that converts is one
    // character; a byte that starts none is escaped.
    std::string result;
    while (!text.empty()) {
        std::size_t length = 0;
        for (std::size_t candidate = 1; candidate <= std::min<std::size_t>(4, text.size()); ++candidate) {
            if (tryUtf16FromNarrow(text.substr(0, candidate), codePage, ignored)) {
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
