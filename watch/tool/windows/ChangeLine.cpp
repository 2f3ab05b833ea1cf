// The UTF-16 side of ChangeLine.h: Windows names are UTF-16, possibly with
// lone surrogates, and every line goes out as UTF-8.
#include "ChangeLine.h"

#include <tarnwick/text/Unicode.h>

#include <cstdint>
#include <cstdio>
#include <utility>

namespace tarnwick_watch {

std::string utf8(const std::wstring& text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, units] = tarnwick::text::codePointAt(std::wstring_view(text), at);
        tarnwick::text::appendUtf8(out, code);
        at += units;
    }
    return out;
}

std::string jsonString(const std::wstring& text)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, units] = tarnwick::text::codePointAt(std::wstring_view(text), at);
        at += units;
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20 || code == 0x7F || (code >= 0xD800 && code <= 0xDFFF)) {
            appendEscape(out, code);
        } else {
            tarnwick::text::appendUtf8(out, code);
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
        const auto [code, units] = tarnwick::text::codePointAt(std::wstring_view(path), at);
        at += units;
        if (code == 0x2028 || code == 0x2029) {
            appendEscape(escaped, code);
        } else if (!appendControlEscape(escaped, code)) {
            tarnwick::text::appendUtf8(escaped, code);
        }
    }
    return escaped;
}

std::string utf8Text(const filewatch::PathString& path)
{
    return utf8(path);
}

}  // namespace tarnwick_watch
