#include "TestSupport.h"

#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "Text.h"

namespace tarnwick::host::tests {

std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::filesystem::path& file, std::string_view content)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

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
