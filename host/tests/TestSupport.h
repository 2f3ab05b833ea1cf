#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tarnwick/testsupport/ChildProcess.h>
#include <tarnwick/testsupport/Files.h>
#include <tarnwick/testsupport/HostOptions.h>
#include <tarnwick/testsupport/TemporaryFolder.h>

#include "tarnwick/host/Host.h"

namespace tarnwick::host::tests {

using testsupport::hostOptions;
using testsupport::readFile;
using testsupport::writeFile;
using testsupport::TemporaryFolder;

// Whether `parts` appear in `text` in this order.
inline bool containsInOrder(std::string_view text, std::initializer_list<std::string_view> parts)
{
    std::size_t at = 0;
    for (const auto part : parts) {
        if ((at = text.find(part, at)) == std::string_view::npos) return false;
        at += part.size();
    }
    return true;
}

// The text of every plugin log line so far, in order.
std::vector<std::string> logTexts(const Host& host);

// UTF-8 text as the host's narrow text: the same bytes on Linux, the
// process code page on Windows.
std::string narrowText(std::u8string_view text);

// Bytes that are no text in the process code page, where there are any:
// "\xFF\xFE" in UTF-8 and in code pages 932, 936, 949 and 950; in 1252
// every byte is a character.
std::optional<std::string> bytesThatAreNoText();

}  // namespace tarnwick::host::tests
