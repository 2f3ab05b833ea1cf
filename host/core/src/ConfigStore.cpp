#include "ConfigStore.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

#include "Text.h"

namespace tarnwick::host {

ConfigStore::ConfigStore(std::optional<std::filesystem::path> file, ConsoleOutput& output)
    : configFile(std::move(file)), output(output)
{
    read();
}

void ConfigStore::read()
{
    if (!configFile) return;
    const auto& file = *configFile;
    std::error_code error;
    if (!std::filesystem::exists(file, error) && !error) return;  // the first run
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (error || !in) {
        // Saving over a file that could not be read would lose it.
        unreadable = true;
        output.reportError(fmt::format("cannot read the config file {}{}; it will not be saved either",
                                        text::narrowFromPath(file), error ? ": " + error.message() : std::string()));
        return;
    }
    auto parsed = parseConfig(content.str());
    savedValues = std::move(parsed.values);
    for (const auto& problem : parsed.problems) {
        output.print(
            mistake(fmt::format("{}:{}: skipped: {}", text::narrowFromPath(file), problem.line, problem.message)));
    }
}

std::optional<std::string> ConfigStore::savedValue(std::string_view name) const
{
    if (!configFile) return std::nullopt;
    const auto saved = savedValues.find(name);
    return saved != savedValues.end() ? std::optional(saved->second) : std::nullopt;
}

void ConfigStore::keep(const ConsoleVariable& variable) { keepIn(savedValues, variable); }

void ConfigStore::save(const std::vector<const ConsoleVariable*>& live)
{
    if (!configFile || unreadable) return;
    ConfigValues values = savedValues;
    for (const auto* variable : live) keepIn(values, *variable);
    if (const auto folder = configFile->parent_path(); !folder.empty()) std::filesystem::create_directories(folder);
    replaceFile(*configFile, formatConfig(values));
    savedValues = std::move(values);
}

void ConfigStore::keepIn(ConfigValues& values, const ConsoleVariable& variable)
{
    if (!configFile) return;
    if (configCanHold(variable.value)) {
        values.insert_or_assign(variable.name, variable.value);
    } else {
        output.print(mistake(fmt::format(
            "{} is not saved: a console line cannot hold its value's double quote or line break", variable.name)));
    }
}

}  // namespace tarnwick::host
