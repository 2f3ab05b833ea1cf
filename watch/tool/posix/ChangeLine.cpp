#include "ChangeLine.h"

#include <cstdio>

namespace tarnwick_watch {

namespace {

char32_t codePointOf(std::string_view sequence)
{
    const auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(sequence[i])); };
    switch (sequence.size()) {
    case 1: return byte(0);
    case 2: return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3: return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default: return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
    }
}

}  // namespace

std::string textPath(const filewatch::PathString& path)
{
    std::string escaped;
    escaped.reserve(path.size());
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t length = utf8SequenceLength(path, at);
        if (length == 0) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(path[at])));
            escaped += escape;
            ++at;
            continue;
        }
        const std::string_view sequence(path.data() + at, length);
        at += length;
        // The escapes begin with a backslash, so a name's own is doubled.
        if (sequence == "\\") {
            escaped += "\\\\";
        } else if (!appendControlEscape(escaped, codePointOf(sequence))) {
            escaped += sequence;
        }
    }
    return escaped;
}

std::string utf8Text(const filewatch::PathString& path)
{
    return path;
}

}  // namespace tarnwick_watch
