#include "bakkesmod/game.h"

#include "PluginSession.h"

using tarnwick::host::PluginSession;

GameWrapper::GameWrapper(std::shared_ptr<PluginSession> session) : session(std::move(session)) {}

void GameWrapper::SetTimeout(TimeoutCallback callback, float delaySeconds)
{
    session->setTimer(std::move(callback), delaySeconds);
}

std::filesystem::path GameWrapper::GetBakkesModPath()
{
    const auto* host = session->services();
    return host != nullptr ? host->hostFolder() : std::filesystem::path();
}

std::filesystem::path GameWrapper::GetDataFolder()
{
    const auto* host = session->services();
    return host != nullptr ? host->dataFolder() : std::filesystem::path();
}

void GameWrapper::hookEventWithCallerAddress(std::string eventName, AddressHook hook)
{
    if (auto* host = session->services()) host->hookEvent(*session, std::move(eventName), std::move(hook));
}
