#include "ChangeLine.h"

#include <tarnwick/text/Unicode.h>

#include <algorithm>
#include <cstdio>

namespace tarnwick_watch {

std::string textPath(const filewatch::PathString& path)
{
    // Most names are printable ASCII, with nothing to escape.
    if (std::all_of(path.begin(), path.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '\\'; })) {
        return path;
    }
    std::string escaped;
    escaped.reserve(path.size());
    for (std::string_view rest = path; !rest.empty();) {
        char32_t c = 0;
        const std::size_t length = tarnwick::text::utf8Sequence(rest, c).value_or(0);
        if (length == 0) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(rest[0])));
            escaped += escape;
            rest.remove_prefix(1);
            continue;
        }
        // The escapes begin with a backslash, so a name's own is doubled.
        if (c == '\\') {
            escaped += "\\\\";
        } else if (!appendControlEscape(escaped, c)) {
            escaped.append(rest.substr(0, length));
        }
        rest.remove_prefix(length);
    }
    return escaped;
}

std::string utf8Text(const filewatch::PathString& path)
{
    return path;
}

}  // namespace tarnwick_watch
