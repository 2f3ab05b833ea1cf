// Makes the synthetic maps folder the scan comparison runs on, and prints
// what it holds as JSON.
#include "synthetic_tree.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("Usage: tarnwick-bench-tree NEW_FOLDER ENTRIES\n", stderr);
        return 2;
    }
    const auto counts = tarnwick_bench::makeScanTree(argv[1], std::strtoul(argv[2], nullptr, 10));
    std::printf("{\"directories\":%zu,\"files\":%zu,\"symlinks\":%zu,\"maps\":%zu}\n", counts.directories,
                counts.files, counts.symlinks, counts.maps);
    return 0;
}
