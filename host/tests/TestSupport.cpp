#include "TestSupport.h"

#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "Text.h"

namespace tarnwick::host::tests {

std::vector<std::string> logTexts(const Host& host)
{
    std::vector<std::string> texts;
    for (const auto& event : host.events("log")) texts.push_back(event.at("text"));
    return texts;
}

std::string narrowText(std::u8string_view text)
{
    const std::string utf8(text.begin(), text.end());
#if defined(_WIN32)
    return text::narrowFromUtf16(text::encodeUtf16(text::decodeUtf8(utf8)));
#else
    return utf8;
#endif
}

std::optional<std::string> bytesThatAreNoText()
{
    for (const char* alone : {"\xFF", "\xFE "}) {
        try {
            text::utf16FromNarrow(alone);
            return std::nullopt;
        } catch (const std::system_error&) {
        }
    }
    return "\xFF\xFE";
}

}  // namespace tarnwick::host::tests
