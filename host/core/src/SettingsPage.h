#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::host {

// Control kinds as the settings files number them.
enum class ControlKind { button = 0, checkBox = 1, dropDown = 6, textBox = 12 };

struct SettingsOption {
    std::string text;
    std::string value;
    bool operator==(const SettingsOption&) const = default;
};

struct SettingsControl {
    ControlKind kind = ControlKind::button;
    std::string label;
    std::string name;  // the variable it edits, or the command a button runs
    std::vector<SettingsOption> options;
};

struct SettingsProblem {
    std::size_t line = 0;  // 1-based
    std::string message;
};

struct SettingsPage {
    std::string title;
    std::vector<SettingsControl> controls;
    std::vector<SettingsProblem> problems;  // lines that were skipped, and why
};

// Reads a settings file: a title line, then `kind|label|name[|options]` per
// control; drop-down options are `text@value` separated by '&'. LF and CR LF
// line ends both work. Malformed lines are reported, never fatal.
SettingsPage parseSettingsPage(std::string_view text);

using VariableLookup = std::function<std::optional<std::string>(std::string_view name)>;

struct RenderOptions {
    std::size_t firstNumber = 1;  // controls are numbered on from here
    bool colour = false;
};

// The page as the console shows it: each control numbered, with its
// current value, and a last line saying how to use the controls.
std::string renderSettingsPage(const SettingsPage& page, const VariableLookup& variable,
                               const RenderOptions& options = {});

// How the host reads a variable as a boolean: "1", any other non-zero
// number, or "true".
bool readsTrue(std::string_view value);

}  // namespace tarnwick::host
