// The UTF-16 side of ChangeLine.h: Windows names are UTF-16, possibly with
// lone surrogates, and every line goes out as UTF-8.
#include "ChangeLine.h"

#include <cstdint>
#include <cstdio>
#include <utility>

namespace tarnwick_watch {

namespace {

bool isHighSurrogate(unsigned unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(unsigned unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point at `at` and how many code units it takes; a lone surrogate
// stands for itself.
std::pair<unsigned, std::size_t> codePointAt(const std::wstring& text, std::size_t at)
{
    const unsigned unit = static_cast<std::uint16_t>(text[at]);
    if (isHighSurrogate(unit) && at + 1 < text.size()) {
        const unsigned next = static_cast<std::uint16_t>(text[at + 1]);
        if (isLowSurrogate(next)) {
            return {0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), 2};
        }
    }
    return {unit, 1};
}

void appendUtf8(std::string& out, unsigned code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::string utf8(const std::wstring& text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, units] = codePointAt(text, at);
        appendUtf8(out, code);
        at += units;
    }
    return out;
}

std::string jsonString(const std::wstring& text)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, units] = codePointAt(text, at);
        at += units;
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20 || code == 0x7F || (code >= 0xD800 && code <= 0xDFFF)) {
            appendEscape(out, code);
        } else {
            appendUtf8(out, code);
        }
    }
    out += '"';
    return out;
}

std::string textPath(const filewatch::PathString& path)
{
    // Windows names hold no C0 control and no backslash; a C1 control, the
    // two line breaks of Unicode and lone surrogates they may.
    std::string escaped;
    for (std::size_t at = 0; at < path.size();) {
        const auto [code, units] = codePointAt(path, at);
        at += units;
        if (code == 0x2028 || code == 0x2029) {
            appendEscape(escaped, code);
        } else if (!appendControlEscape(escaped, code)) {
            appendUtf8(escaped, code);
        }
    }
    return escaped;
}

std::string utf8Text(const filewatch::PathString& path)
{
    return utf8(path);
}

}  // namespace tarnwick_watch
