#!/usr/bin/env bash
# Runs every benchmark against the programs in BIN_DIR (./dev bench passes
# build/default/bin). Options: --quick, --json FILE, --only scan|watch|micro|winscan,
# --windows WIN_BIN_DIR (the Windows programs, whose scan runs under Wine).
set -euo pipefail
if [ $# -lt 1 ]; then
    echo "Usage: bench/run.sh BIN_DIR [--quick] [--json FILE] [--windows WIN_BIN_DIR] [--only scan|watch|micro|winscan]..." >&2
    exit 2
fi
exec python3 "$(dirname "$0")/run.py" "$@"
