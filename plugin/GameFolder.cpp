#include "FileCopy.h"
#include "GamePaths.h"
#include "ReplaceWhole.h"
#include "Tarnwick.h"
#include "FileStatus.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

fs::path Tarnwick::gameMapFolder()
{
    // Read whole, however long the working directory is.
    return gameMapFolderFor(fs::current_path());
}

void Tarnwick::restoreUnderpass()
{
    const fs::path mapFolder = gameMapFolder();
    const fs::path backup = gameWrapper->GetDataFolder() / pathFromNarrow("Labs_Underpass_P.upk");
    if (!pathExists(backup)) {
        return;
    }
    const fs::path target = mapFolder / pathFromNarrow("Labs_Underpass_P.upk");

    // A copy that fails half-way leaves the game's file as it was.
    replaceWhole(target, ".restoring", [&](FileBeside& copy) { copyInto(backup, copy); });

    log("Restored Labs_Underpass_P.upk");
    issueCommand("load_freeplay");
}

}  // namespace tarnwick::plugin
