#include "Text.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <system_error>

#include <fmt/format.h>

namespace tarnwick::host::text {

using ::tarnwick::text::utf8Sequence;

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
        if (const auto length = utf8Sequence(bytes, ignored)) {
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
        const auto length = utf8Sequence(bytes, c);
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
