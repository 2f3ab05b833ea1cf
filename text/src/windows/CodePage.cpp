#include <tarnwick/text/CodePage.h>

#include <windows.h>

#include <climits>
#include <clocale>

namespace tarnwick::text {

namespace {

bool takesDefaultCharacter(unsigned codePage)
{
    // These code pages refuse a default character and best-fit flags; they
    // report unmappable characters through WC_ERR_INVALID_CHARS instead.
    return codePage != CP_UTF8 && codePage != 54936;  // GB 18030
}

}  // namespace

unsigned processCodePage()
{
    if (___lc_codepage_func() == CP_UTF8) return CP_UTF8;
    return ::AreFileApisANSI() ? ::GetACP() : ::GetOEMCP();
}

unsigned long wideFromNarrow(std::string_view text, unsigned codePage, std::wstring& wide)
{
    wide.clear();
    if (text.empty()) return ERROR_SUCCESS;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return ERROR_ARITHMETIC_OVERFLOW;
    const int size = static_cast<int>(text.size());
    const int wideSize = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (wideSize == 0) return ::GetLastError();
    wide.resize(static_cast<std::size_t>(wideSize));
    if (::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), wideSize) == 0) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

unsigned long narrowFromWide(std::wstring_view text, unsigned codePage, std::string& narrow)
{
    narrow.clear();
    if (text.empty()) return ERROR_SUCCESS;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return ERROR_ARITHMETIC_OVERFLOW;
    const int size = static_cast<int>(text.size());
    // A used default character means a character had no mapping at all.
    const bool withDefault = takesDefaultCharacter(codePage);
    const DWORD flags = withDefault ? WC_NO_BEST_FIT_CHARS : WC_ERR_INVALID_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = withDefault ? &usedDefault : nullptr;
    const int narrowSize = ::WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, usedDefaultOut);
    if (narrowSize == 0) return ::GetLastError();
    if (usedDefault) return ERROR_NO_UNICODE_TRANSLATION;
    narrow.resize(static_cast<std::size_t>(narrowSize));
    if (::WideCharToMultiByte(codePage, flags, text.data(), size, narrow.data(), narrowSize, nullptr,
                              usedDefaultOut) == 0) {
        return ::GetLastError();
    }
    return usedDefault ? ERROR_NO_UNICODE_TRANSLATION : ERROR_SUCCESS;
}

}  // namespace tarnwick::text
