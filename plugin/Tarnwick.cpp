#include "Tarnwick.h"

#include <exception>
#include <utility>

#include "ConsoleNames.h"
#include "Text.h"

namespace tarnwick::plugin {

namespace {

std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> pluginInstance;

}  // namespace

// The pre-load handler logs through this copy of the console handle.
std::shared_ptr<CVarManagerWrapper> globalCvarManager;

std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin>* createPluginInstance()
{
    if (!pluginInstance) {
        auto plugin = std::make_shared<Tarnwick>();
        plugin->self = plugin;
        // The handle's deleter destroys a Tarnwick, although the base's
        // destructor is not virtual.
        pluginInstance = std::move(plugin);
    }
    return &pluginInstance;
}

void deletePluginInstance()
{
    if (!pluginInstance) {
        return;
    }
    // Empty the library's handle before the object can be destroyed.
    auto released = std::move(pluginInstance);
    pluginInstance.reset();
    released.reset();
}

}  // namespace tarnwick::plugin

extern "C" {

PLUGIN_API std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin>* getPlugin()
{
    return tarnwick::plugin::createPluginInstance();
}

PLUGIN_API void deleteMe()
{
    tarnwick::plugin::deletePluginInstance();
}

PLUGIN_API extern const BakkesMod::Plugin::PluginInfo exports;
const BakkesMod::Plugin::PluginInfo exports = {
    BakkesMod::Plugin::hostApiVersion,
    0,
    __FILE__,
    "Tarnwick",
    "Tarnwick Plugin",
    TARNWICK_VERSION,
    1,
    0,
    &getPlugin,
    &deleteMe,
};

}  // extern "C"

namespace tarnwick::plugin {

template <void (Tarnwick::*operation)()>
auto Tarnwick::hostCallable(std::string_view what)
{
    return [self = self, what](auto&&...) {
        if (auto plugin = self.lock()) {
            plugin->guarded(what, [&] { ((*plugin).*operation)(); });
        }
    };
}

template <typename Body>
void Tarnwick::guarded(std::string_view what, Body&& body) noexcept
{
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& error) {
        logFailure(what, error.what());
    } catch (...) {
        logFailure(what, "unknown error");
    }
}

void Tarnwick::logFailure(std::string_view what, std::string_view detail) noexcept
{
    try {
        log(std::string(what) + " failed: " + printable(detail));
    } catch (...) {
        // Nowhere left to report to; the host must not see it.
    }
}

void Tarnwick::runOnGameThread(std::string_view what, void (Tarnwick::*operation)(), float delay)
{
    gameWrapper->SetTimeout(
        [self = self, what, operation](GameWrapper*) {
            if (auto plugin = self.lock()) {
                plugin->guarded(what, [&] { ((*plugin).*operation)(); });
            }
        },
        delay);
}

void Tarnwick::runAfterOneSecond(std::string_view what, void (Tarnwick::*operation)())
{
    runOnGameThread(what, operation, 1.0f);
}

void Tarnwick::log(const std::string& line)
{
    cvarManager->log(line);
}

void Tarnwick::issueCommand(const std::string& command)
{
    cvarManager->executeCommand(command, true);
}

void Tarnwick::onLoad()
{
    globalCvarManager = cvarManager;

    cvarManager->registerNotifier(names::scanMaps, hostCallable<&Tarnwick::scanMaps>("Map scan"), "Reload Map", 0);
    cvarManager->registerNotifier(names::loadMap, hostCallable<&Tarnwick::loadMap>("Map load"), "Reload Map", 0);
    cvarManager->registerNotifier(names::restoreUnderpass,
                                  hostCallable<&Tarnwick::restoreUnderpass>("Underpass restore"), "Restore Underpass",
                                  0);

    auto filepath =
        cvarManager->registerCvar(names::mapChoice, "", "Map Filepath", true, false, 0.0f, false, 0.0f, true);
    auto workshop = cvarManager->registerCvar(names::mapsFolder,
                                              "C:/Program Files (x86)/Steam/steamapps/workshop/content/252950/",
                                              "Workshop path", true, false, 0.0f, false, 0.0f, true);
    workshop.addOnValueChanged(hostCallable<&Tarnwick::scanMaps>("Map scan"));
    auto watching =
        cvarManager->registerCvar(names::autoReload, "1", "Rocket League path", true, false, 0.0f, false, 0.0f, true);
    watching.addOnValueChanged(hostCallable<&Tarnwick::onWatchingChanged>("Auto-reload switch"));

    guarded("Map scan", [this] { scanMaps(); });

    gameWrapper->HookEventWithCaller<ActorWrapper>(
        "Function ProjectX.EngineShare_X.EventPreLoadMap",
        [self = self](ActorWrapper, void* parameters, std::string) {
            if (auto plugin = self.lock()) {
                plugin->guarded("Map pre-load",
                                [&] { plugin->onPreLoadMap(reinterpret_cast<std::uintptr_t>(parameters)); });
            }
        });
}

}  // namespace tarnwick::plugin
