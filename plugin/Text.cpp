#include "Text.h"

#include <fmt/format.h>

namespace tarnwick::plugin {

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                out += fmt::format("\\x{:02X}", byte);
            } else {
                out += c;
            }
        }
    }
    return out;
}

bool holdsLineBreak(std::string_view text)
{
    // Two scans with memchr beat one find_first_of, which tests each byte
    // against the set.
    return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}



}  // namespace tarnwick::plugin
