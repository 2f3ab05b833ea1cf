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
    if (fullPath.find('"') != std::string::npos || holdsLineBreak(fullPath)) {
        // Neither can be quoted in a console command.
        log("Cannot load a map whose path holds a double quote or a line break: " + printable(fullPath));
        return;
    }
    issueCommand("load_workshop \"" + fullPath + "\"");
}

}  // namespace tarnwick::plugin
