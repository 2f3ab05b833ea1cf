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
# One Wine server for the whole run. Left to itself, each test's process
# starts a server and the last one to end stops it, and a test starting
# just as that server goes has been seen to hang or lose its connection.
# The server's own Windows processes (services, devices) start with it, here
# and not in a test, whose output they would keep open.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot >/dev/null 2>&1 </dev/null
ctest --preset windows -j "$jobs" "$@"
