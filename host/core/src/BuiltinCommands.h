#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Console.h"
#include "ConsoleOutput.h"
#include "GameEvents.h"
#include "PageCommands.h"
#include "PluginGuard.h"
#include "PluginLoader.h"
#include "Registry.h"

namespace tarnwick::host {

// The host's own console commands, and what a command's name means: a host
// command, then a plugin's command or variable. Game thread only.
class BuiltinCommands final : public CommandRunner {
public:
    BuiltinCommands(Console& console, Registry& registry, PageCommands& pages, PluginLoader& loader,
                    GameEvents& game, PluginGuard& guard, ConsoleOutput& output);

    static std::vector<std::string_view> names();

    void runCommand(const ConsoleWords& words) override;

private:
    struct Builtin {
        std::string_view name;
        std::string_view help;
        // Null for the words the console runs itself before any command.
        void (BuiltinCommands::*run)(const ConsoleWords&);
    };
    static const std::vector<Builtin>& builtins();
    static const Builtin* find(std::string_view name);

    Painted unknownName(std::string_view name) const;

    void help(const ConsoleWords& words);
    void helpOn(const std::string& name);
    void listVariables(const ConsoleWords&);
    void loadFreePlay(const ConsoleWords&);
    void loadWorkshop(const ConsoleWords& words);
    void page(const ConsoleWords& words);
    void pluginCommand(const ConsoleWords& words);
    void preload(const ConsoleWords& words);
    void quit(const ConsoleWords&);
    void refreshSettings(const ConsoleWords&);

    Console& console;
    Registry& registry;
    PageCommands& pages;
    PluginLoader& loader;
    GameEvents& game;
    PluginGuard& guard;
    ConsoleOutput& output;
};

}  // namespace tarnwick::host
