#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <chrono>
#include <string>
#include <string_view>

namespace tarnwick_watch {

// How each line is written: text after a template of fields, or JSON Lines.
class LineFormat {
public:
    // Text after `pattern` (UTF-8): %k the kind, %p the path relative to
    // PATH as textPath writes it, %t the time, %% a percent sign. Throws
    // std::invalid_argument naming any other field.
    explicit LineFormat(std::string pattern = "%k\t%p");
    // {"kind":…,"path":…,"time":…}, the path exact.
    static LineFormat json();

    // One line, newline included. An overflow has kind "overflow" and an
    // empty path.
    std::string line(std::string_view kind, const filewatch::PathString& path,
                     std::chrono::system_clock::time_point time) const;

private:
    std::string pattern;
    bool isJson = false;
};

// ISO 8601 in UTC to the millisecond: 2026-12-09T18:20:31.123Z.
std::string isoTime(std::chrono::system_clock::time_point time);

// A path for a line of text: a line break in it is written as \n or \r (on
// Windows, where names cannot hold those, \u2028 and \u2029), so that one
// name stays one line. Only JSON gives such a name exactly.
std::string textPath(const filewatch::PathString& path);

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
