#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "bakkesmod/sdk_export.h"

// The game as one plugin sees it: timers, folders and game-function hooks.
class PLUGINSDK_API GameWrapper {
public:
    using TimeoutCallback = std::function<void(GameWrapper* game)>;

    explicit GameWrapper(std::shared_ptr<tarnwick::host::PluginSession> session);

    // May be called from any thread. The callable runs once, on the game
    // thread, after `delaySeconds`; timers due at the same moment run in the
    // order in which they were set.
    void SetTimeout(TimeoutCallback callback, float delaySeconds);

    // The host's own folder (plugins/settings lives below it).
    std::filesystem::path GetBakkesModPath();
    // The host's data folder.
    std::filesystem::path GetDataFolder();

    // Runs `callback` each time the game calls the named function, with the
    // calling object, the address of the call's parameter block and the name.
    template <typename Caller>
    void HookEventWithCaller(std::string eventName,
                             std::function<void(Caller caller, void* params, std::string eventName)> callback)
    {
        hookEventWithCallerAddress(std::move(eventName),
                                   [callback = std::move(callback)](std::uintptr_t caller, void* params,
                                                                    std::string name) {
                                       callback(Caller(caller), params, std::move(name));
                                   });
    }

private:
    using AddressHook = std::function<void(std::uintptr_t caller, void* params, std::string eventName)>;
    void hookEventWithCallerAddress(std::string eventName, AddressHook hook);

    std::shared_ptr<tarnwick::host::PluginSession> session;
};
