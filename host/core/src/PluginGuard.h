#pragma once

#include <exception>
#include <functional>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "ConsoleOutput.h"
#include "GameLoop.h"

namespace tarnwick::host {

// Every call into plugin code goes through here: whatever escapes is
// reported and the host carries on. Game thread only.
class PluginGuard {
public:
    PluginGuard(ConsoleOutput& output, GameLoop& loop) : output(output), loop(loop) {}

    template <typename Call>
    void call(std::string_view what, Call&& call)
    {
        ++depth;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth};
        try {
            std::forward<Call>(call)();
        } catch (const std::exception& error) {
            output.reportError(fmt::format("{} failed: {}", what, error.what()));
        } catch (...) {
            output.reportError(fmt::format("{} failed with an exception that is not a std::exception", what));
        }
    }

    // A plugin's library must not go away while its code is on the stack, so
    // loading and unloading asked for from inside a plugin call wait a turn.
    void outsidePluginCalls(std::function<void()> action)
    {
        if (depth > 0) {
            loop.nextTurn(std::move(action));
        } else {
            action();
        }
    }

private:
    ConsoleOutput& output;
    GameLoop& loop;
    int depth = 0;
};

}  // namespace tarnwick::host
