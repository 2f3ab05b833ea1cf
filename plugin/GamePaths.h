#pragma once

#include <filesystem>

namespace tarnwick::plugin {

// The game runs in <root>/Binaries/Win64 and keeps its map packages in
// <root>/TAGame/CookedPCConsole: the folder for a given working directory.
// A root is its own parent, so shallow working directories still give an
// answer below the root.
std::filesystem::path gameMapFolderFor(const std::filesystem::path& workingDirectory);

}  // namespace tarnwick::plugin
