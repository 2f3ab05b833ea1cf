#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <tarnwick/text/Unicode.h>

// Strict conversions between the encodings the host meets: the engine's
// UTF-16, UTF-8, the narrow text of the process code page and wchar_t.
// Nothing is ever replaced: invalid input raises std::system_error
// (std::errc::illegal_byte_sequence, or the system's code on Windows).
namespace tarnwick::host::text {

using ::tarnwick::text::decodeUtf16;
using ::tarnwick::text::decodeUtf8;
using ::tarnwick::text::encodeUtf16;
using ::tarnwick::text::encodeUtf8;

// wchar_t is UTF-32 on Linux and UTF-16 on Windows.
std::wstring toWide(std::u32string_view codePoints);

// Takes the first line off `text`, without its LF or CR LF ending.
std::string_view takeLine(std::string_view& text);

// For display and the trace: valid UTF-8 passes unchanged, each byte that is
// not part of a valid sequence becomes the four characters \xNN.
std::string escapeInvalidUtf8(std::string_view bytes);

// For the console: escapeInvalidNarrow, and control characters escaped too,
// the C0 ones and DEL as \xNN, in UTF-8 the C1 ones as \u00NN.
std::string escapeControls(std::string_view bytes);
// The same for UTF-8 text, whatever the code page.
std::string escapeUtf8Controls(std::string_view bytes);

// The host's narrow text (console lines, variable values, commands and log
// lines of plugins) is in the process code page, as a plugin's is: on Windows
// UTF-8 when the C runtime's locale says so, else the ANSI code page, or the
// OEM one once the file functions are switched to OEM; elsewhere UTF-8.

// Strict both ways: text that cannot be converted exactly raises
// std::system_error with the system's code.
std::u16string utf16FromNarrow(std::string_view text);
std::string narrowFromUtf16(std::u16string_view text);
std::filesystem::path pathFromNarrow(std::string_view text);

// Narrow text with each byte that is not part of a character written as
// the four characters \xNN.
std::string escapeInvalidNarrow(std::string_view text);
// For the trace: the text as UTF-8, escaped as above.
std::string utf8FromNarrow(std::string_view text);
// A path for messages, as narrow text; a character that the code page
// cannot represent is written as \u{XXXX}.
std::string narrowFromPath(const std::filesystem::path& path);
// "UTF-8", or "code page 932".
std::string narrowEncodingName();

#if defined(_WIN32)
unsigned processCodePage();
std::u16string utf16FromNarrow(std::string_view text, unsigned codePage);
std::string narrowFromUtf16(std::u16string_view text, unsigned codePage);
std::string escapeInvalidNarrow(std::string_view text, unsigned codePage);
std::string utf8FromNarrow(std::string_view text, unsigned codePage);
std::string narrowFromPath(const std::filesystem::path& path, unsigned codePage);
#endif

}  // namespace tarnwick::host::text
