// The host the scan benchmarks load the plugin into.
#pragma once

#include <tarnwick/host/Host.h>

#include <filesystem>
#include <ostream>

namespace tarnwick_bench {

// A host working in `hostFolder` (made, with its settings and data folders),
// on a manual clock, so no timer of the plugin runs between scans, keeping
// every traced event.
inline tarnwick::host::HostOptions benchHostOptions(const std::filesystem::path& hostFolder, std::ostream& console)
{
    std::filesystem::create_directories(hostFolder / "plugins" / "settings");
    std::filesystem::create_directories(hostFolder / "data");
    tarnwick::host::HostOptions options;
    options.hostFolder = hostFolder;
    options.dataFolder = hostFolder / "data";
    options.console = &console;
    options.clock = tarnwick::host::ClockMode::manual;
    options.keepEvents = true;
    return options;
}

}  // namespace tarnwick_bench
