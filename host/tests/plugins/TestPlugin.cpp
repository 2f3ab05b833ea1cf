// A small plugin that exercises every host operation on command, for the
// host's own tests. Built as is, without its exported record, and with an
// API version the host must refuse.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bakkesmod/sdk.h"

#ifndef TEST_PLUGIN_API_VERSION
#define TEST_PLUGIN_API_VERSION 95
#endif

using BakkesMod::Plugin::BakkesModPlugin;

namespace {

std::string joined(const std::vector<std::string>& words, std::size_t from, const char* separator = " ")
{
    std::string text;
    for (std::size_t i = from; i < words.size(); ++i) {
        if (i > from) text += separator;
        text += words[i];
    }
    return text;
}

class MinimalPlugin final : public BakkesModPlugin {
public:
    void onLoad() override;
    void onUnload() override { cvarManager->log("unloading"); }

private:
    void command(const char* name, CVarManagerWrapper::NotifierCallback callback)
    {
        cvarManager->registerNotifier(name, std::move(callback), std::string("test command ") + name, 0);
    }
};

void MinimalPlugin::onLoad()
{
    command("mp_echo", [this](std::vector<std::string> words) { cvarManager->log(joined(words, 1)); });
    command("mp_words", [this](std::vector<std::string> words) { cvarManager->log(joined(words, 0, "|")); });
    command("mp_throw", [](std::vector<std::string>) { throw std::runtime_error("mp_throw was told to fail"); });
    command("mp_later", [this](std::vector<std::string> words) {
        gameWrapper->SetTimeout([this, text = joined(words, 2)](GameWrapper*) { cvarManager->log("later " + text); },
                                std::stof(words.at(1)));
    });
    // Its timer holds the manager itself, not the plugin object, so it is
    // safe under a host that keeps callables after unloading.
    command("mp_later_kept", [this](std::vector<std::string> words) {
        gameWrapper->SetTimeout([manager = cvarManager, text = joined(words, 2)](
                                    GameWrapper*) { manager->log("kept " + text); },
                                std::stof(words.at(1)));
    });
    command("mp_throw_later", [this](std::vector<std::string>) {
        gameWrapper->SetTimeout([](GameWrapper*) { throw std::runtime_error("timer was told to fail"); }, 0.0f);
    });
    command("mp_exec", [this](std::vector<std::string> words) { cvarManager->executeCommand(joined(words, 1)); });
    command("mp_unload", [this](std::vector<std::string>) {
        cvarManager->executeCommand("plugin unload");
        cvarManager->log("still running");
    });
    command("mp_cwd", [this](std::vector<std::string>) { cvarManager->log(std::filesystem::current_path().string()); });
    command("mp_folders", [this](std::vector<std::string>) {
        cvarManager->log(gameWrapper->GetBakkesModPath().string() + "|" + gameWrapper->GetDataFolder().string());
    });
    command("mp_set", [this](std::vector<std::string> words) {
        cvarManager->getCvar(words.at(1)).setValue(words.at(2));
    });

    cvarManager->registerCvar("mp_value", "start", "logs its changes")
        .addOnValueChanged([this](std::string oldValue, CVarWrapper variable) {
            cvarManager->log("mp_value " + oldValue + " -> " + variable.getStringValue());
        });
    cvarManager->registerCvar("mp_fail", "0", "makes the change callable and the hook throw")
        .addOnValueChanged([](std::string, CVarWrapper variable) {
            if (variable.getBoolValue()) throw std::runtime_error("mp_fail is set");
        });

    cvarManager->registerCvar("mp_session", "0", "kept for this run only", true, false, 0.0f, false, 0.0f, false);

    gameWrapper->HookEventWithCaller<ActorWrapper>(
        "Function ProjectX.EngineShare_X.EventPreLoadMap", [this](ActorWrapper caller, void* params, std::string name) {
            if (cvarManager->getCvar("mp_fail").getBoolValue()) throw std::runtime_error("hook was told to fail");
            const UnrealStringWrapper map(reinterpret_cast<std::uintptr_t>(params));
            cvarManager->log("preload " + map.ToString() + (caller.IsNull() ? " without caller" : "") + " on " + name);
        });
    gameWrapper->HookEventWithCaller<ActorWrapper>(
        "Function TAGame.Other", [this](ActorWrapper, void*, std::string) { cvarManager->log("wrong event"); });
}

std::shared_ptr<BakkesModPlugin> instance;

}  // namespace

extern "C" {

PLUGIN_API std::shared_ptr<BakkesModPlugin>* getPlugin()
{
    if (!instance) instance = std::make_shared<MinimalPlugin>();
    return &instance;
}

PLUGIN_API void deleteMe() { instance.reset(); }

// Lets a test reach the game wrapper the host handed over, to set timers
// from threads of its own.
PLUGIN_API void minimalPluginGame(std::shared_ptr<GameWrapper>* game)
{
    *game = instance ? instance->gameWrapper : nullptr;
}

#ifndef TEST_PLUGIN_WITHOUT_EXPORTS
// A const object has internal linkage unless declared extern first.
extern PLUGIN_API const BakkesMod::Plugin::PluginInfo exports;
const BakkesMod::Plugin::PluginInfo exports{
    TEST_PLUGIN_API_VERSION, 0, __FILE__, "MinimalPlugin", "Minimal Test Plugin", "0.1.2", 1, 0, &getPlugin,
    &deleteMe};
#endif
}
