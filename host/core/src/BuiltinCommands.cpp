#include "BuiltinCommands.h"

#include <filesystem>

#include <fmt/format.h>

namespace tarnwick::host {
namespace {

constexpr std::string_view freePlayMap = "Park_P";

}  // namespace

BuiltinCommands::BuiltinCommands(Console& console, Registry& registry, PageCommands& pages, PluginLoader& loader,
                                 GameEvents& game, PluginGuard& guard, ConsoleOutput& output)
    : console(console),
      registry(registry),
      pages(pages),
      loader(loader),
      game(game),
      guard(guard),
      output(output)
{
}

const std::vector<BuiltinCommands::Builtin>& BuiltinCommands::builtins()
{
    using B = BuiltinCommands;
    static const std::vector<Builtin> table{
        {"cl_settings_refreshplugins", "re-read and show the plugin settings pages", &B::refreshSettings},
        {"cvarlist", "list the console variables and their values", &B::listVariables},
        {"exec", "exec FILE: run the console lines of FILE", nullptr},
        {"help", "help [NAME]: list the commands and variables, or show one", &B::help},
        {"load_freeplay", "load the free-play map", &B::loadFreePlay},
        {"load_workshop", "load_workshop PATH: load a map file", &B::loadWorkshop},
        {"page", "page [pick|type|tick|press CONTROL [VALUE]]: show the settings pages, or use a control", &B::page},
        {"plugin", "plugin load [FILE] | plugin unload", &B::pluginCommand},
        {"preload", "preload NAME: the game fires the pre-load event for NAME", &B::preload},
        {"quit", "unload the plugin and exit", &B::quit},
        {"wait", "wait SECONDS: keep the game running that long before the next line", nullptr},
    };
    return table;
}

std::vector<std::string_view> BuiltinCommands::names()
{
    std::vector<std::string_view> names;
    for (const auto& builtin : builtins()) names.push_back(builtin.name);
    return names;
}

const BuiltinCommands::Builtin* BuiltinCommands::find(std::string_view name)
{
    for (const auto& builtin : builtins()) {
        if (builtin.name == name) return &builtin;
    }
    return nullptr;
}

void BuiltinCommands::runCommand(const ConsoleWords& words)
{
    const std::string& name = words.front();
    if (const Builtin* builtin = find(name)) {
        if (builtin->run != nullptr) (this->*builtin->run)(words);
    } else if (!registry.run(words)) {
        output.print(unknownName(name));
    }
}

Painted BuiltinCommands::unknownName(std::string_view name) const
{
    const auto similar = registry.similarNames(name);
    const std::string guess = similar.empty() ? "" : fmt::format("; did you mean {}?", fmt::join(similar, ", "));
    return mistake(fmt::format("unknown command or variable \"{}\"{} (type help for the list)", name, guess));
}

void BuiltinCommands::loadWorkshop(const ConsoleWords& words)
{
    if (words.size() != 2) {
        output.print("usage: load_workshop PATH (quote a path with blanks)");
        return;
    }
    game.startMapLoad(words[1]);
}

void BuiltinCommands::loadFreePlay(const ConsoleWords&) { game.startMapLoad(std::string(freePlayMap)); }

void BuiltinCommands::preload(const ConsoleWords& words)
{
    if (words.size() != 2) {
        output.print("usage: preload NAME");
        return;
    }
    game.startMapLoad(words[1]);
}

void BuiltinCommands::quit(const ConsoleWords&) { console.quit(); }

void BuiltinCommands::page(const ConsoleWords& words) { pages.page(words); }

void BuiltinCommands::refreshSettings(const ConsoleWords&) { pages.refresh(); }

void BuiltinCommands::pluginCommand(const ConsoleWords& words)
{
    if (words.size() == 2 && words[1] == "unload") {
        if (loader.loaded() == nullptr) {
            output.print("no plugin is loaded");
            return;
        }
        guard.outsidePluginCalls([this] { loader.unload(); });
    } else if ((words.size() == 2 || words.size() == 3) && words[1] == "load") {
        std::filesystem::path file = loader.lastLibrary();
        if (words.size() == 3) {
            const auto named = output.typedPath(words[2], "plugin load");
            if (!named) return;
            file = *named;
        }
        if (file.empty()) {
            output.print("usage: plugin load FILE (no plugin was loaded before)");
            return;
        }
        guard.outsidePluginCalls([this, file] {
            try {
                loader.load(file);
            } catch (const PluginLoadError& error) {
                output.reportError(error.what());
            }
        });
    } else {
        output.print("usage: plugin load [FILE] | plugin unload");
    }
}

void BuiltinCommands::listVariables(const ConsoleWords&)
{
    if (registry.variables().empty()) output.print("no console variables");
    for (const auto& [name, variable] : registry.variables()) {
        output.print(fmt::format("{} = \"{}\"  {}", name, variable->value, variable->description));
    }
}

void BuiltinCommands::help(const ConsoleWords& words)
{
    if (words.size() > 2) {
        output.print(mistake("usage: help [NAME]"));
        return;
    }
    if (words.size() == 2) {
        helpOn(words[1]);
        return;
    }
    const auto heading = [this](std::string_view text) { output.print(Painted{Paint::bold, std::string(text)}); };
    heading("host commands:");
    for (const auto& builtin : builtins()) output.print(fmt::format("  {:<28} {}", builtin.name, builtin.help));
    if (!registry.commands().empty()) heading("plugin commands:");
    for (const auto& [name, command] : registry.commands()) {
        output.print(fmt::format("  {:<28} {}", name, command.description));
    }
    if (!registry.variables().empty()) heading("variables:");
    for (const auto& [name, variable] : registry.variables()) {
        output.print(fmt::format("  {:<28} {} (now \"{}\")", name, variable->description, variable->value));
    }
    output.print("NAME shows a variable, NAME VALUE sets it; ';' separates commands; help NAME shows one");
}

void BuiltinCommands::helpOn(const std::string& name)
{
    const auto& commands = registry.commands();
    if (const Builtin* builtin = find(name)) {
        output.print(fmt::format("{} (host command): {}", name, builtin->help));
    } else if (const auto command = commands.find(name); command != commands.end()) {
        output.print(fmt::format("{} (command of {}): {}", name, command->second.owner->className(),
                                  command->second.description));
    } else if (const auto variable = registry.findVariable(name)) {
        const auto& v = *variable;
        output.print(fmt::format("{} (variable of {}): {}", name, v.owner->className(), v.description));
        output.print(fmt::format("  value \"{}\", default \"{}\", {}", v.value, v.defaultValue,
                                  v.saveToConfig ? "saved in the config file" : "not saved"));
    } else {
        output.print(unknownName(name));
    }
}

}  // namespace tarnwick::host
