#include "GameEvents.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "Text.h"
#include "bakkesmod/unreal_string.h"

namespace tarnwick::host {
namespace {

constexpr std::string_view preLoadEvent = "Function ProjectX.EngineShare_X.EventPreLoadMap";

// The pre-load function's parameter block: the map's engine string first;
// the rest is the game's and stays zero here.
struct PreLoadParameters {
    EngineString map;
    std::array<std::byte, 48> rest;
};

}  // namespace

void GameEvents::startMapLoad(std::string map)
{
    loop.nextTurn([this, map = std::move(map)] { fireMapLoad(map); });
}

void GameEvents::fireMapLoad(const std::string& map)
{
    std::u16string units;
    try {
        // Narrow text is in the process code page, as the plugin wrote it.
        units = text::utf16FromNarrow(map);
    } catch (const std::system_error&) {
        output.reportError(fmt::format("cannot load map \"{}\": its name is not valid text in {}",
                                        text::escapeInvalidNarrow(map), text::narrowEncodingName()));
        return;
    }
    units.push_back(u'\0');
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(units.size(), INT32_MAX));
    PreLoadParameters parameters{{units.data(), count, count}, {}};

    output.print(fmt::format("game: loading map {}", map));
    trace.record("preload", {{"map", map}});
    for (const auto& hook : registry.hooksOn(preLoadEvent)) {
        guard.call(fmt::format("hook on {}", preLoadEvent), [&] {
            hook(std::bit_cast<std::uintptr_t>(&callerObject), &parameters, std::string(preLoadEvent));
        });
    }
}

}  // namespace tarnwick::host
