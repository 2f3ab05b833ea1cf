#pragma once

#include <string>

#include "ConsoleOutput.h"
#include "GameLoop.h"
#include "PluginGuard.h"
#include "Registry.h"
#include "Trace.h"

namespace tarnwick::host {

// What the game does that plugins hook. Game thread only.
class GameEvents {
public:
    GameEvents(GameLoop& loop, Registry& registry, PluginGuard& guard, ConsoleOutput& output, Trace& trace)
        : loop(loop), registry(registry), guard(guard), output(output), trace(trace)
    {
    }

    // The game starts loading a map: the pre-load event fires with `map`
    // as the engine string, on the next turn.
    void startMapLoad(std::string map);

private:
    void fireMapLoad(const std::string& map);

    GameLoop& loop;
    Registry& registry;
    PluginGuard& guard;
    ConsoleOutput& output;
    Trace& trace;
    const int callerObject = 0;  // the game object that calls hooks; only its address matters
};

}  // namespace tarnwick::host
