#include "SettingsPage.h"

#include <algorithm>
#include <charconv>
#include <cctype>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Paint.h"
#include "Text.h"

namespace tarnwick::host {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator, std::size_t maxParts)
{
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < maxParts) {
        const auto at = text.find(separator);
        if (at == std::string_view::npos) break;
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
    parts.push_back(text);
    return parts;
}

// Options are written unescaped, so a value may itself hold '@'. Pages show
// each entry as text@value with both halves equal, so a split in the middle
// that yields equal halves wins; otherwise the first '@' separates them.
SettingsOption parseOption(std::string_view option)
{
    if (option.size() % 2 == 1) {
        const std::size_t middle = option.size() / 2;
        if (option[middle] == '@' && option.substr(0, middle) == option.substr(middle + 1)) {
            return {std::string(option.substr(0, middle)), std::string(option.substr(middle + 1))};
        }
    }
    const auto at = option.find('@');
    if (at == std::string_view::npos) return {std::string(option), std::string(option)};
    return {std::string(option.substr(0, at)), std::string(option.substr(at + 1))};
}

std::optional<ControlKind> controlKind(std::string_view field)
{
    int number = -1;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), number);
    if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
    switch (number) {
    case 0: return ControlKind::button;
    case 1: return ControlKind::checkBox;
    case 6: return ControlKind::dropDown;
    case 12: return ControlKind::textBox;
    default: return std::nullopt;
    }
}

}  // namespace

SettingsPage parseSettingsPage(std::string_view text)
{
    SettingsPage page;
    std::size_t lineNumber = 0;
    bool haveTitle = false;
    while (!text.empty()) {
        const std::string_view line = text::takeLine(text);
        ++lineNumber;

        if (!haveTitle) {
            page.title = std::string(line);
            haveTitle = true;
            continue;
        }
        if (line.empty()) continue;

        const auto fields = split(line, '|', 4);
        if (fields.size() < 3) {
            page.problems.push_back({lineNumber, "expected kind|label|name, found fewer fields"});
            continue;
        }
        const auto kind = controlKind(fields[0]);
        if (!kind) {
            page.problems.push_back(
                {lineNumber, fmt::format("unknown control kind \"{}\" (known: 0, 1, 6, 12)", fields[0])});
            continue;
        }
        SettingsControl control{*kind, std::string(fields[1]), std::string(fields[2]), {}};
        if (control.name.empty()) {
            page.problems.push_back({lineNumber, "control without a variable or command name"});
            continue;
        }
        if (*kind == ControlKind::dropDown) {
            if (fields.size() == 4 && !fields[3].empty()) {
                for (const auto option : split(fields[3], '&', std::string_view::npos)) {
                    control.options.push_back(parseOption(option));
                }
            }
        } else if (fields.size() == 4) {
            page.problems.push_back({lineNumber, "extra fields after the name ignored"});
        }
        page.controls.push_back(std::move(control));
    }
    if (!haveTitle) page.problems.push_back({1, "empty file: no title line"});
    return page;
}

std::string renderSettingsPage(const SettingsPage& page, const VariableLookup& variable, const RenderOptions& options)
{
    const bool colour = options.colour;
    // Everything taken from the file or a variable goes to the terminal
    // with its control characters escaped.
    const auto e = [](std::string_view text) { return text::escapeControls(text); };
    const auto shown = [&](const std::optional<std::string>& value) {
        return value ? fmt::format("\"{}\"", e(*value)) : paint(colour, Paint::yellow, "(no such variable)");
    };
    std::string out = paint(colour, Paint::bold, fmt::format("== {} ==", e(page.title))) + "\n";
    // The first control of each kind, for the closing usage line.
    std::optional<std::size_t> firstOf[4];
    for (std::size_t index = 0; index < page.controls.size(); ++index) {
        const auto& control = page.controls[index];
        const std::size_t number = options.firstNumber + index;
        const auto value = control.kind == ControlKind::button ? std::nullopt : variable(control.name);
        out += fmt::format("{:>3}. ", number);
        switch (control.kind) {
        case ControlKind::button:
            firstOf[0] = firstOf[0].value_or(number);
            out += fmt::format("{}  {}\n", paint(colour, Paint::cyan, fmt::format("[ {} ]", e(control.label))),
                               paint(colour, Paint::dim, fmt::format("(button, runs {})", e(control.name))));
            break;
        case ControlKind::checkBox: {
            firstOf[1] = firstOf[1].value_or(number);
            const bool ticked = value && readsTrue(*value);
            out += fmt::format("{} {}  {}", paint(colour, ticked ? Paint::green : Paint::bold, ticked ? "[x]" : "[ ]"),
                               e(control.label), paint(colour, Paint::dim, fmt::format("(check box {})", e(control.name))));
            out += value ? "\n" : " " + shown(value) + "\n";
            break;
        }
        case ControlKind::textBox:
            firstOf[2] = firstOf[2].value_or(number);
            out += fmt::format("{}  {}\n       {}\n", e(control.label),
                               paint(colour, Paint::dim, fmt::format("(text box {})", e(control.name))), shown(value));
            break;
        case ControlKind::dropDown: {
            firstOf[3] = firstOf[3].value_or(number);
            out += fmt::format("{}  {}\n", e(control.label),
                               paint(colour, Paint::dim, fmt::format("(drop-down {})", e(control.name))));
            bool found = false;
            for (std::size_t i = 0; i < control.options.size(); ++i) {
                const auto& option = control.options[i];
                const bool chosen = value && *value == option.value;
                found = found || chosen;
                std::string text = option.text.find_first_not_of(' ') == std::string::npos ? "(blank)" : e(option.text);
                if (option.value != option.text) text += fmt::format(" -> {}", e(option.value));
                const std::string line = fmt::format("{} {}) {}", chosen ? '*' : ' ', i + 1, text);
                out += "     " + (chosen ? paint(colour, Paint::green, line) : line) + "\n";
            }
            if (control.options.empty()) out += "       (no options)\n";
            if (!found) out += fmt::format("       chosen: {}\n", value ? shown(value) + " (not in the list)" : shown(value));
            break;
        }
        }
    }
    for (const auto& problem : page.problems) {
        out += paint(colour, Paint::yellow, fmt::format("  (line {} skipped: {})", problem.line, e(problem.message))) + "\n";
    }
    std::vector<std::string> usage;
    if (firstOf[3]) usage.push_back(fmt::format("page pick {} OPTION", *firstOf[3]));
    if (firstOf[2]) usage.push_back(fmt::format("page type {} TEXT", *firstOf[2]));
    if (firstOf[1]) usage.push_back(fmt::format("page tick {}", *firstOf[1]));
    if (firstOf[0]) usage.push_back(fmt::format("page press {}", *firstOf[0]));
    if (!usage.empty()) out += paint(colour, Paint::dim, fmt::format("  use: {}", fmt::join(usage, " | "))) + "\n";
    return out;
}

bool readsTrue(std::string_view value)
{
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "true") return true;
    double number = 0;
    const auto [end, error] = std::from_chars(lower.data(), lower.data() + lower.size(), number);
    return error == std::errc() && end == lower.data() + lower.size() && number != 0;
}

}  // namespace tarnwick::host
