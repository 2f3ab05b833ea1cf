#include "PluginSession.h"

namespace tarnwick::host {

PluginSession::PluginSession(HostServices& services, std::string className)
    : hostServices(&services), pluginClassName(std::move(className))
{
}

HostServices* PluginSession::services() const
{
    std::lock_guard lock(mutex);
    return hostServices;
}

void PluginSession::setTimer(TimeoutCallback callback, double delaySeconds)
{
    std::unique_lock lock(mutex);
    if (hostServices == nullptr) {
        lock.unlock();
        return;  // the callable is destroyed outside the lock
    }
    hostServices->setTimer(shared_from_this(), std::move(callback), delaySeconds);
}

bool PluginSession::attached() const
{
    std::lock_guard lock(mutex);
    return hostServices != nullptr;
}

void PluginSession::detach()
{
    std::lock_guard lock(mutex);
    hostServices = nullptr;
}

ConsoleVariable::ConsoleVariable(HostServices& services, const PluginSession& owner, std::string name,
                                 std::string defaultValue, std::string description, bool saveToConfig)
    : name(std::move(name)),
      defaultValue(defaultValue),
      description(std::move(description)),
      saveToConfig(saveToConfig),
      owner(&owner),
      value(std::move(defaultValue)),
      services(&services)
{
}

}  // namespace tarnwick::host
