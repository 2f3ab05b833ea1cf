#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ConfigStore.h"
#include "ConsoleOutput.h"
#include "ConsoleParser.h"
#include "PluginGuard.h"
#include "PluginSession.h"
#include "Trace.h"

namespace tarnwick::host {

// What plugins registered: commands, variables and hooks, by the session
// that registered them. Game thread only, but for names().
class Registry {
public:
    struct Command {
        const PluginSession* owner;
        CommandCallback callback;
        std::string description;
    };
    using Commands = std::map<std::string, Command, std::less<>>;
    using Variables = std::map<std::string, std::shared_ptr<ConsoleVariable>, std::less<>>;

    // `reservedNames`: the host's own commands, which no plugin can take.
    Registry(std::vector<std::string_view> reservedNames, HostServices& services, PluginGuard& guard,
             ConsoleOutput& output, Trace& trace, ConfigStore& config);

    void registerCommand(PluginSession& owner, std::string name, CommandCallback callback, std::string description);
    // The variable of that name if there is one already; null when the name
    // is taken otherwise or cannot be typed.
    std::shared_ptr<ConsoleVariable> registerVariable(PluginSession& owner, std::string name,
                                                      std::string defaultValue, std::string description,
                                                      bool saveToConfig);
    void hookEvent(PluginSession& owner, std::string eventName, AddressHook hook);

    std::shared_ptr<ConsoleVariable> findVariable(std::string_view name) const;
    // Traced; the variable's change callables run.
    void setVariable(ConsoleVariable& variable, std::string value);

    // Runs a plugin's command, or shows or sets a variable. False when
    // neither has the name.
    bool run(const ConsoleWords& words);

    const Commands& commands() const { return commandsByName; }
    const Variables& variables() const { return variablesByName; }
    // The hooks on `eventName`, as they are now.
    std::vector<AddressHook> hooksOn(std::string_view eventName) const;
    std::vector<const ConsoleVariable*> savedVariables() const;
    bool hasCommand(std::string_view name) const;

    // Drops everything `owner` registered; its saved variables keep their
    // values for the config file.
    void drop(const PluginSession& owner);

    // Every command and variable name, sorted. Any thread.
    std::vector<std::string> names() const;
    // Names close to a mistyped one, for "did you mean".
    std::vector<std::string> similarNames(std::string_view name) const;

private:
    struct Hook {
        const PluginSession* owner;
        std::string eventName;
        AddressHook hook;
    };

    bool reserved(std::string_view name) const;
    std::vector<std::string> allNames() const;
    void refreshNames();

    const std::vector<std::string_view> reservedNames;
    HostServices& services;
    PluginGuard& guard;
    ConsoleOutput& output;
    Trace& trace;
    ConfigStore& config;
    Commands commandsByName;
    Variables variablesByName;
    std::vector<Hook> hooks;

    mutable std::mutex namesMutex;
    std::vector<std::string> sharedNames;  // a copy of allNames() for other threads
};

}  // namespace tarnwick::host
