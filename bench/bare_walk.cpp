// The floor for the scan: a recursive walk that asks each entry only
// is_regular_file(), as the listing answers it.
#include "scan_timing.h"

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    const auto options = tarnwick_bench::parseScanOptions(argc, argv, "tarnwick-bench-walk");
    if (!options) {
        return 2;
    }
    std::size_t regularFiles = 0;
    const auto times = tarnwick_bench::timeRepeated(*options, [&] {
        regularFiles = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(options->folder)) {
            if (entry.is_regular_file()) {
                ++regularFiles;
            }
        }
    });
    tarnwick_bench::printScanResult(times, regularFiles);
    return 0;
}
