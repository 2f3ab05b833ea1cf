#include "PluginLoader.h"

#include <bit>
#include <string>

#include <fmt/format.h>

#include "Text.h"
#include "bakkesmod/sdk.h"

namespace tarnwick::host {
namespace {

using BakkesMod::Plugin::BakkesModPlugin;
using BakkesMod::Plugin::DeleteMeFunction;
using BakkesMod::Plugin::GetPluginFunction;
using BakkesMod::Plugin::PluginInfo;

std::string textOf(const char* text)
{
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

PluginLoader::PluginLoader(HostServices& services, Registry& registry, GameLoop& loop, PluginGuard& guard,
                           ConsoleOutput& output, Trace& trace, bool keepCallablesAfterUnload)
    : services(services),
      registry(registry),
      loop(loop),
      guard(guard),
      output(output),
      trace(trace),
      keepCallablesAfterUnload(keepCallablesAfterUnload)
{
}

void PluginLoader::load(const std::filesystem::path& file)
{
    if (loadedPlugin) {
        throw PluginLoadError(
            fmt::format("{} is loaded already; unload it first", text::narrowFromPath(loadedPlugin->identity.library)));
    }
    PluginLibrary library = PluginLibrary::open(file);
    const auto* info = static_cast<const PluginInfo*>(library.symbol("exports"));
    void* const getPluginAddress = library.symbol("getPlugin");
    void* const deleteMeAddress = library.symbol("deleteMe");
    std::vector<std::string> missing;
    if (info == nullptr) missing.emplace_back("exports");
    if (getPluginAddress == nullptr) missing.emplace_back("getPlugin");
    if (deleteMeAddress == nullptr) missing.emplace_back("deleteMe");
    if (!missing.empty()) {
        throw PluginLoadError(fmt::format("{} is not a plugin for this host: it does not export {}",
                                          text::narrowFromPath(file), fmt::join(missing, ", ")));
    }
    if (info->hostApiVersion != BakkesMod::Plugin::hostApiVersion) {
        throw PluginLoadError(fmt::format("{} was built for host API version {}; this host runs version {}",
                                          text::narrowFromPath(file), info->hostApiVersion,
                                          BakkesMod::Plugin::hostApiVersion));
    }
    PluginIdentity identity{file,
                            info->hostApiVersion,
                            textOf(info->sourceFile),
                            textOf(info->className),
                            textOf(info->displayName),
                            textOf(info->versionText),
                            info->pluginType};

    std::shared_ptr<BakkesModPlugin>* handle = nullptr;
    try {
        handle = std::bit_cast<GetPluginFunction>(getPluginAddress)();
    } catch (const std::exception& error) {
        throw PluginLoadError(fmt::format("getPlugin of {} failed: {}", text::narrowFromPath(file), error.what()));
    }
    if (handle == nullptr || !*handle) {
        throw PluginLoadError(fmt::format("getPlugin of {} returned no plugin object", text::narrowFromPath(file)));
    }

    auto session = std::make_shared<PluginSession>(services, identity.className);
    auto instance = *handle;
    instance->cvarManager = std::make_shared<CVarManagerWrapper>(session);
    instance->gameWrapper = std::make_shared<GameWrapper>(session);
    lastLibraryFile = file;
    trace.record("plugin", {{"action", "load"},
                             {"name", identity.className},
                             {"version", identity.version},
                             {"api", identity.hostApiVersion}});
    output.print(
        fmt::format("loaded {} {} from {}", identity.displayName, identity.version, text::narrowFromPath(file)));
    loadedPlugin.emplace(LoadedPlugin{std::move(library), std::move(identity), std::move(session), instance,
                                 std::bit_cast<DeleteMeFunction>(deleteMeAddress)});
    guard.call("onLoad", [&] { instance->onLoad(); });
}

void PluginLoader::unload()
{
    if (!loadedPlugin) return;
    trace.record("plugin", {{"action", "unload"},
                             {"name", loadedPlugin->identity.className},
                             {"version", loadedPlugin->identity.version},
                             {"api", loadedPlugin->identity.hostApiVersion}});
    guard.call("onUnload", [&] { loadedPlugin->instance->onUnload(); });
    guard.call("deleteMe", [&] { loadedPlugin->deleteMe(); });
    LoadedPlugin gone = std::move(*loadedPlugin);
    loadedPlugin.reset();
    output.print(fmt::format("unloaded {}", gone.identity.displayName));
    gone.instance.reset();
    if (keepCallablesAfterUnload) {
        retained.push_back(std::move(gone));
        return;
    }
    release(std::move(gone));
}

void PluginLoader::unloadAll()
{
    unload();
    for (auto& plugin : retained) release(std::move(plugin));
}

void PluginLoader::release(LoadedPlugin plugin)
{
    plugin.session->detach();
    registry.drop(*plugin.session);
    loop.dropTimers(plugin.session.get());
}

}  // namespace tarnwick::host
