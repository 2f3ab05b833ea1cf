// The engine's UTF-16 string as a hooked function hands it over: decoding is
// strict (an error, never a replacement) and a decoded string survives a
// round trip through UTF-8 and UTF-16 unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include <bakkesmod/unreal_string.h>

#include "Text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<char16_t> units(size / 2);
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    const EngineString string{units.data(), static_cast<std::int32_t>(units.size()),
                              static_cast<std::int32_t>(units.size())};
    std::wstring wide;
    try {
        wide = UnrealStringWrapper(reinterpret_cast<std::uintptr_t>(&string)).ToWideString();
    } catch (const std::system_error&) {
        return 0;
    }
    namespace text = tarnwick::host::text;
    std::u16string_view view(units.data(), units.size());
    if (!view.empty() && view.back() == u'\0') view.remove_suffix(1);
    const auto codePoints = text::decodeUtf16(view);
    if (text::toWide(codePoints) != wide) std::abort();
    if (text::encodeUtf16(codePoints) != view) std::abort();
    if (text::decodeUtf8(text::encodeUtf8(codePoints)) != codePoints) std::abort();
    return 0;
}
