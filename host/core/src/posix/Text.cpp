// Narrow text is UTF-8 here.
#include "Text.h"

namespace tarnwick::host::text {

std::u16string utf16FromNarrow(std::string_view text) { return encodeUtf16(decodeUtf8(text)); }

std::string narrowFromUtf16(std::u16string_view text) { return encodeUtf8(decodeUtf16(text)); }

std::filesystem::path pathFromNarrow(std::string_view text) { return std::filesystem::path(std::string(text)); }

std::string escapeInvalidNarrow(std::string_view text) { return escapeInvalidUtf8(text); }

std::string utf8FromNarrow(std::string_view text) { return escapeInvalidUtf8(text); }

std::string narrowFromPath(const std::filesystem::path& path) { return path.string(); }

std::string narrowEncodingName() { return "UTF-8"; }

std::string escapeControls(std::string_view bytes) { return escapeUtf8Controls(bytes); }

}  // namespace tarnwick::host::text
