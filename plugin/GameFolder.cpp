#include <system_error>

#include "Tarnwick.h"
#include "game_paths.h"
#include "text.h"

namespace fs = std::filesystem;

std::string Tarnwick::gameMapFolder()
{
    // Read whole, however long the working directory is.
    return narrowFromPath(gameMapFolderFor(fs::current_path()));
}

void Tarnwick::restoreUnderpass()
{
    const std::string mapFolder = gameMapFolder();
    const fs::path backup = gameWrapper->GetDataFolder() / pathFromNarrow("Labs_Underpass_P.upk");
    if (!pathExists(backup)) {
        return;
    }
    const fs::path target = pathFromNarrow(mapFolder) / pathFromNarrow("Labs_Underpass_P.upk");

    // Copy beside the target first and let the finished copy take its place,
    // so a copy that fails half-way leaves the game's file as it was.
    fs::path copy = target;
    copy += ".restoring";
    std::error_code error;
    fs::copy_file(backup, copy, fs::copy_options::overwrite_existing, error);
    if (error) {
        std::error_code ignored;
        fs::remove(copy, ignored);
        throw fs::filesystem_error("copy", backup, copy, error);
    }
    fs::rename(copy, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(copy, ignored);
        throw fs::filesystem_error("replace", copy, target, error);
    }

    log("Restored Labs_Underpass_P.upk");
    issueCommand("load_freeplay");
}
