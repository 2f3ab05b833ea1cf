// UTF-8, UTF-16 and UTF-32, with every check in one place: overlong forms,
// surrogates and code points past U+10FFFF are how invalid text gets past
// a decoder that is not strict.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick::text {

constexpr bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool isScalarValue(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

// The length of the well-formed UTF-8 sequence at the start of `bytes`, its
// code point in `decoded`; nothing if it is not one.
std::optional<std::size_t> utf8Sequence(std::string_view bytes, char32_t& decoded);

// Appends `c` as UTF-8. A lone surrogate, which a Windows name may hold, is
// encoded like any other code point (WTF-8), so that no name is lost; the
// strict conversions below refuse it.
void appendUtf8(std::string& out, char32_t c);

// The code point at `at` of UTF-16 `units` (char16_t, or wchar_t on
// Windows) and how many units it takes; a lone surrogate stands for itself.
template <class Unit>
std::pair<char32_t, std::size_t> codePointAt(std::basic_string_view<Unit> units, std::size_t at)
{
    static_assert(sizeof(Unit) == 2, "UTF-16 code units");
    const char32_t unit = static_cast<char16_t>(units[at]);
    if (isHighSurrogate(unit) && at + 1 < units.size()) {
        const char32_t next = static_cast<char16_t>(units[at + 1]);
        if (isLowSurrogate(next)) {
            return {0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), 2};
        }
    }
    return {unit, 1};
}

// Strict: invalid input raises std::system_error (illegal_byte_sequence).
std::u32string decodeUtf8(std::string_view bytes);
std::string encodeUtf8(std::u32string_view codePoints);
std::u32string decodeUtf16(std::u16string_view units);
std::u16string encodeUtf16(std::u32string_view codePoints);

}  // namespace tarnwick::text
