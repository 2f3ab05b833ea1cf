#!/usr/bin/env bash
# The map maker's loop in the stand-in host, on a copy of the example folders:
# the settings page lists the maps, "Load Map" loads one, a save of the map
# reloads it a second later, and "tw_restore" puts the Underpass map back.
#   examples/demo.sh BIN_DIR [WORK_DIR]
set -euo pipefail
bin=$(cd "$1" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
work=${2:-$examples/../build/demo}

rm -rf "$work"
mkdir -p "$work/host/plugins/settings"
cp -r "$examples/maps" "$examples/game" "$examples/data" "$work/"
work=$(cd "$work" && pwd)
map="$work/maps/Training Grounds/Arena.upk"

say() { printf '\n\033[1m== %s\033[0m\n' "$*" >&2; }

{
    # The pauses only keep the narration beside the host's own output.
    say "Point the plugin at the maps folder; the page is redrawn a second later"
    echo "tw_workshop \"$work/maps/\""
    echo "wait 1.5"
    sleep 1.8
    say "Choose Arena on the page and press Load Map"
    echo "page pick 1 \"Training Grounds/Arena.upk\""
    echo "page press 4"
    sleep 0.8
    say "Save the map: the game reloads it one second later"
    printf 'edited at %s\n' "$(date +%T)" >> "$map"
    sleep 2
    say "Restore the game's Underpass map and go to free play"
    echo "tw_restore"
    echo "wait 0.5"
    echo "quit"
} | "$bin/tarnwick-host" --plugin "$bin/Tarnwick.so" --host-dir "$work/host" --data-dir "$work/data" \
        --game-root "$work/game" --trace "$work/trace.jsonl"

echo >&2
echo "Trace of every host interaction: $work/trace.jsonl" >&2
