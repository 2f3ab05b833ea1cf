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
        : loop_(loop), registry_(registry), guard_(guard), output_(output), trace_(trace)
    {
    }

    // The game starts loading a map: the pre-load event fires with `map`
    // as the engine string, on the next turn.
    void startMapLoad(std::string map);

private:
    void fireMapLoad(const std::string& map);

    GameLoop& loop_;
    Registry& registry_;
    PluginGuard& guard_;
    ConsoleOutput& output_;
    Trace& trace_;
    const int callerObject_ = 0;  // the game object that calls hooks; only its address matters
};

}  // namespace tarnwick::host
