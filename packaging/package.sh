#!/usr/bin/env bash
# The release packages, built by CPack from the install rules:
#   packaging/package.sh build   the Linux packages (preset default) and the
#                                Windows zips (preset windows) into build/packages
#   packaging/package.sh check   installs the Debian package into this machine,
#                                runs what it installed, checks the zips; ends
#                                with "package checks: N passed, M failed"
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
out=build/packages
version=$(sed -nE 's/^project\(Tarnwick VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
deb=$out/tarnwick_${version}_amd64.deb
zip=$out/Tarnwick-${version}-win64.zip
debug_zip=$out/Tarnwick-${version}-win64-debug.zip

build_packages() {
    rm -rf "$out"
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$jobs"
    cpack --config build/default/CPackConfig.cmake -B "$out"
    cmake/windows.sh --build-only
    cpack --config build/windows/CPackConfig.cmake -B "$out"
    rm -rf "$out/_CPack_Packages"
    ls -l "$out"
}

passed=0
failed=0
work=$(mktemp -d)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo

# check NAME COMMAND...: runs one check, its output shown only when it fails.
check() {
    local name=$1
    shift
    if "$@" >"$work/log" 2>&1; then
        echo "package check $name: ok"
        passed=$((passed + 1))
    else
        echo "package check $name: FAILED"
        sed 's/^/    /' "$work/log"
        failed=$((failed + 1))
    fi
}

prints_version() {
    local output
    output=$("$@")
    echo "$output"
    grep -qF " $version" <<<"$output"
}

# The installed host finds the installed plugin with no options.
host_loads_plugin() {
    local output
    output=$(tarnwick-host --host-dir "$work/host" --exec "plugin unload" </dev/null 2>&1)
    echo "$output"
    [ -f "$work/host/plugins/settings/TarnwickPlugin.set" ]
}

completions_installed() {
    ls -l /usr/share/bash-completion/completions/tarnwick-host /usr/share/bash-completion/completions/tarnwick-watch
}

# consumer_cmake BUILD [cmake arguments]: builds the consumer as a CMake project.
consumer_cmake() {
    local build=$1
    shift
    cmake -S watch/tests/consumer -B "$build" "$@" && cmake --build "$build"
}

linux_consumer_cmake() {
    consumer_cmake "$work/consumer-cmake" && "$work/consumer-cmake/consumer"
}

linux_consumer_pkg_config() {
    # shellcheck disable=SC2046
    g++ -std=c++20 watch/tests/consumer/main.cpp $(pkg-config --cflags --libs filewatch) \
        -o "$work/consumer-pc" && "$work/consumer-pc"
}

run_lintian() {
    # Errors fail the check; warnings and notes are shown in the log.
    lintian --fail-on error "$deb" | tee "$work/lintian.txt"
}

zip_layout() {
    local expected listed
    expected=$(printf '%s\n' LICENSE INSTALL.txt plugins/ plugins/Tarnwick.dll plugins/settings/ | sort)
    listed=$(unzip -Z1 "$zip" | sort)
    diff <(echo "$expected") <(echo "$listed") &&
        diff <(printf '%s\n' plugins/ plugins/Tarnwick.dll.debug) <(unzip -Z1 "$debug_zip" | sort)
}

packaged_dll() {
    unzip -o -q "$zip" -d "$work/zip" &&
        cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DDLL="$work/zip/plugins/Tarnwick.dll" \
            -P plugin/tests/check_dll.cmake &&
        x86_64-w64-mingw32-objdump -h "$work/zip/plugins/Tarnwick.dll" | grep -q '\.gnu_debuglink' &&
        ! x86_64-w64-mingw32-objdump -h "$work/zip/plugins/Tarnwick.dll" | grep -q '\.debug_info'
}

# The stripped DLL loads in the Windows host and writes its settings page.
packaged_dll_loads() {
    wine build/windows/bin/tarnwick-host.exe --plugin "Z:$work/zip/plugins/Tarnwick.dll" \
        --host-dir "Z:$work/windows-host" --exec "plugin unload" </dev/null &&
        [ -f "$work/windows-host/plugins/settings/TarnwickPlugin.set" ]
}

mingw_prefix() {
    cmake --install build/windows --component development --prefix "$work/mingw"
}

mingw_consumer_cmake() {
    consumer_cmake "$work/mingw-consumer-cmake" --toolchain "$PWD/cmake/mingw-w64-x86_64.cmake" \
        -Dfilewatch_DIR="$work/mingw/lib/cmake/filewatch" &&
        wine "$work/mingw-consumer-cmake/consumer.exe"
}

mingw_consumer_pkg_config() {
    # shellcheck disable=SC2046
    x86_64-w64-mingw32-g++-posix -std=c++20 -static watch/tests/consumer/main.cpp \
        $(PKG_CONFIG_LIBDIR="$work/mingw/lib/pkgconfig" pkg-config --cflags --libs filewatch) \
        -o "$work/consumer-pc.exe" && wine "$work/consumer-pc.exe"
}

check_packages() {
    export DEBIAN_FRONTEND=noninteractive
    check install-deb $sudo apt-get install -y --no-install-recommends "./$deb"
    check tarnwick-watch-version prints_version tarnwick-watch --version
    check tarnwick-host-version prints_version tarnwick-host --version
    check man-tarnwick-watch man -w tarnwick-watch
    check man-tarnwick-host man -w tarnwick-host
    check completions completions_installed
    check host-finds-plugin host_loads_plugin
    check consumer-cmake linux_consumer_cmake
    check consumer-pkg-config linux_consumer_pkg_config
    check lintian run_lintian
    cat "$work/lintian.txt"
    # Leaves the machine as it was.
    $sudo apt-get purge -y -qq tarnwick >/dev/null || true

    check zip-layout zip_layout
    check packaged-dll packaged_dll
    export WINEPREFIX=${WINEPREFIX:-$PWD/build/windows/wine-prefix}
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}
    wineserver -p
    trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
    check packaged-dll-loads packaged_dll_loads
    check mingw-install mingw_prefix
    check mingw-consumer-cmake mingw_consumer_cmake
    check mingw-consumer-pkg-config mingw_consumer_pkg_config
    echo "package checks: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

trap 'rm -rf "$work"' EXIT
case "${1:-}" in
    build) build_packages ;;
    check) check_packages ;;
    *) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
