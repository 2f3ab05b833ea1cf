#!/usr/bin/env bash
# Builds the Windows programs and Tarnwick.dll with MinGW-w64 and runs their
# tests under Wine: cmake/windows.sh [extra ctest arguments]
# cmake/windows.sh --build-only builds and makes the Wine prefix, no tests.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
build_dir=build/windows

# Wine keeps its own Windows installation (the prefix) in the build folder,
# created on first use; no display is needed for console programs.
export WINEPREFIX=${WINEPREFIX:-$PWD/$build_dir/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    wineserver --wait
fi

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
if [ "${1:-}" = --build-only ]; then
    exit 0
fi
ctest --preset windows -j "$jobs" "$@"
