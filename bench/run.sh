#!/bin/sh
# Runs every benchmark, one section each. Usage: bench/run.sh [build-folder]   (default: build)
# Benchmarks that need a display get an Xvfb of their own for each screen size.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime"
export QT_QPA_PLATFORM=xcb
xvfb_pid=
trap 'stop_xvfb; rm -rf "$runtime"' EXIT INT TERM

# start_xvfb WIDTHxHEIGHT: starts Xvfb at depth 24 and sets DISPLAY once it accepts connections.
start_xvfb() {
    fifo="$runtime/displayfd"
    rm -f "$fifo" && mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 "$1x24" -noreset -nolisten tcp +extension RANDR 3>"$fifo" 2>/dev/null &
    xvfb_pid=$!
    number=$(timeout 20 head -n 1 "$fifo") || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$number"
}

stop_xvfb() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=
    fi
}

# with_screens COMMAND...: runs the command on a 1920x1080 and on a 3840x2160 screen.
with_screens() {
    for size in 1920x1080 3840x2160; do
        start_xvfb "$size"
        "$@"
        stop_xvfb
    done
}

echo "== screen grab (bench_grab)"
with_screens "$build/bench/bench_grab"

# Needs no display: the picture is synthetic. First into a scratch folder under the system's temporary folder
# (a real disk: the save's flush to disk is part of the time), then on tmpfs, where the flush costs nothing and
# what remains is the cost around the encoder.
echo "== capture save (bench_save)"
"$build/bench/bench_save"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    shm=$(mktemp -d /dev/shm/bench_save-XXXXXX)
    "$build/bench/bench_save" 11 "$shm" || { rm -rf "$shm"; exit 1; }
    rm -rf "$shm"
fi
