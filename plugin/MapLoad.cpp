#include <fmt/format.h>

#include "ConsoleNames.h"
#include "Tarnwick.h"
#include "FileStatus.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

void Tarnwick::loadMap()
{
    const std::string mapsFolderText = cvarManager->getCvar(names::mapsFolder).getStringValue();
    auto mapChoice = cvarManager->getCvar(names::mapChoice);
    if (mapChoice.IsNull()) {
        return;
    }
    // Plain text join: the scan made the relative paths so that this is the
    // map's full path.
    const std::string fullPath = mapsFolderText + mapChoice.getStringValue();
    const bool mapChosen = fullPath.size() > mapsFolderText.size();

    if (statusOf(pathFromNarrow(fullPath), "status").type() != fs::file_type::regular) {
        log("File not found.");
        return;
    }
    if (!mapChosen) {
        return;
    }
    issueLoad("load", fullPath);
}

void Tarnwick::issueLoad(std::string_view act, const std::string& mapPath)
{
    if (mapPath.find('"') != std::string::npos || holdsLineBreak(mapPath)) {
        log(fmt::format("Cannot {} a map whose path holds a double quote or a line break: {}", act,
                        printable(mapPath)));
        return;
    }
    issueCommand(fmt::format("load_workshop \"{}\"", mapPath));
}

}  // namespace tarnwick::plugin
