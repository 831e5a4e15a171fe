#!/bin/sh
# The soak: one program process, many capture runs (JPG, BMP and abandoned in turn) on a private Xvfb with openbox,
# every file checked; prints memory, descriptors, threads, shared-memory segments and X resources after the first
# ten runs and at the end, and fails when any of them grew.
# Usage: bench/soak.sh [build-folder] [runs]   (defaults: build, 300)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runtime=$(mktemp -d)
chmod 700 "$runtime"
trap 'rm -rf "$runtime"' EXIT INT TERM
cd "$here/../tests/e2e"
XDG_RUNTIME_DIR="$runtime" QT_LOGGING_RULES='qt.qpa.*=false' QUOSH_BIN="$build/app/quosh" \
    QUOSH_SOAK_RUNS="${2:-300}" python3 -m unittest -v test_soak
