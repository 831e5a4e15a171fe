#!/bin/sh
# Runs every fuzz target for a long while: SECONDS each (default 600). Usage: bench/fuzz-long.sh [SECONDS [BUILD_DIR]]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../scripts/fuzz.sh" "${1:-600}" ${2:+"$2"}
