#include "bakkesmod/unreal_string.h"

#include <system_error>

#include "Text.h"

namespace {

std::u32string engineStringText(std::uintptr_t address)
{
    if (address == 0) return {};
    const auto& string = *reinterpret_cast<const EngineString*>(address);
    if (string.count < 0) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "engine string with a negative count");
    }
    if (string.count == 0) return {};
    if (string.data == nullptr) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "engine string with characters but no data");
    }
    std::u16string_view units(string.data, static_cast<std::size_t>(string.count));
    if (units.back() == u'\0') units.remove_suffix(1);
    return tarnwick::host::text::decodeUtf16(units);
}

}  // namespace

UnrealStringWrapper::UnrealStringWrapper(std::uintptr_t address) : address(address) {}

bool UnrealStringWrapper::IsNull() const { return address == 0; }

std::wstring UnrealStringWrapper::ToWideString() const
{
    return tarnwick::host::text::toWide(engineStringText(address));
}

std::string UnrealStringWrapper::ToString() const
{
    namespace text = tarnwick::host::text;
    return text::narrowFromUtf16(text::encodeUtf16(engineStringText(address)));
}
