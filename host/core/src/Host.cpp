// The host put together: each part below does one job, and this file wires
// them and answers the public API and the SDK wrappers by handing over to
// the part whose job it is.
#include "tarnwick/host/Host.h"

#include <iostream>

#include <fmt/format.h>

#include "BuiltinCommands.h"
#include "ConfigStore.h"
#include "Console.h"
#include "ConsoleOutput.h"
#include "GameEvents.h"
#include "GameLoop.h"
#include "PageCommands.h"
#include "PluginGuard.h"
#include "PluginLoader.h"
#include "PluginSession.h"
#include "Registry.h"
#include "Text.h"
#include "Trace.h"
#include "bakkesmod/game.h"

namespace tarnwick::host {

struct Host::State final : HostServices, CommandRunner {
    explicit State(HostOptions hostOptions);
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // --- HostServices -----------------------------------------------------

    void registerCommand(PluginSession& owner, std::string name, CommandCallback callback,
                         std::string description) override
    {
        registry.registerCommand(owner, std::move(name), std::move(callback), std::move(description));
    }

    std::shared_ptr<ConsoleVariable> registerVariable(PluginSession& owner, std::string name,
                                                      std::string defaultValue, std::string description,
                                                      bool saveToConfig) override
    {
        return registry.registerVariable(owner, std::move(name), std::move(defaultValue), std::move(description),
                                         saveToConfig);
    }

    std::shared_ptr<ConsoleVariable> findVariable(std::string_view name) override
    {
        return registry.findVariable(name);
    }

    void setVariable(ConsoleVariable& variable, std::string value) override
    {
        registry.setVariable(variable, std::move(value));
    }

    void executeFromPlugin(PluginSession& owner, std::string_view line, bool echo) override
    {
        if (echo) output.print(fmt::format("[{}] runs: {}", owner.className(), line));
        console.execute(line, CommandOrigin::plugin);
    }

    void log(PluginSession& owner, std::string_view message) override
    {
        output.print(fmt::format("[{}] {}", owner.className(), message));
        trace.record("log", {{"text", std::string(message)}});
    }

    void hookEvent(PluginSession& owner, std::string eventName, AddressHook hook) override
    {
        registry.hookEvent(owner, std::move(eventName), std::move(hook));
    }

    std::filesystem::path hostFolder() const override { return options.hostFolder; }
    std::filesystem::path dataFolder() const override { return options.dataFolder; }

    void setTimer(std::shared_ptr<PluginSession> owner, TimeoutCallback callback, double delaySeconds) override
    {
        const PluginSession* key = owner.get();
        loop.setTimer(key, delaySeconds, [this, owner = std::move(owner), callback = std::move(callback)] {
            if (!owner->attached()) return;
            trace.record("timer_fired");
            GameWrapper game(owner);
            guard.call("timer", [&] { callback(&game); });
        });
    }

    // --- CommandRunner ----------------------------------------------------

    void runCommand(const ConsoleWords& words) override { builtins.runCommand(words); }

    // --- the parts, each built on those above it ---------------------------

    const HostOptions options;
    GameLoop loop;
    Trace trace;
    ConsoleOutput output;
    PluginGuard guard;
    ConfigStore config;
    Registry registry;
    PluginLoader loader;
    GameEvents game;
    Console console;
    PageCommands pages;
    BuiltinCommands builtins;
};

Host::State::State(HostOptions hostOptions)
    : options(std::move(hostOptions)),
      loop(options.clock, [this](double delay) { trace.record("timer_set", {{"delay", delay}}); }),
      trace(options.tracePath, options.keepEvents, [this] { return loop.now(); },
            [this](const std::system_error& failure) {
                output.reportError(fmt::format("{}; the trace stops here", failure.what()));
            }),
      output(options.console != nullptr ? *options.console : std::cout, options.colour, trace),
      guard(output, loop),
      config(options.configFile, output),
      registry(BuiltinCommands::names(), *this, guard, output, trace, config),
      loader(*this, registry, loop, guard, output, trace, options.keepCallablesAfterUnload),
      game(loop, registry, guard, output, trace),
      console({options.execFolder, options.configFile, options.echoConsoleLines}, loop, *this, output, trace),
      pages(options.hostFolder / "plugins" / "settings", console, registry, output, trace),
      builtins(console, registry, pages, loader, game, guard, output)
{
}

Host::State::~State() { loader.unloadAll(); }

Host::Host(HostOptions options) : state(std::make_shared<State>(std::move(options))) {}

Host::~Host() = default;

void Host::loadPlugin(const std::filesystem::path& library) { state->loader.load(library); }

void Host::unloadPlugin() { state->loader.unload(); }

bool Host::hasPlugin() const { return state->loader.loaded() != nullptr; }

const PluginIdentity& Host::plugin() const
{
    const PluginIdentity* identity = state->loader.loaded();
    if (identity == nullptr) throw std::logic_error("no plugin is loaded");
    return *identity;
}

void Host::execute(std::string_view line, CommandOrigin origin) { state->console.execute(line, origin); }

void Host::startMapLoad(std::string_view map) { state->game.startMapLoad(std::string(map)); }

void Host::runPending() { state->loop.runPending(state->console); }

void Host::runFor(Seconds duration) { state->loop.runFor(state->console, duration.count()); }

bool Host::runUntil(const std::function<bool()>& done, Seconds deadline)
{
    return state->loop.runUntil(state->console, done, GameLoop::deadlineIn(deadline.count()));
}

void Host::postLine(std::string line) { state->loop.post(std::move(line)); }

void Host::postEndOfInput() { state->loop.post(std::nullopt); }

void Host::postStop() { state->loop.stop(); }

bool Host::postInterrupt() { return state->loop.interrupt(); }

void Host::run()
{
    state->loop.runUntil(state->console, [this] { return state->console.quitRequested(); }, std::nullopt);
}

bool Host::quitRequested() const { return state->console.quitRequested(); }

double Host::now() const { return state->loop.now(); }

std::vector<nlohmann::json> Host::events() const { return state->trace.events(); }

std::vector<nlohmann::json> Host::events(std::string_view kind) const { return state->trace.events(kind); }

std::optional<std::string> Host::variable(std::string_view name) const
{
    const auto variable = state->registry.findVariable(name);
    if (!variable) return std::nullopt;
    return variable->value;
}

void Host::setVariable(std::string_view name, std::string value)
{
    const auto variable = state->registry.findVariable(name);
    if (!variable) throw std::invalid_argument(fmt::format("no console variable \"{}\"", name));
    state->registry.setVariable(*variable, std::move(value));
}

bool Host::hasCommand(std::string_view name) const { return state->registry.hasCommand(name); }

std::vector<std::string> Host::consoleNames() const { return state->registry.names(); }

void Host::saveConfig() { state->config.save(state->registry.savedVariables()); }

void Host::finishTrace() { state->trace.finish(); }

std::string consoleText(std::string_view text) { return text::escapeControls(text); }

}  // namespace tarnwick::host
