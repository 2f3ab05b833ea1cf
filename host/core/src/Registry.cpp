#include "Registry.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace tarnwick::host {
namespace {

bool typeable(std::string_view name)
{
    return !name.empty() && name.find_first_of(" \t\r\n\v\f\";") == std::string_view::npos;
}

std::size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

Registry::Registry(std::vector<std::string_view> reservedNames, HostServices& services, PluginGuard& guard,
                   ConsoleOutput& output, Trace& trace, ConfigStore& config)
    : reservedNames(std::move(reservedNames)),
      services(services),
      guard(guard),
      output(output),
      trace(trace),
      config(config)
{
    refreshNames();
}

bool Registry::reserved(std::string_view name) const
{
    return std::find(reservedNames.begin(), reservedNames.end(), name) != reservedNames.end();
}

void Registry::registerCommand(PluginSession& owner, std::string name, CommandCallback callback,
                               std::string description)
{
    if (!typeable(name) || reserved(name) || variablesByName.contains(name)) {
        output.print(fmt::format("[{}] cannot register command \"{}\": the name is taken or cannot be typed",
                                  owner.className(), name));
        return;
    }
    commandsByName.insert_or_assign(std::move(name), Command{&owner, std::move(callback), std::move(description)});
    refreshNames();
}

std::shared_ptr<ConsoleVariable> Registry::registerVariable(PluginSession& owner, std::string name,
                                                            std::string defaultValue, std::string description,
                                                            bool saveToConfig)
{
    if (const auto existing = variablesByName.find(name); existing != variablesByName.end()) return existing->second;
    if (!typeable(name) || reserved(name) || commandsByName.contains(name)) {
        output.print(fmt::format("[{}] cannot register variable \"{}\": the name is taken or cannot be typed",
                                  owner.className(), name));
        return nullptr;
    }
    auto variable = std::make_shared<ConsoleVariable>(services, owner, name, std::move(defaultValue),
                                                      std::move(description), saveToConfig);
    // Restored as the plugin registers it, so its first reads see the saved value.
    if (saveToConfig) {
        if (auto saved = config.savedValue(name)) variable->value = std::move(*saved);
    }
    variablesByName.emplace(std::move(name), variable);
    refreshNames();
    return variable;
}

void Registry::hookEvent(PluginSession& owner, std::string eventName, AddressHook hook)
{
    hooks.push_back({&owner, std::move(eventName), std::move(hook)});
}

std::shared_ptr<ConsoleVariable> Registry::findVariable(std::string_view name) const
{
    const auto variable = variablesByName.find(name);
    return variable != variablesByName.end() ? variable->second : nullptr;
}

void Registry::setVariable(ConsoleVariable& variable, std::string value)
{
    const auto keep = variable.shared_from_this();
    const std::string oldValue = std::exchange(variable.value, std::move(value));
    trace.record("cvar", {{"name", variable.name}, {"value", variable.value}});
    // A callable may add further callables; those wait for the next set.
    const auto callbacks = variable.changeCallbacks;
    for (const auto& callback : callbacks) {
        guard.call(fmt::format("change callable of {}", variable.name),
                    [&] { callback(oldValue, CVarWrapper(keep)); });
    }
}

bool Registry::run(const ConsoleWords& words)
{
    const std::string& name = words.front();
    if (const auto command = commandsByName.find(name); command != commandsByName.end()) {
        const auto callback = command->second.callback;
        guard.call(fmt::format("command {}", name), [&] { callback(words); });
        return true;
    }
    const auto variable = variablesByName.find(name);
    if (variable == variablesByName.end()) return false;
    const auto keep = variable->second;
    if (words.size() == 1) {
        output.print(fmt::format("{} = \"{}\"", name, keep->value));
        return true;
    }
    if (words.size() > 2) {
        output.print(mistake(fmt::format(
            "{} takes one value; the words after \"{}\" are ignored (quote a value with blanks)", name, words[1])));
    }
    setVariable(*keep, words[1]);
    return true;
}

std::vector<AddressHook> Registry::hooksOn(std::string_view eventName) const
{
    std::vector<AddressHook> matching;
    for (const auto& hook : hooks) {
        if (hook.eventName == eventName) matching.push_back(hook.hook);
    }
    return matching;
}

std::vector<const ConsoleVariable*> Registry::savedVariables() const
{
    std::vector<const ConsoleVariable*> saved;
    for (const auto& [name, variable] : variablesByName) {
        if (variable->saveToConfig) saved.push_back(variable.get());
    }
    return saved;
}

bool Registry::hasCommand(std::string_view name) const { return commandsByName.contains(name) || reserved(name); }

void Registry::drop(const PluginSession& owner)
{
    std::erase_if(commandsByName, [&](const auto& entry) { return entry.second.owner == &owner; });
    std::erase_if(variablesByName, [&](const auto& entry) {
        if (entry.second->owner != &owner) return false;
        if (entry.second->saveToConfig) config.keep(*entry.second);
        entry.second->services = nullptr;
        entry.second->changeCallbacks.clear();
        return true;
    });
    std::erase_if(hooks, [&](const Hook& hook) { return hook.owner == &owner; });
    refreshNames();
}

std::vector<std::string> Registry::names() const
{
    std::lock_guard lock(namesMutex);
    return sharedNames;
}

std::vector<std::string> Registry::allNames() const
{
    std::vector<std::string> all;
    for (const auto& name : reservedNames) all.emplace_back(name);
    for (const auto& [name, command] : commandsByName) all.push_back(name);
    for (const auto& [name, variable] : variablesByName) all.push_back(name);
    std::sort(all.begin(), all.end());
    return all;
}

void Registry::refreshNames()
{
    auto all = allNames();
    std::lock_guard lock(namesMutex);
    sharedNames = std::move(all);
}

std::vector<std::string> Registry::similarNames(std::string_view name) const
{
    std::vector<std::pair<std::size_t, std::string>> scored;
    for (const auto& candidate : allNames()) {
        const std::size_t gap = std::max(name.size(), candidate.size()) - std::min(name.size(), candidate.size());
        const bool prefix = name.size() >= 3 && candidate.starts_with(name);
        // Lengths further apart are never that close; a line of megabytes
        // must not cost its length times every name's.
        if (gap > 2 && !prefix) continue;
        const std::size_t distance = prefix ? gap : editDistance(name, candidate);
        const bool close = distance <= (name.size() < 5 ? 1u : 2u);
        if (close || prefix) scored.emplace_back(distance, candidate);
    }
    std::sort(scored.begin(), scored.end());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < scored.size() && i < 3; ++i) names.push_back(scored[i].second);
    return names;
}

}  // namespace tarnwick::host
