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
    PluginGuard(ConsoleOutput& output, GameLoop& loop) : output_(output), loop_(loop) {}

    template <typename Call>
    void call(std::string_view what, Call&& call)
    {
        ++depth_;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth_};
        try {
            std::forward<Call>(call)();
        } catch (const std::exception& error) {
            output_.reportError(fmt::format("{} failed: {}", what, error.what()));
        } catch (...) {
            output_.reportError(fmt::format("{} failed with an exception that is not a std::exception", what));
        }
    }

    // A plugin's library must not go away while its code is on the stack, so
    // loading and unloading asked for from inside a plugin call wait a turn.
    void outsidePluginCalls(std::function<void()> action)
    {
        if (depth_ > 0) {
            loop_.nextTurn(std::move(action));
        } else {
            action();
        }
    }

private:
    ConsoleOutput& output_;
    GameLoop& loop_;
    int depth_ = 0;
};

}  // namespace tarnwick::host
