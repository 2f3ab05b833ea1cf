#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <string>

namespace tarnwick_watch {

enum class OutputFormat { text, jsonLines };

// One output line, newline included. Text is "<kind>\t<path>" with the path's
// bytes as they are (on Windows, its UTF-16 as UTF-8), except a line break,
// written as textPath does; JSON Lines is {"kind":…,"path":…}.
std::string formatChange(const filewatch::PathString& path, filewatch::Event kind, OutputFormat format);

// The line that says changes were lost: kind "overflow", empty path.
std::string formatOverflow(OutputFormat format);

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
