#include "ChangeLine.h"

namespace tarnwick_watch {

std::string textPath(const filewatch::PathString& path)
{
    std::string escaped;
    for (const char byte : path) {
        if (byte == '\n') {
            escaped += "\\n";
        } else if (byte == '\r') {
            escaped += "\\r";
        } else {
            escaped += byte;
        }
    }
    return escaped;
}

}  // namespace tarnwick_watch
