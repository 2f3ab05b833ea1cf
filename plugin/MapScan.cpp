#include <optional>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "Tarnwick.h"
#include "ConsoleNames.h"
#include "FileWalk.h"
#include "ReplaceWhole.h"
#include "SettingsPageWriter.h"
#include "FileStatus.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

namespace {

bool isSeparator(fs::path::value_type c)
{
#if defined(_WIN32)
    return c == L'/' || c == L'\\';
#else
    return c == '/';
#endif
}

bool isMapPackage(WalkedPath text)
{
    // Case matters: "MAP.UPK" is not a map, and ".upk" alone is a name, not
    // an extension. Reads the path's own text: a path object per name and
    // per extension was a visible share of a large folder's scan.
    const std::size_t size = text.size();
    return size > 4 && !isSeparator(text[size - 5]) && text[size - 4] == '.' && text[size - 3] == 'u' &&
           (text[size - 2] == 'p' || text[size - 2] == 'd') && text[size - 1] == 'k';
}

}  // namespace

void Tarnwick::scanMaps()
{
    const fs::path settingsFile =
        gameWrapper->GetBakkesModPath() / pathFromNarrow("plugins") / pathFromNarrow("settings") /
        pathFromNarrow("TarnwickPlugin.set");

    const std::string mapsFolderText = cvarManager->getCvar(names::mapsFolder).getStringValue();
    const fs::path mapsFolder = pathFromNarrow(mapsFolderText);

    SettingsPageWriter page;
    // The page separates options with "&": such a map shows as pieces.
    std::string splitMaps;
    if (pathExists(mapsFolder)) {
        forEachRegularFile(mapsFolder, [&](WalkedPath file) {
            if (!isMapPackage(file)) {
                return;
            }
            // One map the code page cannot name must not cost the others.
            const std::optional<std::string> listed = narrowForListing(file, mapsFolder.native().size());
            if (!listed) {
                log("Map left off the list, the code page cannot hold its name and the volume keeps no short "
                    "name for it: " +
                    printablePath(file));
                return;
            }
            // The relative path is what follows the folder's own text: the
            // host joins the two back as plain text to load the map.
            const std::string& fullPath = *listed;
            const std::string_view relativePath = fullPath.size() < mapsFolderText.size()
                                                      ? std::string_view()
                                                      : std::string_view(fullPath).substr(mapsFolderText.size());
            if (holdsLineBreak(relativePath)) {
                // One line per control: such a name would break the page.
                log("Map left off the list, its name holds a line break: " + printable(fullPath));
                return;
            }
            if (relativePath.find('&') != std::string_view::npos) {
                splitMaps.append(splitMaps.empty() ? "\"" : ", \"").append(printable(relativePath)).append("\"");
            }
            page.addMap(relativePath);
        });
    }

    replaceFileContent(settingsFile, std::move(page).text());
    if (!splitMaps.empty()) {
        log(fmt::format("The settings page cannot offer a map whose name holds \"&\" as one option; each still loads "
                        "when {} is set to it on the console: {}",
                        names::mapChoice, splitMaps));
    }
    runAfterOneSecond("Settings page refresh", &Tarnwick::refreshSettingsPage);
}

void Tarnwick::refreshSettingsPage()
{
    issueCommand("cl_settings_refreshplugins");
}

}  // namespace tarnwick::plugin
