#include "Text.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <system_error>

#include <fmt/format.h>

#if defined(_WIN32)
#include <windows.h>

#include <climits>
#endif

namespace tarnwick::host::text {
namespace {

[[noreturn]] void invalid(const char* what)
{
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), what);
}

bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool isScalarValue(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

// Length of the valid UTF-8 sequence at the start of `bytes`, or nothing.
std::optional<std::size_t> validSequence(std::string_view bytes, char32_t& decoded)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        decoded = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (bytes.size() < length) return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    // Overlong forms and encoded surrogates are how invalid text sneaks past
    // naive decoders; reject them like any other bad byte.
    if (value < minimum || !isScalarValue(value)) return std::nullopt;
    decoded = value;
    return length;
}

}  // namespace

std::u32string decodeUtf16(std::u16string_view units)
{
    std::u32string result;
    result.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t unit = units[i];
        if (isHighSurrogate(unit)) {
            if (i + 1 == units.size() || !isLowSurrogate(units[i + 1])) invalid("unpaired UTF-16 high surrogate");
            const char32_t low = units[++i];
            result.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (isLowSurrogate(unit)) {
            invalid("unpaired UTF-16 low surrogate");
        } else {
            result.push_back(unit);
        }
    }
    return result;
}

std::u16string encodeUtf16(std::u32string_view codePoints)
{
    std::u16string result;
    result.reserve(codePoints.size());
    for (const char32_t c : codePoints) {
        if (!isScalarValue(c)) invalid("not a Unicode scalar value");
        if (c < 0x10000) {
            result.push_back(static_cast<char16_t>(c));
        } else {
            const char32_t offset = c - 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        }
    }
    return result;
}

std::u32string decodeUtf8(std::string_view bytes)
{
    std::u32string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t c = 0;
        const auto length = validSequence(bytes, c);
        if (!length) invalid("invalid UTF-8 sequence");
        result.push_back(c);
        bytes.remove_prefix(*length);
    }
    return result;
}

std::string encodeUtf8(std::u32string_view codePoints)
{
    std::string result;
    result.reserve(codePoints.size());
    for (const char32_t c : codePoints) {
        if (!isScalarValue(c)) invalid("not a Unicode scalar value");
        if (c < 0x80) {
            result.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            result.push_back(static_cast<char>(0xC0 | (c >> 6)));
            result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            result.push_back(static_cast<char>(0xE0 | (c >> 12)));
            result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            result.push_back(static_cast<char>(0xF0 | (c >> 18)));
            result.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return result;
}

std::wstring toWide(std::u32string_view codePoints)
{
    if constexpr (sizeof(wchar_t) == sizeof(char32_t)) {
        return {codePoints.begin(), codePoints.end()};
    } else {
        const std::u16string units = encodeUtf16(codePoints);
        return {units.begin(), units.end()};
    }
}

std::string escapeInvalidUtf8(std::string_view bytes)
{
    std::string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t ignored = 0;
        if (const auto length = validSequence(bytes, ignored)) {
            result.append(bytes.substr(0, *length));
            bytes.remove_prefix(*length);
        } else {
            result += fmt::format("\\x{:02X}", static_cast<unsigned char>(bytes.front()));
            bytes.remove_prefix(1);
        }
    }
    return result;
}

std::string escapeControls(std::string_view bytes)
{
#if defined(_WIN32)
    if (processCodePage() != CP_UTF8) {
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
#endif
    std::string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t c = 0;
        const auto length = validSequence(bytes, c);
        if (!length || c < 0x20 || c == 0x7F) {
            result += fmt::format("\\x{:02X}", static_cast<unsigned char>(bytes.front()));
            bytes.remove_prefix(1);
        } else if (c >= 0x80 && c <= 0x9F) {
            result += fmt::format("\\u{:04X}", static_cast<std::uint32_t>(c));
            bytes.remove_prefix(*length);
        } else {
            result.append(bytes.substr(0, *length));
            bytes.remove_prefix(*length);
        }
    }
    return result;
}

std::string_view takeLine(std::string_view& text)
{
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

#if defined(_WIN32)

namespace {

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

#else

std::u16string utf16FromNarrow(std::string_view text) { return encodeUtf16(decodeUtf8(text)); }

std::string narrowFromUtf16(std::u16string_view text) { return encodeUtf8(decodeUtf16(text)); }

std::filesystem::path pathFromNarrow(std::string_view text) { return std::filesystem::path(std::string(text)); }

std::string escapeInvalidNarrow(std::string_view text) { return escapeInvalidUtf8(text); }

std::string utf8FromNarrow(std::string_view text) { return escapeInvalidUtf8(text); }

std::string narrowFromPath(const std::filesystem::path& path) { return path.string(); }

std::string narrowEncodingName() { return "UTF-8"; }

#endif

}  // namespace tarnwick::host::text
