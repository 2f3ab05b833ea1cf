#pragma once

// The plugin's commands and variables, as the console, the settings page and
// saved configs name them.
namespace tarnwick::plugin::names {

// Commands.
inline constexpr char scanMaps[] = "tw_scan";
inline constexpr char loadMap[] = "tw_reload";
inline constexpr char restoreUnderpass[] = "tw_restore";

// Variables.
inline constexpr char mapChoice[] = "tw_filepath";
inline constexpr char mapsFolder[] = "tw_workshop";
inline constexpr char autoReload[] = "tw_watching";

}  // namespace tarnwick::plugin::names
