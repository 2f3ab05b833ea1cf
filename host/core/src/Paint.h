#pragma once

#include <string>
#include <string_view>

namespace tarnwick::host {

enum class Paint { bold, dim, red, green, yellow, cyan };

// `text` in ANSI colour when `colour` holds, else unchanged.
inline std::string paint(bool colour, Paint paint, std::string_view text)
{
    if (!colour) return std::string(text);
    const char* code = "1";
    switch (paint) {
    case Paint::bold: code = "1"; break;
    case Paint::dim: code = "2"; break;
    case Paint::red: code = "1;31"; break;
    case Paint::green: code = "32"; break;
    case Paint::yellow: code = "33"; break;
    case Paint::cyan: code = "36"; break;
    }
    return std::string("\033[") + code + "m" + std::string(text) + "\033[0m";
}

}  // namespace tarnwick::host
