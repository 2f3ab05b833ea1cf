#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick_watch {

// What a line reports: a change of one of the watcher's kinds, or that the
// system dropped changes.
enum class LineKind { added, removed, modified, renamedOldName, renamedNewName, overflow };

inline constexpr LineKind lineKinds[] = {LineKind::added,          LineKind::removed,
                                         LineKind::modified,       LineKind::renamedOldName,
                                         LineKind::renamedNewName, LineKind::overflow};

LineKind lineKindOf(filewatch::Event kind) noexcept;
// As a line shows it and -e takes it: the watcher's names, and "overflow".
const char* nameOf(LineKind kind) noexcept;
std::optional<LineKind> lineKindNamed(std::string_view name) noexcept;

// How each line is written: text after a template of fields, or JSON Lines.
class LineFormat {
public:
    // Text after `pattern` (UTF-8): %k the kind, %p the path relative to
    // PATH as textPath writes it, %t the time, %% a percent sign. Throws
    // std::invalid_argument naming any other field.
    explicit LineFormat(std::string pattern = "%k\t%p");
    // {"kind":…,"path":…,"time":…}, the path exact.
    static LineFormat json();

    // Whether a line shows the time, which then must be read for it.
    bool showsTime() const { return isJson || pattern.find("%t") != std::string::npos; }

    // One line, newline included. An overflow has an empty path.
    std::string line(LineKind kind, const filewatch::PathString& path,
                     std::chrono::system_clock::time_point time) const;

private:
    std::string pattern;
    bool isJson = false;
};

// ISO 8601 in UTC to the millisecond: 2026-12-09T18:20:31.123Z.
std::string isoTime(std::chrono::system_clock::time_point time);

// A path for a line of text, as UTF-8, each line standing for one name and
// nothing in it reaching the terminal as a command: control characters are
// written as \n, \r, \t, \xHH (C0 and DEL) or \uHHHH (C1; on Windows also
// the line breaks U+2028 and U+2029). On POSIX, where a name may hold them,
// a backslash is written as \\ and a byte that is not UTF-8 as \xHH. Only
// JSON gives every name exactly.
std::string textPath(const filewatch::PathString& path);

// A path's text as UTF-8 for a message: as it is on POSIX; on Windows
// converted as utf8() does.
std::string utf8Text(const filewatch::PathString& path);

// Appends \uXXXX, `code` in four hex digits.
void appendEscape(std::string& out, unsigned code);

// Appends the escape of a control character (see textPath); false, and
// nothing appended, for any other code point.
bool appendControlEscape(std::string& out, char32_t code);

// A JSON string literal for `bytes`. File names need not be UTF-8: each byte
// of an invalid sequence becomes the lone surrogate \udcXX (as Python's
// surrogateescape does), so the line stays JSON and the name is recoverable.
std::string jsonString(const std::string& bytes);

#ifdef _WIN32
// UTF-16 as UTF-8. A lone surrogate, which Windows allows in a name, is
// encoded like any other code point (WTF-8), so no name is lost.
std::string utf8(const std::wstring& text);

// A JSON string literal for UTF-16 `text`; a lone surrogate is written as
// its own \uXXXX escape, which JSON allows.
std::string jsonString(const std::wstring& text);
#endif

}  // namespace tarnwick_watch
