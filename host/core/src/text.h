#pragma once

#include <string>
#include <string_view>

// Strict conversions between the encodings the host meets: the engine's
// UTF-16, narrow UTF-8 text and wchar_t. Nothing is ever replaced; invalid
// input raises std::system_error(std::errc::illegal_byte_sequence).
namespace tarnwick::host::text {

std::u32string decodeUtf16(std::u16string_view units);
std::u16string encodeUtf16(std::u32string_view codePoints);

std::u32string decodeUtf8(std::string_view bytes);
std::string encodeUtf8(std::u32string_view codePoints);

// wchar_t is UTF-32 on Linux and UTF-16 on Windows.
std::wstring toWide(std::u32string_view codePoints);

// Takes the first line off `text`, without its LF or CR LF ending.
std::string_view takeLine(std::string_view& text);

// For display and the trace: valid UTF-8 passes unchanged, each byte that is
// not part of a valid sequence becomes the four characters \xNN.
std::string escapeInvalidUtf8(std::string_view bytes);

// For the console: escapeInvalidUtf8, and control characters escaped too,
// the C0 ones and DEL as \xNN, the C1 ones as \u00NN.
std::string escapeControls(std::string_view bytes);

}  // namespace tarnwick::host::text
