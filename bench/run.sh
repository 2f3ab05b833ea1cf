#!/usr/bin/env bash
# Runs every benchmark against the programs in BIN_DIR (./dev bench passes
# build/default/bin). Options: --quick, --json FILE, --only scan|watch|micro.
set -euo pipefail
if [ $# -lt 1 ]; then
    echo "Usage: bench/run.sh BIN_DIR [--quick] [--json FILE] [--only scan|watch|micro]..." >&2
    exit 2
fi
exec python3 "$(dirname "$0")/run.py" "$@"
