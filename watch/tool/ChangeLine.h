#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <string>

namespace tarnwick_watch {

enum class OutputFormat { text, jsonLines };

// One output line, newline included. Text is "<kind>\t<path>" with the path's
// bytes as they are; JSON Lines is {"kind":…,"path":…}.
std::string formatChange(const filewatch::PathString& path, filewatch::Event kind, OutputFormat format);

// A JSON string literal for `bytes`. File names need not be UTF-8: each byte
// of an invalid sequence becomes the lone surrogate \udcXX (as Python's
// surrogateescape does), so the line stays JSON and the name is recoverable.
std::string jsonString(const std::string& bytes);

}  // namespace tarnwick_watch
