#include "PageCommands.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "Text.h"

namespace tarnwick::host {
namespace {

std::optional<std::size_t> positiveNumber(std::string_view text)
{
    std::size_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || number == 0) return std::nullopt;
    return number;
}

std::string_view kindName(ControlKind kind)
{
    switch (kind) {
    case ControlKind::button: return "button";
    case ControlKind::checkBox: return "check box";
    case ControlKind::dropDown: return "drop-down";
    case ControlKind::textBox: return "text box";
    }
    return "control";
}

// What to type to use a control of this kind.
std::string_view verbFor(ControlKind kind)
{
    switch (kind) {
    case ControlKind::button: return "press";
    case ControlKind::checkBox: return "tick";
    case ControlKind::dropDown: return "pick";
    case ControlKind::textBox: return "type";
    }
    return "press";
}

}  // namespace

PageCommands::PageCommands(std::filesystem::path settingsFolder, Console& console, Registry& registry,
                           ConsoleOutput& output, Trace& trace)
    : folder(std::move(settingsFolder)), console(console), registry(registry), output(output), trace(trace)
{
}

void PageCommands::readPages(bool show)
{
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code statusError;
        if (entry->path().extension() == ".set" && entry->is_regular_file(statusError)) {
            files.push_back(entry->path());
        }
    }
    if (error) {
        output.print(mistake(fmt::format("cannot read the settings folder {}: {}", text::narrowFromPath(folder),
                                          error.message())));
        return;
    }
    if (files.empty()) output.print(mistake(fmt::format("no settings pages in {}", text::narrowFromPath(folder))));
    std::sort(files.begin(), files.end());
    pages.clear();
    std::size_t nextNumber = 1;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        if (!in) {
            output.print(mistake(fmt::format("cannot read settings page {}", text::narrowFromPath(file))));
            continue;
        }
        trace.record("settings", {{"file", text::narrowFromPath(file)}});
        pages.push_back({parseSettingsPage(content.str()), nextNumber});
        nextNumber += pages.back().page.controls.size();
        if (show) showPage(pages.back());
    }
}

void PageCommands::showPage(const ShownPage& shownPage)
{
    std::string shown = renderSettingsPage(
        shownPage.page,
        [this](std::string_view name) {
            const auto variable = registry.findVariable(name);
            return variable ? std::optional(variable->value) : std::nullopt;
        },
        {shownPage.firstNumber, output.colour()});
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    output.printShown(shown);  // the page escapes what it shows of the file
}

void PageCommands::page(const ConsoleWords& words)
{
    if (words.size() == 1) {
        readPages(true);
        return;
    }
    const std::string& verb = words[1];
    const bool takesValue = verb == "pick" || verb == "type";
    if (!(takesValue || verb == "tick" || verb == "press")) {
        output.print(mistake(fmt::format("page: unknown action \"{}\"; use page pick, type, tick or press", verb)));
        return;
    }
    if (words.size() != (takesValue ? 4u : 3u)) {
        output.print(mistake(fmt::format("usage: page {} CONTROL{} (CONTROL: its number on the page or its name){}",
                                          verb, verb == "pick" ? " OPTION" : verb == "type" ? " TEXT" : "",
                                          verb == "type" ? "; quote a text with blanks" : "")));
        return;
    }
    if (pages.empty()) readPages(false);
    const SettingsControl* control = findControl(verb, words[2]);
    if (control == nullptr) return;
    const std::string& where = control->label;
    if (control->kind == ControlKind::button) {
        output.print(fmt::format("{}: runs {}", where, control->name));
        console.execute(control->name, CommandOrigin::console);
        return;
    }
    const auto variable = registry.findVariable(control->name);
    if (!variable) {
        output.print(mistake(fmt::format("page {}: there is no variable {} for {}; is its plugin loaded?", verb,
                                          control->name, where)));
        return;
    }
    std::string value;
    if (control->kind == ControlKind::checkBox) {
        value = readsTrue(variable->value) ? "0" : "1";
    } else if (control->kind == ControlKind::textBox) {
        value = words[3];
    } else {
        const auto option = findOption(*control, words[3]);
        if (!option) return;
        value = option->value;
    }
    registry.setVariable(*variable, value);
    output.print(fmt::format("{}: {} = \"{}\"", where, control->name, variable->value));
}

const SettingsControl* PageCommands::findControl(const std::string& verb, const std::string& reference)
{
    std::size_t count = 0;
    for (const auto& shown : pages) count += shown.page.controls.size();
    if (count == 0) {
        output.print(mistake("page: no controls to use; the settings pages are empty or missing"));
        return nullptr;
    }
    const SettingsControl* found = nullptr;
    if (const auto number = positiveNumber(reference)) {
        for (const auto& shown : pages) {
            if (*number >= shown.firstNumber && *number < shown.firstNumber + shown.page.controls.size()) {
                found = &shown.page.controls[*number - shown.firstNumber];
            }
        }
        if (found == nullptr) {
            output.print(mistake(
                fmt::format("page {}: no control {}; the pages have controls 1 to {}", verb, reference, count)));
            return nullptr;
        }
    } else {
        // By name, preferring the control the verb is for.
        for (const auto& shown : pages) {
            for (const auto& control : shown.page.controls) {
                if (control.name != reference) continue;
                if (found == nullptr || (verbFor(found->kind) != verb && verbFor(control.kind) == verb)) {
                    found = &control;
                }
            }
        }
        if (found == nullptr) {
            output.print(mistake(fmt::format("page {}: \"{}\" is neither a control number (1 to {}) nor the name "
                                              "of a control; type page to see them",
                                              verb, reference, count)));
            return nullptr;
        }
    }
    if (verbFor(found->kind) != verb) {
        output.print(mistake(fmt::format("page {}: {} is a {}; use page {} {}", verb, found->label,
                                          kindName(found->kind), verbFor(found->kind), reference)));
        return nullptr;
    }
    return found;
}

std::optional<SettingsOption> PageCommands::findOption(const SettingsControl& control, const std::string& reference)
{
    if (const auto number = positiveNumber(reference)) {
        if (*number <= control.options.size()) return control.options[*number - 1];
    }
    for (const auto& option : control.options) {
        if (option.text == reference || option.value == reference) return option;
    }
    if (control.options.empty()) {
        output.print(mistake(fmt::format("page pick: {} has no options to pick", control.label)));
    } else {
        output.print(mistake(fmt::format("page pick: {} has no option \"{}\"; pick a number from 1 to {} or an "
                                          "option's text",
                                          control.label, reference, control.options.size())));
    }
    return std::nullopt;
}

}  // namespace tarnwick::host
