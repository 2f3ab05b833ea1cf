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
    : services_(services),
      registry_(registry),
      loop_(loop),
      guard_(guard),
      output_(output),
      trace_(trace),
      keepCallablesAfterUnload_(keepCallablesAfterUnload)
{
}

void PluginLoader::load(const std::filesystem::path& file)
{
    if (loaded_) {
        throw PluginLoadError(
            fmt::format("{} is loaded already; unload it first", text::narrowFromPath(loaded_->identity.library)));
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

    auto session = std::make_shared<PluginSession>(services_, identity.className);
    auto instance = *handle;
    instance->cvarManager = std::make_shared<CVarManagerWrapper>(session);
    instance->gameWrapper = std::make_shared<GameWrapper>(session);
    lastLibrary_ = file;
    trace_.record("plugin", {{"action", "load"},
                             {"name", identity.className},
                             {"version", identity.version},
                             {"api", identity.hostApiVersion}});
    output_.print(
        fmt::format("loaded {} {} from {}", identity.displayName, identity.version, text::narrowFromPath(file)));
    loaded_.emplace(LoadedPlugin{std::move(library), std::move(identity), std::move(session), instance,
                                 std::bit_cast<DeleteMeFunction>(deleteMeAddress)});
    guard_.call("onLoad", [&] { instance->onLoad(); });
}

void PluginLoader::unload()
{
    if (!loaded_) return;
    trace_.record("plugin", {{"action", "unload"},
                             {"name", loaded_->identity.className},
                             {"version", loaded_->identity.version},
                             {"api", loaded_->identity.hostApiVersion}});
    guard_.call("onUnload", [&] { loaded_->instance->onUnload(); });
    guard_.call("deleteMe", [&] { loaded_->deleteMe(); });
    LoadedPlugin gone = std::move(*loaded_);
    loaded_.reset();
    output_.print(fmt::format("unloaded {}", gone.identity.displayName));
    gone.instance.reset();
    if (keepCallablesAfterUnload_) {
        retained_.push_back(std::move(gone));
        return;
    }
    release(std::move(gone));
}

void PluginLoader::unloadAll()
{
    unload();
    for (auto& plugin : retained_) release(std::move(plugin));
}

void PluginLoader::release(LoadedPlugin plugin)
{
    plugin.session->detach();
    registry_.drop(*plugin.session);
    loop_.dropTimers(plugin.session.get());
}

}  // namespace tarnwick::host
