#include "bakkesmod/cvar_manager.h"

#include "PluginSession.h"

using tarnwick::host::PluginSession;

CVarManagerWrapper::CVarManagerWrapper(std::shared_ptr<PluginSession> session) : session_(std::move(session)) {}

void CVarManagerWrapper::registerNotifier(std::string name, NotifierCallback callback, std::string description,
                                          std::uint8_t /*permissions*/)
{
    if (auto* host = session_->services()) {
        host->registerCommand(*session_, std::move(name), std::move(callback), std::move(description));
    }
}

CVarWrapper CVarManagerWrapper::registerCvar(std::string name, std::string defaultValue, std::string description,
                                             bool /*searchable*/, bool /*hasMin*/, float /*min*/, bool /*hasMax*/,
                                             float /*max*/, bool saveToCfg)
{
    auto* host = session_->services();
    if (host == nullptr) return CVarWrapper();
    return CVarWrapper(host->registerVariable(*session_, std::move(name), std::move(defaultValue),
                                              std::move(description), saveToCfg));
}

CVarWrapper CVarManagerWrapper::getCvar(std::string name)
{
    auto* host = session_->services();
    return CVarWrapper(host != nullptr ? host->findVariable(name) : nullptr);
}

void CVarManagerWrapper::executeCommand(std::string command, bool log)
{
    if (auto* host = session_->services()) host->executeFromPlugin(*session_, command, log);
}

void CVarManagerWrapper::log(std::string text)
{
    if (auto* host = session_->services()) host->log(*session_, text);
}
