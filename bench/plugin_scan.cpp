// The scan as the game runs it: the host core loads Tarnwick's library and
// runs its console commands on this thread, the game thread.
#include "bench_host.h"
#include "scan_timing.h"

#include <tarnwick/host/Host.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    const auto options = tarnwick_bench::parseScanOptions(argc, argv, "tarnwick-bench-scan");
    if (!options) {
        return 2;
    }
    std::string hostText = (fs::temp_directory_path() / "tarnwick-bench-host-XXXXXX").string();
    if (::mkdtemp(hostText.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path hostFolder = hostText;

    std::ostringstream console;
    std::size_t maps = 0;
    int status = 0;
    {
        tarnwick::host::Host host(tarnwick_bench::benchHostOptions(hostFolder, console));
        host.loadPlugin(options->plugin.empty() ? fs::path(TARNWICK_PLUGIN_PATH) : fs::path(options->plugin));

        std::string folder = options->folder;
        if (folder.back() != '/') {
            folder += '/';
        }
        // Setting the folder scans it; later scans are asked for by name.
        bool folderSet = false;
        const auto times = tarnwick_bench::timeRepeated(*options, [&] {
            host.execute(folderSet ? "tw_scan" : "tw_workshop \"" + folder + "\"");
            folderSet = true;
        });

        // Read whole: a page of megabytes read a character at a time took
        // a tenth of the program's time.
        const fs::path pageFile = hostFolder / "plugins" / "settings" / "TarnwickPlugin.set";
        std::string text(static_cast<std::size_t>(fs::file_size(pageFile)), '\0');
        std::ifstream(pageFile, std::ios::binary).read(text.data(), static_cast<std::streamsize>(text.size()));
        maps = static_cast<std::size_t>(std::count(text.begin(), text.end(), '@'));
        // Each map is "path@path"; an empty list is " @ ".
        maps = text.find("| @ \n") != std::string::npos ? 0 : maps;
        if (!host.events("error").empty()) {
            std::fprintf(stderr, "tarnwick-bench-scan: the host reported errors:\n%s", console.str().c_str());
            status = 1;
        }
        tarnwick_bench::printScanResult(times, maps);
    }
    std::error_code ignored;
    fs::remove_all(hostFolder, ignored);
    return status;
}
