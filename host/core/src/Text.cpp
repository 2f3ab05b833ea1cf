#include "Text.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <system_error>

#include <fmt/format.h>


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

std::string escapeUtf8Controls(std::string_view bytes)
{
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

}  // namespace tarnwick::host::text
