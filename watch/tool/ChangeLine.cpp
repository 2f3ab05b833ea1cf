#include "ChangeLine.h"

#include <tarnwick/text/Unicode.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace tarnwick_watch {

void appendEscape(std::string& out, unsigned code)
{
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    out += escape;
}

bool appendControlEscape(std::string& out, char32_t code)
{
    char escape[8];
    if (code == '\n') {
        out += "\\n";
    } else if (code == '\r') {
        out += "\\r";
    } else if (code == '\t') {
        out += "\\t";
    } else if (code < 0x20 || code == 0x7F) {
        std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
        out += escape;
    } else if (code >= 0x80 && code <= 0x9F) {
        appendEscape(out, static_cast<unsigned>(code));
    } else {
        return false;
    }
    return true;
}

LineKind lineKindOf(filewatch::Event kind) noexcept
{
    switch (kind) {
    case filewatch::Event::added: return LineKind::added;
    case filewatch::Event::removed: return LineKind::removed;
    case filewatch::Event::modified: return LineKind::modified;
    case filewatch::Event::renamed_old_name: return LineKind::renamedOldName;
    case filewatch::Event::renamed_new_name: return LineKind::renamedNewName;
    }
    return LineKind::modified;
}

const char* nameOf(LineKind kind) noexcept
{
    switch (kind) {
    case LineKind::added: return "added";
    case LineKind::removed: return "removed";
    case LineKind::modified: return "modified";
    case LineKind::renamedOldName: return "renamed_old_name";
    case LineKind::renamedNewName: return "renamed_new_name";
    case LineKind::overflow: return "overflow";
    }
    return "unknown";
}

std::optional<LineKind> lineKindNamed(std::string_view name) noexcept
{
    for (const LineKind kind : lineKinds) {
        if (name == nameOf(kind)) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string jsonString(const std::string& bytes)
{
    std::string out = "\"";
    for (std::string_view rest = bytes; !rest.empty();) {
        const auto byte = static_cast<unsigned char>(rest.front());
        char32_t ignored = 0;
        const std::size_t length = tarnwick::text::utf8Sequence(rest, ignored).value_or(0);
        if (length == 0) {
            appendEscape(out, 0xDC00u + byte);
            rest.remove_prefix(1);
            continue;
        }
        if (length > 1) {
            out.append(rest.substr(0, length));
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            appendEscape(out, byte);
        } else {
            out += static_cast<char>(byte);
        }
        rest.remove_prefix(length);
    }
    out += '"';
    return out;
}

LineFormat::LineFormat(std::string fields) : pattern(std::move(fields))
{
    for (std::size_t at = pattern.find('%'); at != std::string::npos; at = pattern.find('%', at + 2)) {
        if (at + 1 == pattern.size() || std::string_view("kpt%").find(pattern[at + 1]) == std::string_view::npos) {
            throw std::invalid_argument("unknown field " + pattern.substr(at, 2) + " in the format");
        }
    }
}

LineFormat LineFormat::json()
{
    LineFormat format;
    format.isJson = true;
    return format;
}

std::string LineFormat::line(LineKind kind, const filewatch::PathString& path,
                             std::chrono::system_clock::time_point time) const
{
    if (isJson) {
        return std::string("{\"kind\":\"") + nameOf(kind) + "\",\"path\":" + jsonString(path) + ",\"time\":\"" +
               isoTime(time) + "\"}\n";
    }
    std::string out;
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        if (pattern[at] != '%') {
            out += pattern[at];
            continue;
        }
        switch (pattern[++at]) {
        case 'k':
            out += nameOf(kind);
            break;
        case 'p':
            out += textPath(path);
            break;
        case 't':
            out += isoTime(time);
            break;
        default:
            out += '%';
        }
    }
    return out + '\n';
}

std::string isoTime(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(time);
    const auto day = floor<days>(milliseconds);
    const year_month_day date(day);
    const hh_mm_ss clock(milliseconds - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

}  // namespace tarnwick_watch
