#include "bakkesmod/cvar_manager.h"

#include "PluginSession.h"

using tarnwick::host::PluginSession;

CVarManagerWrapper::CVarManagerWrapper(std::shared_ptr<PluginSession> session) : session(std::move(session)) {}

void CVarManagerWrapper::registerNotifier(std::string name, NotifierCallback callback, std::string description,
                                          std::uint8_t /*permissions*/)
{
    if (auto* host = session->services()) {
        host->registerCommand(*session, std::move(name), std::move(callback), std::move(description));
    }
}

CVarWrapper CVarManagerWrapper::registerCvar(std::string name, std::string defaultValue, std::string description,
                                             bool /*searchable*/, bool /*hasMin*/, float /*min*/, bool /*hasMax*/,
                                             float /*max*/, bool saveToCfg)
{
    auto* host = session->services();
    if (host == nullptr) return CVarWrapper();
    return CVarWrapper(host->registerVariable(*session, std::move(name), std::move(defaultValue),
                                              std::move(description), saveToCfg));
}

CVarWrapper CVarManagerWrapper::getCvar(std::string name)
{
    auto* host = session->services();
    return CVarWrapper(host != nullptr ? host->findVariable(name) : nullptr);
}

void CVarManagerWrapper::executeCommand(std::string command, bool log)
{
    if (auto* host = session->services()) host->executeFromPlugin(*session, command, log);
}

void CVarManagerWrapper::log(std::string text)
{
    if (auto* host = session->services()) host->log(*session, text);
}
