#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Console.h"
#include "ConsoleOutput.h"
#include "Registry.h"
#include "SettingsPage.h"
#include "Trace.h"

namespace tarnwick::host {

// The plugins' settings pages on the console: `page` shows them, `page
// VERB CONTROL [VALUE]` uses a control as a click on the drawn page would.
// Game thread only.
class PageCommands {
public:
    PageCommands(std::filesystem::path settingsFolder, Console& console, Registry& registry, ConsoleOutput& output,
                 Trace& trace);

    void page(const ConsoleWords& words);
    // Re-reads every page and shows it.
    void refresh() { readPages(true); }

private:
    struct ShownPage {
        SettingsPage page;
        std::size_t firstNumber;
    };

    // Reads every settings page, numbering the controls on from one page to
    // the next, and keeps them for the page commands; shows them if told.
    void readPages(bool show);
    void showPage(const ShownPage& shownPage);
    const SettingsControl* findControl(const std::string& verb, const std::string& reference);
    std::optional<SettingsOption> findOption(const SettingsControl& control, const std::string& reference);

    const std::filesystem::path folder;
    Console& console;
    Registry& registry;
    ConsoleOutput& output;
    Trace& trace;
    std::vector<ShownPage> pages;  // as last read
};

}  // namespace tarnwick::host
