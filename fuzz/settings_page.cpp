// The host's settings-page reader: any file is read without an exception, and
// every control it keeps has a known kind.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "SettingsPage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto page = tarnwick::host::parseSettingsPage(text);
    for (const auto& control : page.controls) {
        switch (control.kind) {
        case tarnwick::host::ControlKind::button:
        case tarnwick::host::ControlKind::checkBox:
        case tarnwick::host::ControlKind::dropDown:
        case tarnwick::host::ControlKind::textBox: break;
        default: std::abort();
        }
    }
    (void)tarnwick::host::renderSettingsPage(page, [](std::string_view) { return std::optional<std::string>("1"); });
    return 0;
}
