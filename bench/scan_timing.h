// What the two scan programs share: their options, the timing loop, the
// strace markers and the JSON line they print.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick_bench {

struct ScanOptions {
    std::string folder;
    int repeat = 1;
    // Brackets each timed scan with access() calls on marker paths, so an
    // strace log can be cut to the scan alone.
    bool markers = false;
    // Another build of the plugin library, to compare two versions.
    std::string plugin;
};

inline constexpr const char* scanBeginMarker = "/tarnwick-bench-scan-begin";
inline constexpr const char* scanEndMarker = "/tarnwick-bench-scan-end";

inline std::optional<ScanOptions> parseScanOptions(int argc, char** argv, const char* program)
{
    ScanOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            options.repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--plugin") == 0 && i + 1 < argc) {
            options.plugin = argv[++i];
        } else if (std::strcmp(argv[i], "--markers") == 0) {
            options.markers = true;
        } else if (options.folder.empty() && argv[i][0] != '-') {
            options.folder = argv[i];
        } else {
            options.folder.clear();
            break;
        }
    }
    if (options.folder.empty()) {
        std::fprintf(stderr, "Usage: %s FOLDER [--repeat N] [--markers] [--plugin LIBRARY]\n", program);
        return std::nullopt;
    }
    return options;
}

template <typename Scan>
std::vector<double> timeRepeated(const ScanOptions& options, Scan&& scan)
{
    std::vector<double> milliseconds;
    for (int i = 0; i < options.repeat; ++i) {
        if (options.markers) {
            ::access(scanBeginMarker, F_OK);
        }
        const auto start = std::chrono::steady_clock::now();
        scan();
        const auto end = std::chrono::steady_clock::now();
        if (options.markers) {
            ::access(scanEndMarker, F_OK);
        }
        milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    return milliseconds;
}

inline void printScanResult(const std::vector<double>& milliseconds, std::size_t found)
{
    std::string times;
    for (double ms : milliseconds) {
        times += (times.empty() ? "" : ",") + std::to_string(ms);
    }
    std::printf("{\"ms\":[%s],\"found\":%zu}\n", times.c_str(), found);
}

}  // namespace tarnwick_bench
