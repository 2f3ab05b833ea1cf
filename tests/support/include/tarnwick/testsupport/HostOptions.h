// The options of a host under test, for the suites that link the host core.
#pragma once

#include <ostream>

#include "TemporaryFolder.h"
#include "tarnwick/host/Host.h"

namespace tarnwick::testsupport {

// A host working in `folder` (its host and data folders are "host" and
// "data" in it), on a manual clock unless told, keeping every traced event.
inline host::HostOptions hostOptions(const TemporaryFolder& folder, std::ostream* console,
                                     host::ClockMode clock = host::ClockMode::manual)
{
    host::HostOptions options;
    options.hostFolder = folder / "host";
    options.dataFolder = folder / "data";
    options.console = console;
    options.clock = clock;
    options.keepEvents = true;
    return options;
}

}  // namespace tarnwick::testsupport
