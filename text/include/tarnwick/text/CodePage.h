// Windows narrow text: a process code page, converted by the Windows API,
// exactly or not at all. Never a best fit, which would quietly turn one
// name into another ("ä" into "a"), never a default character.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick::text {

// UTF-8 when the C runtime's locale says so, else the ANSI code page, or
// the OEM one once the process's file functions are switched to OEM.
unsigned processCodePage();

// 0 (ERROR_SUCCESS) when the text converted exactly, otherwise the system's
// code (ERROR_NO_UNICODE_TRANSLATION for a byte or character without one).
unsigned long wideFromNarrow(std::string_view text, unsigned codePage, std::wstring& wide);
unsigned long narrowFromWide(std::wstring_view text, unsigned codePage, std::string& narrow);

}  // namespace tarnwick::text
