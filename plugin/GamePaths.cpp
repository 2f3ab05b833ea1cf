#include "GamePaths.h"

#include "Text.h"

namespace tarnwick::plugin {

std::filesystem::path gameMapFolderFor(const std::filesystem::path& workingDirectory)
{
    const auto gameRoot = workingDirectory.parent_path().parent_path();
    return gameRoot / pathFromNarrow("TAGame") / pathFromNarrow("CookedPCConsole");
}

}  // namespace tarnwick::plugin
