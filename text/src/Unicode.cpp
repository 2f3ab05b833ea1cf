#include <tarnwick/text/Unicode.h>

#include <system_error>
#include <utility>

namespace tarnwick::text {

namespace {

[[noreturn]] void invalid(const char* what)
{
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), what);
}

}  // namespace

std::optional<std::size_t> utf8Sequence(std::string_view bytes, char32_t& decoded)
{
    if (bytes.empty()) return std::nullopt;
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
    if (value < minimum || !isScalarValue(value)) return std::nullopt;
    decoded = value;
    return length;
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::u32string decodeUtf8(std::string_view bytes)
{
    std::u32string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t c = 0;
        const auto length = utf8Sequence(bytes, c);
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
        appendUtf8(result, c);
    }
    return result;
}

std::u32string decodeUtf16(std::u16string_view units)
{
    std::u32string result;
    result.reserve(units.size());
    for (std::size_t at = 0; at < units.size();) {
        const auto [c, length] = codePointAt(units, at);
        if (isHighSurrogate(c)) invalid("unpaired UTF-16 high surrogate");
        if (isLowSurrogate(c)) invalid("unpaired UTF-16 low surrogate");
        result.push_back(c);
        at += length;
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

}  // namespace tarnwick::text
