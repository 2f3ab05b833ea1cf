#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bakkesmod/cvar.h"
#include "bakkesmod/cvar_manager.h"
#include "bakkesmod/game.h"

namespace tarnwick::host {

using CommandCallback = CVarManagerWrapper::NotifierCallback;
using TimeoutCallback = GameWrapper::TimeoutCallback;
using AddressHook = std::function<void(std::uintptr_t caller, void* params, std::string eventName)>;

class ConsoleVariable;

// What the SDK wrappers ask of the host. Everything but setTimer runs on the
// game thread only.
class HostServices {
public:
    virtual void registerCommand(PluginSession& owner, std::string name, CommandCallback callback,
                                 std::string description) = 0;
    // Null when the name is taken by something that is not a variable.
    // `saveToConfig`: the value is kept in the config file between runs.
    virtual std::shared_ptr<ConsoleVariable> registerVariable(PluginSession& owner, std::string name,
                                                              std::string defaultValue, std::string description,
                                                              bool saveToConfig) = 0;
    virtual std::shared_ptr<ConsoleVariable> findVariable(std::string_view name) = 0;
    virtual void setVariable(ConsoleVariable& variable, std::string value) = 0;
    virtual void executeFromPlugin(PluginSession& owner, std::string_view line, bool echo) = 0;
    virtual void log(PluginSession& owner, std::string_view text) = 0;
    virtual void hookEvent(PluginSession& owner, std::string eventName, AddressHook hook) = 0;
    virtual std::filesystem::path hostFolder() const = 0;
    virtual std::filesystem::path dataFolder() const = 0;
    // Any thread.
    virtual void setTimer(std::shared_ptr<PluginSession> owner, TimeoutCallback callback, double delaySeconds) = 0;

protected:
    ~HostServices() = default;
};

// One loaded plugin as the host sees it. The wrappers a plugin holds share
// it; on unload the host detaches it, and from then on every operation
// through it does nothing, whichever thread calls.
class PluginSession : public std::enable_shared_from_this<PluginSession> {
public:
    PluginSession(HostServices& services, std::string className);

    const std::string& className() const { return pluginClassName; }

    // Game thread: the host, or null once detached. Detaching also happens
    // on the game thread, so the pointer stays valid while the caller runs.
    HostServices* services() const;

    // Any thread. Holds the session lock while handing the timer over, so
    // that detach() cannot slip between the check and the hand-over.
    void setTimer(TimeoutCallback callback, double delaySeconds);

    bool attached() const;
    void detach();

private:
    mutable std::mutex mutex;
    HostServices* hostServices;
    const std::string pluginClassName;
};

// A console variable. Game thread only.
class ConsoleVariable : public std::enable_shared_from_this<ConsoleVariable> {
public:
    ConsoleVariable(HostServices& services, const PluginSession& owner, std::string name, std::string defaultValue,
                    std::string description, bool saveToConfig = false);

    const std::string name;
    const std::string defaultValue;
    const std::string description;
    const bool saveToConfig;
    const PluginSession* const owner;
    std::string value;
    std::vector<CVarWrapper::ValueChangedCallback> changeCallbacks;
    // Null once the host dropped the variable: sets then only store the value.
    HostServices* services;
};

}  // namespace tarnwick::host
