#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bakkesmod/cvar.h"
#include "bakkesmod/sdk_export.h"

// The host console as one plugin sees it: its commands, variables and log.
class PLUGINSDK_API CVarManagerWrapper {
public:
    using NotifierCallback = std::function<void(std::vector<std::string> arguments)>;

    explicit CVarManagerWrapper(std::shared_ptr<tarnwick::host::PluginSession> session);

    // `arguments` holds the command's own name first, then its words.
    void registerNotifier(std::string name, NotifierCallback callback, std::string description,
                          std::uint8_t permissions);

    // Registering a name that exists already returns the existing variable.
    CVarWrapper registerCvar(std::string name, std::string defaultValue, std::string description = "",
                             bool searchable = true, bool hasMin = false, float min = 0.0f,
                             bool hasMax = false, float max = 0.0f, bool saveToCfg = true);

    CVarWrapper getCvar(std::string name);

    // Runs a console line (several commands may be separated by ';').
    void executeCommand(std::string command, bool log = true);

    // One line on the host's console.
    void log(std::string text);

private:
    std::shared_ptr<tarnwick::host::PluginSession> session;
};
