#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "ConsoleOutput.h"
#include "GameLoop.h"
#include "PluginGuard.h"
#include "PluginLibrary.h"
#include "PluginSession.h"
#include "Registry.h"
#include "Trace.h"
#include "bakkesmod/plugin.h"
#include "tarnwick/host/Host.h"

namespace tarnwick::host {

// Loads and unloads the one plugin. Game thread only.
class PluginLoader {
public:
    // `keepCallablesAfterUnload`: see HostOptions.
    PluginLoader(HostServices& services, Registry& registry, GameLoop& loop, PluginGuard& guard,
                 ConsoleOutput& output, Trace& trace, bool keepCallablesAfterUnload);

    // Throws PluginLoadError saying what is wrong.
    void load(const std::filesystem::path& file);
    void unload();
    // Unloads the plugin and releases what was kept after unloading.
    void unloadAll();

    const PluginIdentity* loaded() const { return loadedPlugin ? &loadedPlugin->identity : nullptr; }
    // The library loaded last, for `plugin load` without a file.
    const std::filesystem::path& lastLibrary() const { return lastLibraryFile; }

private:
    struct LoadedPlugin {
        PluginLibrary library;  // first member: closed after everything else is gone
        PluginIdentity identity;
        std::shared_ptr<PluginSession> session;
        std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> instance;
        BakkesMod::Plugin::DeleteMeFunction deleteMe = nullptr;
    };

    // Detaches the session and destroys every callable the plugin handed
    // over; they hold code of the library, so this comes before closing it.
    void release(LoadedPlugin plugin);

    HostServices& services;
    Registry& registry;
    GameLoop& loop;
    PluginGuard& guard;
    ConsoleOutput& output;
    Trace& trace;
    const bool keepCallablesAfterUnload;
    std::optional<LoadedPlugin> loadedPlugin;
    std::vector<LoadedPlugin> retained;  // unloaded, but kept live on request
    std::filesystem::path lastLibraryFile;
};

}  // namespace tarnwick::host
